// SPDX-License-Identifier: GPL-2.0-only
// What rss_map_check needs of the machine: a tmpfs at /dev/shm and a
// hugetlbfs at /hugepages (in a mount namespace of its own where there is
// one), and the huge pages it asks for. One run at a time; each change is
// registered on the undo list as it is made.
#pragma once

#include <stddef.h>

#define HUGEPAGES_DIR "/hugepages"
#define NR_HUGEPAGES "/proc/sys/vm/nr_hugepages"
#define SHM_DIR "/dev/shm"
#define SHM_SCRATCH SHM_DIR "/hugetlbhog"
#define HUGETLBFS_SCRATCH HUGEPAGES_DIR "/hugetlbhog"

struct hugepages_info {
	long page_kb;  // the default huge page
	bool fits;     // it divides 16 MiB: the check's request is reached
	bool reserved; // the runner reserved what the check asks for
};

// Readies the system, with the lock held, waiting for another run at most
// `wait_s` seconds (-1: that run's -t plus a margin). Returns 0, or -1 with
// the reason to skip the check in `why`; either way what it changed is on
// the undo list.
int hugepages_prepare(int wait_s, int timeout_s, struct hugepages_info *info, char *why,
		      size_t size);

// Just before the check: where it uses the machine's own /dev/shm, looks
// again for a planted scratch name. Returns -1 with the reason to skip.
int hugepages_recheck(char *why, size_t size);

// After the check, where it used the machine's own /dev/shm and /hugepages:
// a scratch name that is not a file and was taken by `end` (the realtime the
// check ended). Returns the probe whose file it is, with why in `why`, or -1.
struct timespec;
int hugepages_taken_by(const struct timespec *end, char *why, size_t size);
