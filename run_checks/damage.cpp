// SPDX-License-Identifier: GPL-2.0-only
#include "damage.h"

#include "ktap.h"
#include "memory_limits.h"
#include "run_cgroup.h"
#include "util.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sched.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <time.h>
#include <unistd.h>

#define POOLS_DIR "/sys/kernel/mm/hugepages"

// Appends one line to `said`.
static void add_line(char *said, size_t size, const char *fmt, ...)
    __attribute__((format(printf, 3, 4)));
static void add_line(char *said, size_t size, const char *fmt, ...)
{
	size_t n = strlen(said);
	if (n + 1 >= size)
		return;
	va_list ap;
	va_start(ap, fmt);
	int w = vsnprintf(said + n, size - n - 1, fmt, ap);
	va_end(ap);
	n = w < 0 ? n : n + ((size_t)w < size - n - 1 ? (size_t)w : size - n - 2);
	said[n] = '\n';
	said[n + 1] = '\0';
}

static long pool_value(const char *dir, const char *name)
{
	char path[320];
	long value = -1;
	snprintf(path, sizeof(path), POOLS_DIR "/%.200s/%s", dir, name);
	read_long(path, &value);
	return value;
}

static int read_pools(struct pool *pools)
{
	int n = 0;
	DIR *d = opendir(POOLS_DIR);
	if (!d)
		return 0;
	while (struct dirent *e = readdir(d)) {
		long kb;
		if (n == POOL_SIZES || sscanf(e->d_name, "hugepages-%ldkB", &kb) != 1)
			continue;
		pools[n++] = {kb, pool_value(e->d_name, "nr_hugepages"),
			      pool_value(e->d_name, "free_hugepages"),
			      pool_value(e->d_name, "resv_hugepages"),
			      pool_value(e->d_name, "surplus_hugepages")};
	}
	closedir(d);
	// Directory order may differ between reads: compare by page size.
	qsort(pools, (size_t)n, sizeof(pools[0]), [](const void *a, const void *b) {
		long x = ((const struct pool *)a)->page_kb, y = ((const struct pool *)b)->page_kb;
		return x < y ? -1 : x > y;
	});
	return n;
}

void damage_watch_start(struct damage_watch *w)
{
	w->pools = read_pools(w->before);
	w->own_page_kb = run_cgroup_procs() >= 0 ? text_field("/proc/meminfo", "Hugepagesize:") : 0;
	w->kmsg_fd = open("/dev/kmsg", O_RDONLY | O_NONBLOCK | O_CLOEXEC);
	if (w->kmsg_fd < 0 || lseek(w->kmsg_fd, 0, SEEK_END) < 0) {
		ktap_diag("kernel log: /dev/kmsg cannot be read (%s): not looked at",
			  strerror(errno));
		if (w->kmsg_fd >= 0)
			close(w->kmsg_fd);
		w->kmsg_fd = -1;
	}
}

// Whether a kernel record tells of damage: by how the kernel's own reports
// begin, never a text found anywhere in it. A user names its tasks, and the
// kernel starts a user fault's line with the task's name ("mm/hugetlb[12]:
// segfault at ..."); no name fits in 15 bytes that begins as these do.
static bool damage_record(const char *text)
{
	static const char rss_counter[] = "BUG: Bad rss-counter state mm:";
	static const char kernel_bug[] = "kernel BUG at mm/hugetlb";
	int cpu, pid, at = -1;
	if (!strncmp(text, rss_counter, sizeof(rss_counter) - 1) ||
	    !strncmp(text, kernel_bug, sizeof(kernel_bug) - 1))
		return true;
	// "WARNING: CPU: 1 PID: 123 at mm/hugetlb.c:456 function+0x1/0x2"
	return sscanf(text, "WARNING: CPU: %d PID: %d at %n", &cpu, &pid, &at) == 2 && at > 0 &&
	       strstr(text + at, "hugetlb");
}

// The kernel's own records since the start that tell of damage: only
// facility 0, which no writer to /dev/kmsg can give its lines.
static bool log_damage(int fd, char *said, size_t size)
{
	bool seen = false;
	char record[8192];
	for (;;) {
		ssize_t n = read(fd, record, sizeof(record) - 1);
		if (n < 0 && errno == EPIPE)
			continue; // overwritten before it was read
		if (n <= 0)
			break;
		record[n] = '\0';
		char *text = strchr(record, ';');
		long prio = strtol(record, nullptr, 10);
		if (!text || prio >> 3 != 0)
			continue;
		*strchrnul(++text, '\n') = '\0';
		if (damage_record(text)) {
			add_line(said, size, "kernel log: %s", text);
			seen = true;
		}
	}
	return seen;
}

// Where no process holds huge pages, a pool that did not come back is the
// kernel's; where one does, it may be that process's.
static pid_t holder(void)
{
	DIR *d = opendir("/proc");
	pid_t found = 0;
	while (d && !found) {
		struct dirent *e = readdir(d);
		if (!e)
			break;
		char path[64];
		if (e->d_name[0] < '1' || e->d_name[0] > '9')
			continue;
		snprintf(path, sizeof(path), "/proc/%.16s/status", e->d_name);
		if (text_field(path, "HugetlbPages:") > 0)
			found = (pid_t)atol(e->d_name);
	}
	if (d)
		closedir(d);
	return found;
}

