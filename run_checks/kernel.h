// The kernel as the runner finds it, apart from the check: an environment
// header, and the kernel's own account of 16 MiB mapped each way the check
// maps it, from three sources: statm's resident figure (in the kernel's real
// pages), smaps_rollup's Rss (a walk of the page tables, exact) and status's
// HugetlbPages.
#pragma once

#include "probes.h"

struct kernel_kind {
	int err; // the mapping failed: errno; else the growth of each figure
	long statm_kb, rss_kb, hugetlb_kb;
};

struct kernel_account {
	bool done;
	long base_kb;	  // the base page
	int truncate_err; // sizing a hugetlbfs file to 16 MiB failed: errno
	struct kernel_kind kind[PROBES];
};

// uname -r -m, the base page, the default and every offered huge page size.
void kernel_environment(void);

// Measures in a child of the runner's own, with the system prepared, and
// prints one "# kernel:" line per kind.
void kernel_measure(struct kernel_account *m, int timeout_s);
