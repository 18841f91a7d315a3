// SPDX-License-Identifier: GPL-2.0-only
// What the process may use, as the kernel will hold it to: resource limits,
// the memory cgroup's limit and its OOM kills, the hugetlb cgroup's limit.
// Bottom layer, beside util.
#pragma once

#include <stddef.h>

// A limit in kB, or -1 for none.
long limit_kb(int resource);
// "RLIMIT_DATA unlimited, RLIMIT_AS ..., RLIMIT_FSIZE ..., RLIMIT_MEMLOCK ...".
void limits_text(char *text, size_t size);

// This process's cgroup of `controller`: its v1 line, else the "0::" line
// (v2). Its hierarchy's mount in `root`; returns the version, 0 for none.
int cgroup_of(const char *controller, char *root, size_t root_size, char *path, size_t size);

struct memcg {
	int version;	// 1 or 2; 0: no memory cgroup found
	char path[256]; // the cgroup, as /proc/self/cgroup names it
	long limit_kb;	// the tightest limit on the way to the root, or -1
	long room_kb;	// what that leaves, or -1 for no limit
	long oom_kills; // its OOM kills so far, or -1 where not counted
};
void memcg_read(struct memcg *m);
// The level of a hierarchy (any order) that leaves the least room: its
// limit and that room, or -1 for both where no level has a limit.
struct memcg_level {
	long limit_kb, used_kb; // -1: none, or not read
};
void memcg_tightest(const struct memcg_level *levels, int n, long *limit_kb, long *room_kb);

// This process's hugetlb cgroup and the tightest limit on the way to its
// root, for huge pages of `page_kb` (-1: none, and no room counted).
struct hugetlb_cg {
	int version;	// 1 or 2; 0: none found
	char path[256]; // as /proc/self/cgroup names it
	long limit_kb, room_kb;
};
void hugetlb_cg_read(long page_kb, struct hugetlb_cg *h);
// The hugetlb controller's name for a page size, as in its files:
// "64KB", "2MB", "1GB".
void hugetlb_size_name(long page_kb, char *name, size_t size);

// The kernel's OOM kills so far: since boot (/proc/vmstat), and in this
// process's memory cgroup; -1 where not counted.
struct oom_count {
	long system, cgroup;
};
void oom_count_read(struct oom_count *c);
// Whether an OOM kill came since `before`: then says so, with the counts,
// in `said`.
bool oom_killed_since(const struct oom_count *before, char *said, size_t size);
// The same from two counts taken, `cg` naming the memory cgroup.
bool oom_killed_between(const struct oom_count *before, const struct oom_count *after,
			const struct memcg *cg, char *said, size_t size);
