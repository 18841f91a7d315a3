// SPDX-License-Identifier: GPL-2.0-only
// The machine's own /dev/shm and /hugepages, where the check has no mount
// namespace of its own: whether they can take its files, and names planted
// at its scratch files, before and after it runs.
#pragma once

#include <stddef.h>

#define HUGETLBFS_MAGIC_ 0x958458f6 // statfs's f_type

bool is_hugetlbfs(const char *path);
// -1 with why where /dev/shm cannot take the check's 16 MiB file, or a
// name that is not a file sits at its scratch name.
int shm_unfit(char *why, size_t size);
// The same of a hugetlbfs found at /hugepages, with pages of `page_kb`.
int hugetlbfs_unfit(long page_kb, char *why, size_t size);

// Just before the check, outside a namespace of its own: looks again for a
// planted scratch name. Returns -1 with the reason to skip.
int scratch_recheck(char *why, size_t size);

// After the check, outside a namespace of its own: a scratch name that is
// not a file and was taken by `end` (the realtime the check ended). Returns
// the probe whose file it is, with why in `why`, or -1.
struct timespec;
int scratch_taken_by(const struct timespec *end, char *why, size_t size);
// After the check, outside a namespace of its own: the space /dev/shm has
// left, in kB; -1 inside one, or where it cannot be read.
long scratch_shm_free_kb(void);
