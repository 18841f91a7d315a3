// SPDX-License-Identifier: GPL-2.0-only
#include "environment.h"

#include "ktap.h"
#include "memory_limits.h"
#include "probes.h"
#include "util.h"

#include <dirent.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/utsname.h>
#include <unistd.h>

void environment_header(void)
{
	struct utsname u;
	if (uname(&u) == 0)
		ktap_diag("uname -r -m: %s %s", u.release, u.machine);

	long sizes[8] = {};
	int n = 0;
	if (DIR *d = opendir("/sys/kernel/mm/hugepages")) {
		while (struct dirent *e = readdir(d))
			if (n < 8 && sscanf(e->d_name, "hugepages-%ldkB", &sizes[n]) == 1)
				n++;
		closedir(d);
	}
	qsort(sizes, (size_t)n, sizeof(sizes[0]), [](const void *a, const void *b) {
		return *(const long *)a < *(const long *)b ? -1
							   : *(const long *)a > *(const long *)b;
	});
	char offered[128] = "none";
	for (int i = 0, at = 0; i < n && at < (int)sizeof(offered); i++)
		at += snprintf(offered + at, sizeof(offered) - (size_t)at, "%s%ld kB",
			       i ? ", " : "", sizes[i]);
	char huge[32] = "none";
	long huge_kb = text_field("/proc/meminfo", "Hugepagesize:");
	if (huge_kb > 0)
		snprintf(huge, sizeof(huge), "%ld kB", huge_kb);
	ktap_diag("base page %ld kB, default huge page %s, huge page sizes: %s",
		  sysconf(_SC_PAGESIZE) / 1024, huge, offered);

	char limits[256];
	limits_text(limits, sizeof(limits));
	ktap_diag("limits: %s", limits);
	struct memcg cg;
	memcg_read(&cg);
	if (!cg.version)
		ktap_diag("memory cgroup: none found");
	else if (cg.limit_kb < 0)
		ktap_diag("memory cgroup v%d %s: no limit", cg.version, cg.path);
	else
		ktap_diag("memory cgroup v%d %s: limit %ld kB, %ld kB of it free", cg.version,
			  cg.path, cg.limit_kb, cg.room_kb);
}

void environment_read(struct environment_limits *l, char *cg_path, size_t cg_size,
		      char *huge_cg_path, size_t huge_cg_size)
{
	struct memcg cg;
	struct hugetlb_cg huge;
	long huge_kb = text_field("/proc/meminfo", "Hugepagesize:");
	memcg_read(&cg);
	hugetlb_cg_read(huge_kb, &huge);
	snprintf(cg_path, cg_size, "%s", cg.path);
	snprintf(huge_cg_path, huge_cg_size, "%s", huge.path);
	*l = {limit_kb(RLIMIT_FSIZE),
	      limit_kb(RLIMIT_DATA),
	      limit_kb(RLIMIT_AS),
	      cg.limit_kb,
	      cg.room_kb,
	      cg_path,
	      huge_kb,
	      huge.limit_kb,
	      huge.room_kb,
	      huge_cg_path};
}

// What the check needs at most at once: 16 MiB mapped, and as much again
// where a private mapping of its shared-memory file copies the file's pages.
constexpr long NEED_KB = 2 * CHECK_KB + 4096;
// The check's own memory beside its mappings: its data and heap, and for
// the address space its program, libraries and stack as well.
constexpr long OWN_DATA_KB = 4096, OWN_AS_KB = 8192;
// Huge pages it holds at most at once: its hugetlbfs file keeps its pages
// while it stays open, and the last probe maps 16 MiB more beside them.
constexpr long HUGE_NEED_KB = 2 * CHECK_KB;

int environment_refusal(const struct environment_limits *l, char *why, size_t size)
{
	if (l->fsize_kb >= 0 && l->fsize_kb < CHECK_KB)
		return say_why(why, size, "RLIMIT_FSIZE is %ld kB: the check sizes files to %ld kB",
			       l->fsize_kb, CHECK_KB);
	if (l->data_kb >= 0 && l->data_kb < CHECK_KB + OWN_DATA_KB)
		return say_why(why, size,
			       "RLIMIT_DATA is %ld kB: the check maps %ld kB of private memory at "
			       "once, besides its own",
			       l->data_kb, CHECK_KB);
	if (l->as_kb >= 0 && l->as_kb < CHECK_KB + OWN_AS_KB)
		return say_why(why, size,
			       "RLIMIT_AS is %ld kB: the check maps %ld kB at once, besides its "
			       "own",
			       l->as_kb, CHECK_KB);
	if (l->memcg_room_kb >= 0 && l->memcg_room_kb < NEED_KB)
		return say_why(why, size,
			       "the memory cgroup %s has %ld kB free of its limit of %ld kB; the "
			       "check needs about %ld kB",
			       l->memcg_path, l->memcg_room_kb, l->memcg_limit_kb, NEED_KB);
	if (l->hugetlb_room_kb >= 0 && l->hugetlb_room_kb < HUGE_NEED_KB)
		return say_why(why, size,
			       "the hugetlb cgroup %s has %ld kB free of its limit of %ld kB of "
			       "%ld kB huge pages; the check holds up to %ld kB of them at once",
			       l->hugetlb_path, l->hugetlb_room_kb, l->hugetlb_limit_kb, l->huge_kb,
			       HUGE_NEED_KB);
	return 0;
}
