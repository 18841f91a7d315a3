// SPDX-License-Identifier: GPL-2.0-only
// The system state rss_map_check needs: a hugetlbfs at /hugepages and the
// huge pages it asks for. One run at a time holds the lock; what a run is
// about to change is recorded first, in a root-only place that outlives the
// process, so that the next run puts back what a killed one could not.
#pragma once

#include <stddef.h>

#define HUGEPAGES_DIR "/hugepages"
#define NR_HUGEPAGES "/proc/sys/vm/nr_hugepages"
#define SHM_DIR "/dev/shm"
#define SHM_SCRATCH SHM_DIR "/hugetlbhog"
#define HUGETLBFS_SCRATCH HUGEPAGES_DIR "/hugetlbhog"
#define RSS_PAGES 100			// what rss_map_check asks the shell for
#define RSS_LENGTH (16LL * 1024 * 1024) // the size of its mappings

struct hugepages_info {
	long page_kb;	    // the default huge page
	bool fits;	    // it divides 16 MiB: the check's request is reached
	bool reserved;	    // the runner reserved what the check asks for
	char lock_path[64]; // where the lock and the record are
};

// Readies the system, with the lock held, waiting for another run at most
// `wait_s` seconds (-1: that run's -t plus a margin). Returns 0, or -1 with
// the reason to skip the check in `why` (the system then is as it was).
int hugepages_prepare(int wait_s, int timeout_s, struct hugepages_info *info, char *why,
		      size_t size);

// Just before the check: where it uses the machine's own /dev/shm, looks
// again for a planted scratch name. Returns -1 with the reason to skip (the
// system then is put back).
int hugepages_recheck(char *why, size_t size);

// Names the private directory a new-file check runs in, so that the
// guardian, or the next run, removes it if the runner is killed meanwhile.
void hugepages_guard_dir(const char *path, int dir_fd);
void hugepages_unguard_dir(void);
// Lets go of the lock and of the guardian, at the end of the run.
void hugepages_release(void);

// Puts back what the runner changed and says so; safe to call more than
// once.
void hugepages_restore(void);
