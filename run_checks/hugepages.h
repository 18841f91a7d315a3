// SPDX-License-Identifier: GPL-2.0-only
// What rss_map_check needs of the machine: a tmpfs at /dev/shm and a
// hugetlbfs at /hugepages (in a mount namespace of its own where there is
// one), and the huge pages it asks for. One run at a time; each change is
// registered on the undo list as it is made.
#pragma once

#include <stddef.h>

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
