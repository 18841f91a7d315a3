// SPDX-License-Identifier: GPL-2.0-only
// The machine as rss_map_check will find it: the report's header (uname,
// pages, limits, the memory cgroup), and the limits that would stop the
// check before the kernel is asked anything.
#pragma once

#include <stddef.h>

// uname -r -m, the base page, the default and every offered huge page size,
// the resource limits and the memory cgroup's.
void environment_header(void);

// What the check is held to, in kB (-1: no limit).
struct environment_limits {
	long fsize_kb, data_kb, as_kb;
	long memcg_limit_kb, memcg_room_kb; // the tightest level's
	const char *memcg_path;
	long huge_kb = 0;				  // the default huge page
	long hugetlb_limit_kb = -1, hugetlb_room_kb = -1; // of those, the tightest level's
	const char *hugetlb_path = "";
};
void environment_read(struct environment_limits *l, char *cg_path, size_t cg_size,
		      char *huge_cg_path, size_t huge_cg_size);
// A limit that would stop the check: -1 with it, measured, in `why`.
int environment_refusal(const struct environment_limits *l, char *why, size_t size);
