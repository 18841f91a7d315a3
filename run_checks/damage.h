// SPDX-License-Identifier: GPL-2.0-only
// What a kernel fault leaves behind a run, looked at whatever the check
// said: huge pages that did not go back (its own cgroup's, where it has one;
// else the pool's, where no one else used it), and what the kernel's
// log says of the mm (a torn-down mm with its RSS counters off zero) or of
// hugetlb while the check ran.
#pragma once

#include <stddef.h>

#define POOL_SIZES 4

struct pool {
	long page_kb, total, free, resv, surplus;
};

struct damage_watch {
	int kmsg_fd; // at the log's end when the check started, or -1
	int pools;
	struct pool before[POOL_SIZES];
	long own_page_kb; // the huge page the check's own cgroup counts, or 0: none
};

// Before the check: the pools, and the kernel log's position (one line
// says so where the log cannot be read).
void damage_watch_start(struct damage_watch *w);

// After the check: what it left, as lines in `said`; true for damage.
bool damage_seen(struct damage_watch *w, char *said, size_t size);
