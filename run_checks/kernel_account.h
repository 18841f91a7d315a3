// SPDX-License-Identifier: GPL-2.0-only
// The kernel's own account of 16 MiB mapped each way the check maps it, from
// three sources: statm's resident figure (in the kernel's real pages),
// smaps_rollup's Rss (a walk of the page tables, exact) and status's
// HugetlbPages. The trace reads them from the check itself; a child of the
// runner's own measures where the check cannot tell.
#pragma once

#include "probes.h"
#include "trace.h"

#include <stddef.h>

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

// Measures in a child of the runner's own, with the system prepared, and
// prints one "# kernel:" line per kind.
void kernel_measure(struct kernel_account *m, int timeout_s);
// The account as the trace read it from the check's own /proc files just
// before and just after each mmap; `base_kb`: the base page.
void kernel_account_from_trace(struct kernel_account *m, const struct trace *t, long base_kb);
// One "# kernel:" line per kind measured.
void kernel_print(const struct kernel_account *m);

// Whether statm reads the RSS counters' exact sum: 1 where it moved by
// exactly one page for each of two pages the runner touched (a counter read
// roughly moves by 0, or by a whole batch of 32 or more, at a time); 0 where
// it did not; -1 where it cannot be told.
int statm_reads_exact(void);
