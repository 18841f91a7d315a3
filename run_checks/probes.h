// SPDX-License-Identifier: GPL-2.0-only
// rss_map_check as the runner knows it: what it maps, what it asks of the
// system, what it prints when all is well, and its six probes, in its order:
// the memory each maps (the names of the subtests) and the extra flags it
// maps with.
#pragma once

#include <stddef.h>
#include <sys/mman.h>

constexpr long CHECK_LENGTH = 16L * 1024 * 1024; // each mapping
constexpr long CHECK_KB = CHECK_LENGTH / 1024;
constexpr long CHECK_TOLERANCE_KB = 256; // the resident set's allowed miss
constexpr long CHECK_HUGE_PAGES = 100;	 // what it asks the shell to reserve
constexpr char PASS_TEXT[] = "oll korrekt.\n";
constexpr size_t PASS_LEN = sizeof(PASS_TEXT) - 1;

// Where it makes its files, and the count its shell request writes.
#define HUGEPAGES_DIR "/hugepages"
#define NR_HUGEPAGES "/proc/sys/vm/nr_hugepages"
#define SHM_DIR "/dev/shm"
#define SHM_SCRATCH SHM_DIR "/hugetlbhog"
#define HUGETLBFS_SCRATCH HUGEPAGES_DIR "/hugetlbhog"

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

// Whether a system call's result is an error (-4095 to -1), as the trace
// reads it from the check's registers.
inline bool call_failed(long result)
{
	return result < 0 && result >= -4095;
}

// A probe of huge pages: mapped with MAP_HUGETLB, or from the hugetlbfs.
inline bool huge_probe(int i)
{
	return probes[i].extra_flags & MAP_HUGETLB || probes[i].file == HUGETLBFS_FILE;
}
