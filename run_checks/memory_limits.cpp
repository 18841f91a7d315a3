// SPDX-License-Identifier: GPL-2.0-only
#include "memory_limits.h"

#include "util.h"

#include <stdio.h>
#include <string.h>
#include <sys/resource.h>

long limit_kb(int resource)
{
	struct rlimit l;
	if (getrlimit(resource, &l) != 0 || l.rlim_cur == RLIM_INFINITY)
		return -1;
	return (long)(l.rlim_cur / 1024);
}

void limits_text(char *text, size_t size)
{
	static const struct {
		int resource;
		const char *name;
	} limits[] = {{RLIMIT_DATA, "RLIMIT_DATA"},
		      {RLIMIT_AS, "RLIMIT_AS"},
		      {RLIMIT_FSIZE, "RLIMIT_FSIZE"},
		      {RLIMIT_MEMLOCK, "RLIMIT_MEMLOCK"}};
	text[0] = '\0';
	for (const auto &l : limits) {
		long kb = limit_kb(l.resource);
		size_t at = strlen(text);
		if (kb < 0)
			snprintf(text + at, size - at, "%s%s unlimited", at ? ", " : "", l.name);
		else
			snprintf(text + at, size - at, "%s%s %ld kB", at ? ", " : "", l.name, kb);
	}
}

// A byte count in a cgroup file, in kB: -1 for "max" or v1's near-2^63.
static long bytes_kb(const char *dir, const char *file)
{
	char path[600], text[64];
	snprintf(path, sizeof(path), "%s/%s", dir, file);
	if (read_text(path, text, sizeof(text)) <= 0 || !strncmp(text, "max", 3))
		return -1;
	unsigned long long bytes = 0;
	if (sscanf(text, "%llu", &bytes) != 1 || bytes >= (1ULL << 62))
		return -1;
	return (long)(bytes / 1024);
}

// Where the cgroup v2 hierarchy is mounted: /sys/fs/cgroup, or beside the v1
// controllers (/sys/fs/cgroup/unified) on a hybrid machine.
static void cgroup2_root(char *root, size_t size)
{
	static char text[65536];
	snprintf(root, size, "/sys/fs/cgroup");
	if (read_text("/proc/self/mountinfo", text, sizeof(text)) <= 0)
		return;
	for (char *line = strtok(text, "\n"); line; line = strtok(nullptr, "\n")) {
		char point[256];
		if (strstr(line, " - cgroup2 ") &&
		    sscanf(line, "%*s %*s %*s %*s %255s", point) == 1) {
			snprintf(root, size, "%s", point);
			return;
		}
	}
}

int cgroup_of(const char *controller, char *root, size_t root_size, char *path, size_t size)
{
	char text[4096];
	if (read_text("/proc/self/cgroup", text, sizeof(text)) <= 0)
		return 0;
	int version = 0;
	size_t n = strlen(controller);
	for (char *line = strtok(text, "\n"); line; line = strtok(nullptr, "\n")) {
		char *colon = strchr(line, ':'), *second = colon ? strchr(colon + 1, ':') : nullptr;
		if (!second)
			continue;
		*second = '\0';
		const char *controllers = colon + 1, *at = strstr(controllers, controller);
		// One of a comma-separated list: "memory", "cpu,memory".
		bool v1 =
		    at && (at == controllers || at[-1] == ',') && (at[n] == '\0' || at[n] == ',');
		if (v1 || (!strncmp(line, "0", 1) && !*controllers && !version)) {
			snprintf(path, size, "%s", second + 1);
			version = v1 ? 1 : 2;
			if (v1)
				break;
		}
	}
	if (version == 1)
		snprintf(root, root_size, "/sys/fs/cgroup/%s", controller);
	else if (version == 2)
		cgroup2_root(root, root_size);
	return version;
}

// The tightest of the limits in `limit` on the way from `dir` up to `root`,
// with what each level's `usage` leaves.
static void tightest_up(char *dir, const char *root, const char *limit, const char *usage,
			long *limit_kb, long *room_kb)
{
	struct memcg_level levels[64];
	int n = 0;
	for (; n < 64; n++) {
		levels[n] = {bytes_kb(dir, limit), bytes_kb(dir, usage)};
		char *slash = strrchr(dir, '/');
		if (!slash || (size_t)(slash - dir) < strlen(root)) {
			n++;
			break;
		}
		*slash = '\0';
	}
	memcg_tightest(levels, n, limit_kb, room_kb);
}

