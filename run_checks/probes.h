// SPDX-License-Identifier: GPL-2.0-only
// rss_map_check's six probes, in its order: the memory each maps (the names
// of the subtests) and the extra flags it maps with.
#pragma once

#include <sys/mman.h>

#define PROBES 6

enum probe_file { NO_FILE, SHM_FILE, HUGETLBFS_FILE };

struct probe {
	const char *name;
	int extra_flags;
	enum probe_file file;
	bool unmapped; // the last is left to the process's exit
};

static const struct probe probes[PROBES] = {
    {"anonymous", MAP_ANONYMOUS, NO_FILE, true},
    {"shm_file", 0, SHM_FILE, true},
    {"anonymous_hugetlb", MAP_ANONYMOUS | MAP_HUGETLB, NO_FILE, true},
    {"hugetlbfs_file", 0, HUGETLBFS_FILE, true},
    {"hugetlbfs_file_map_hugetlb", MAP_HUGETLB, HUGETLBFS_FILE, true},
    {"anonymous_hugetlb_kept", MAP_ANONYMOUS | MAP_HUGETLB, NO_FILE, false},
};
