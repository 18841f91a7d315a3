// SPDX-License-Identifier: GPL-2.0-only
// The kernel as the runner finds it: an environment header, and the
// kernel's own account of 16 MiB mapped each way the check maps it, from
// three sources: statm's resident figure (in the kernel's real pages),
// smaps_rollup's Rss (a walk of the page tables, exact) and status's
// HugetlbPages. The trace reads them from the check itself; a child of the
// runner's own measures where the check cannot tell.
#pragma once

#include "probes.h"

#include <stddef.h>

#define LENGTH_KB 16384L // the check's mappings

struct kernel_kind {
	int err; // the mapping failed: errno; else the growth of each figure
	long statm_kb, rss_kb, hugetlb_kb;
	bool measured; // mapped (or refused) at all
};

struct kernel_account {
	bool done;
	char killed[192]; // the measuring child was killed by the kernel: by what
	long base_kb;	  // the base page
	int truncate_err; // sizing a hugetlbfs file to 16 MiB failed: errno
	struct kernel_kind kind[PROBES];
};

// uname -r -m, the base page, the default and every offered huge page size,
// the resource limits and the memory cgroup's.
void kernel_environment(void);

// A limit that would stop the check before the kernel is asked anything:
// -1 with the limit, measured, in `why`.
int environment_refuses(char *why, size_t size);

// Measures in a child of the runner's own, with the system prepared, and
// prints one "# kernel:" line per kind.
void kernel_measure(struct kernel_account *m, int timeout_s);
// One "# kernel:" line per kind measured.
void kernel_print(const struct kernel_account *m);
