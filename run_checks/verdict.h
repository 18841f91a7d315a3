// SPDX-License-Identifier: GPL-2.0-only
// The verdict on a run of rss_map_check, as a function of what the check did
// and what was measured around it: no global, no /proc, no clock inside, so
// that every rule is tested in-process with made-up figures.
#pragma once

#include "child.h"
#include "kernel_account.h"
#include "ktap.h"
#include "memory_limits.h"
#include "trace.h"

#include <stddef.h>

// The check's report of its own failure, as it names it on stderr.
enum check_failure {
	FAILED_NONE,
	FAILED_GROWTH,
	FAILED_SHRINK,
	FAILED_MMAP,
	FAILED_MUNMAP,
	FAILED_OPEN_FILE,
	FAILED_READ_RSS
};
// The name of each in the report ("growth", "mmap", ...).
extern const char *const check_failure_name[];

// The machine, measured, and the options.
struct rss_setting {
	const char *release; // uname -r
	long cpus;	     // online
	long base_kb;	     // the base page
	long huge_kb;	     // the default huge page, or 0 where none
	bool fits;	     // it divides 16 MiB
	struct oom_count oom_before, oom_after;
	const struct memcg *memcg; // for the OOM killer's message
	const char *planted;	   // a scratch name taken while it ran (no namespace)...
	int planted_probe;	   // ...the probe whose file it is, or -1
	long shm_free_kb;	   // /dev/shm's space after it (no namespace), or -1
	int statm_exact;	   // statm_reads_exact(): 1, 0, or -1 unknown
	bool strict;
	int timeout_s;
};

// What the check did, as the runner saw it.
struct rss_run {
	const struct child_result *r;
	const struct trace *t;
	const struct kernel_account *m;
	bool damaged; // the kernel left damage behind the run
};

struct rss_subtest {
	const char *name; // a probe's, or "before_probes", "after_PROBE", "kernel_damage"
	enum ktap_verdict verdict;
	const char *reason; // for a SKIP, XFAIL or TIMEOUT
	bool blamed;	    // carries the run's verdict
};

struct rss_verdict {
	enum ktap_verdict verdict; // the check's, at the top
	char reason[320];
	bool passed;		   // the check's own pass, all six mappings seen
	enum check_failure failed; // the check whose report ended the run
	int blamed;		   // the probe at fault, or -1
	int reached;		   // the probes that passed before it
	bool unseen;		   // "oll korrekt." without the mappings the trace saw
	char expected[320];	   // why the failure is the check's design, or ""
	char skipped[256];	   // what in the environment stood in its way, or ""
	int subtests;		   // 0 untraced
	struct rss_subtest sub[PROBES + 1];
	char own_name[48]; // the subtest of a verdict no probe carries
};

enum check_failure check_failure_of(const struct child_result *r);
// Whether the kernel's account must come from a child of the runner's own:
// the trace cannot tell (untraced, or stopped at sizing its hugetlbfs file
// before mapping it: the XFAIL for a huge page that does not divide 16 MiB
// needs that measurement).
bool rss_needs_own_measurement(const struct trace *t, const struct child_result *r);
// How many pages statm may lag the page tables on kernel `release` with
// `cpus` CPUs, the check having run on `ran_on` of them (0: unknown), statm
// seen reading the exact sum where `exact` is 1 (0: seen not to, -1: not
// seen), and how that is reckoned in `how`.
long statm_lag_bound(const char *release, long cpus, long ran_on, int exact, char *how,
		     size_t size);

void rss_judge(const struct rss_run *run, const struct rss_setting *set, struct rss_verdict *v);