void memcg_read(struct memcg *m)
{
	char root[256];
	memset(m, 0, sizeof(*m));
	m->limit_kb = m->room_kb = m->oom_kills = -1;
	m->version = cgroup_of("memory", root, sizeof(root), m->path, sizeof(m->path));
	if (!m->version)
		return;
	char dir[512];
	snprintf(dir, sizeof(dir), "%s%s", root, m->path);
	char events[600];
	snprintf(events, sizeof(events), "%s/%s", dir,
		 m->version == 2 ? "memory.events" : "memory.oom_control");
	m->oom_kills = text_field(events, "\noom_kill ");
	// Each level up to the root may hold a tighter limit.
	tightest_up(dir, root, m->version == 2 ? "memory.max" : "memory.limit_in_bytes",
		    m->version == 2 ? "memory.current" : "memory.usage_in_bytes", &m->limit_kb,
		    &m->room_kb);
}

void hugetlb_size_name(long page_kb, char *name, size_t size)
{
	if (page_kb >= 1048576)
		snprintf(name, size, "%ldGB", page_kb / 1048576);
	else if (page_kb >= 1024)
		snprintf(name, size, "%ldMB", page_kb / 1024);
	else
		snprintf(name, size, "%ldKB", page_kb);
}

void hugetlb_cg_read(long page_kb, struct hugetlb_cg *h)
{
	char root[256], size[16], limit[64], usage[64], dir[512];
	memset(h, 0, sizeof(*h));
	h->limit_kb = h->room_kb = -1;
	h->version = cgroup_of("hugetlb", root, sizeof(root), h->path, sizeof(h->path));
	if (!h->version || page_kb <= 0)
		return;
	hugetlb_size_name(page_kb, size, sizeof(size));
	snprintf(limit, sizeof(limit), "hugetlb.%s.%s", size,
		 h->version == 2 ? "max" : "limit_in_bytes");
	snprintf(usage, sizeof(usage), "hugetlb.%s.%s", size,
		 h->version == 2 ? "current" : "usage_in_bytes");
	snprintf(dir, sizeof(dir), "%s%s", root, h->path);
	tightest_up(dir, root, limit, usage, &h->limit_kb, &h->room_kb);
}

void memcg_tightest(const struct memcg_level *levels, int n, long *limit_kb, long *room_kb)
{
	*limit_kb = *room_kb = -1;
	for (int i = 0; i < n; i++) {
		long l = levels[i].limit_kb, used = levels[i].used_kb;
		if (l >= 0 && used >= 0 && (*room_kb < 0 || l - used < *room_kb)) {
			*limit_kb = l;
			*room_kb = l > used ? l - used : 0;
		}
	}
}

void oom_count_read(struct oom_count *c)
{
	struct memcg cg;
	memcg_read(&cg);
	c->system = text_field("/proc/vmstat", "\noom_kill ");
	c->cgroup = cg.oom_kills;
}

bool oom_killed_between(const struct oom_count *before, const struct oom_count *after,
			const struct memcg *cg, char *said, size_t size)
{
	if (after->cgroup > before->cgroup && before->cgroup >= 0) {
		snprintf(said, size,
			 "the kernel's OOM killer: the memory cgroup %s (limit %ld kB) counts %ld "
			 "OOM kills, %ld before",
			 cg->path, cg->limit_kb, after->cgroup, before->cgroup);
		return true;
	}
	if (after->system > before->system && before->system >= 0) {
		snprintf(said, size,
			 "the kernel's OOM killer: /proc/vmstat counts %ld OOM kills, %ld before",
			 after->system, before->system);
		return true;
	}
	return false;
}

bool oom_killed_since(const struct oom_count *before, char *said, size_t size)
{
	struct oom_count now;
	struct memcg cg;
	oom_count_read(&now);
	memcg_read(&cg);
	return oom_killed_between(before, &now, &cg, said, size);
}