static bool pools_differ(const struct damage_watch *w, struct pool *now, int *n)
{
	*n = read_pools(now);
	return *n != w->pools || memcmp(now, w->before, sizeof(now[0]) * (size_t)*n) != 0;
}

// A CPU that last ran the check may keep its mm, lazily, until it next runs
// a program; only then is the mm torn down and its counters checked (the
// kernel's "Bad rss-counter state"). Running on each CPU in turn ends that.
static void visit_cpus(void)
{
	cpu_set_t mine, one;
	if (sched_getaffinity(0, sizeof(mine), &mine) != 0)
		return;
	for (int cpu = 0; cpu < CPU_SETSIZE; cpu++) {
		if (!CPU_ISSET(cpu, &mine))
			continue;
		CPU_ZERO(&one);
		CPU_SET(cpu, &one);
		sched_setaffinity(0, sizeof(one), &one);
	}
	sched_setaffinity(0, sizeof(mine), &mine);
}

// What is still charged to the check's own cgroup for huge pages of
// `page_kb`, in kB, by the controller's `what` ("" for pages in use, "rsvd."
// for reservations, from 5.7): v2's file, else v1's; -1 where it has none.
static long own_huge_kb(long page_kb, const char *what)
{
	char name[16], file[64];
	if (page_kb <= 0)
		return -1;
	hugetlb_size_name(page_kb, name, sizeof(name));
	snprintf(file, sizeof(file), "hugetlb.%s.%scurrent", name, what);
	long kb = run_cgroup_kb(file);
	if (kb < 0) {
		snprintf(file, sizeof(file), "hugetlb.%s.%susage_in_bytes", name, what);
		kb = run_cgroup_kb(file);
	}
	return kb;
}

bool damage_seen(struct damage_watch *w, char *said, size_t size)
{
	struct pool now[POOL_SIZES];
	int n;
	said[0] = '\0';
	// What the check's killed children held goes back as they finish dying.
	long own = own_huge_kb(w->own_page_kb, ""), reserved = own_huge_kb(w->own_page_kb, "rsvd.");
	bool differ = pools_differ(w, now, &n);
	for (int i = 0; (differ || own > 0 || reserved > 0) && i < 50; i++) {
		struct timespec ms10 = {0, 10000000};
		nanosleep(&ms10, nullptr);
		differ = pools_differ(w, now, &n);
		own = own_huge_kb(w->own_page_kb, "");
		reserved = own_huge_kb(w->own_page_kb, "rsvd.");
	}
	bool seen = false;
	if (own > 0 || reserved > 0) {
		add_line(
		    said, size,
		    "the check's own cgroup still holds %ld kB of huge pages in use and %ld kB "
		    "reserved after it ended",
		    own, reserved > 0 ? reserved : 0);
		seen = true;
	}
	if (differ && own >= 0) {
		// The check's own account is what is judged: the pool moves
		// with whatever anyone else does meanwhile.
		for (int i = 0; i < n && i < w->pools; i++) {
			const struct pool *b = &w->before[i], *a = &now[i];
			if (memcmp(a, b, sizeof(*a)))
				add_line(
				    said, size,
				    "huge-page pool of %ld kB: total %ld, free %ld, reserved "
				    "%ld, surplus %ld; before the check %ld, %ld, %ld, %ld (not "
				    "judged: the check's own cgroup counts its pages)",
				    a->page_kb, a->total, a->free, a->resv, a->surplus, b->total,
				    b->free, b->resv, b->surplus);
		}
	} else if (differ) {
		// Pages in use before the check were someone else's (an unmapped
		// memfd shows in no process's HugetlbPages): what they do meanwhile
		// moves the pool, and so it is not judged.
		pid_t pid = holder();
		for (int i = 0; !pid && i < w->pools; i++)
			if (w->before[i].total - w->before[i].free > 0)
				pid = -1;
		for (int i = 0; i < n && i < w->pools; i++) {
			const struct pool *b = &w->before[i], *a = &now[i];
			if (!memcmp(a, b, sizeof(*a)))
				continue;
			add_line(said, size,
				 "huge-page pool of %ld kB did not come back: total %ld, free %ld, "
				 "reserved %ld, surplus %ld; before the check %ld, %ld, %ld, %ld%s",
				 a->page_kb, a->total, a->free, a->resv, a->surplus, b->total,
				 b->free, b->resv, b->surplus,
				 pid || a->total != b->total ? " (others use the pool: not judged)"
							     : "");
		}
		seen = !pid && n == w->pools;
		for (int i = 0; seen && i < n; i++)
			seen = now[i].total == w->before[i].total;
	}
	if (w->kmsg_fd >= 0) {
		visit_cpus();
		seen |= log_damage(w->kmsg_fd, said, size);
		close(w->kmsg_fd);
		w->kmsg_fd = -1;
	}
	return seen;
}
