// SPDX-License-Identifier: GPL-2.0-only
#include "verdict.h"

#include "probes.h"

#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>

// How the check's report names each of its checks.
static const char *const check_failure_text[] = {
    nullptr,
    "rss didn't grow as expected",
    "rss didn't shrink as expected",
    "mmap returned an unexpected error",
    "munmap returned an unexpected error",
    "int open_file(const char *): assertion",
    "u64 read_rss(void): assertion",
};
const char *const check_failure_name[] = {nullptr,  "growth",	 "shrink",  "mmap",
					  "munmap", "open_file", "read_rss"};

static bool probe_done(const struct trace *t, int i)
{
	const struct probe_seen *p = &t->probe[i];
	if (call_failed(p->mapped))
		return false;
	return !probes[i].unmapped || (p->unmap_seen && p->unmapped == 0);
}

enum check_failure check_failure_of(const struct child_result *r)
{
	if (!WIFSIGNALED(r->status) || WTERMSIG(r->status) != SIGABRT)
		return FAILED_NONE;
	for (int k = FAILED_GROWTH; k <= FAILED_READ_RSS; k++)
		if (memmem(r->err, r->err_len, check_failure_text[k],
			   strlen(check_failure_text[k])))
			return (enum check_failure)k;
	return FAILED_NONE;
}

bool rss_needs_own_measurement(const struct trace *t, const struct child_result *r)
{
	return t->mode == TRACE_OFF || check_failure_of(r) == FAILED_OPEN_FILE;
}

// Before 6.2 each task caches up to 64 counter events (SMP kernels); from
// 6.2 statm may read percpu counters roughly, each CPU holding up to
// max(32, 2 x CPUs) pages unfolded. Between two readings only the CPUs the
// check ran on can change what they hold, by less than a batch each; where
// the kernel does not say which (`ran_on` < 1), all of them. Never the whole
// mapping: a kernel that does not count a kind is no lag, however many CPUs.
// From 6.16, and in the stable releases that took the same change, statm
// folds every CPU's counter into what it reads: no lag at all. Where the
// kernel could not be seen to, its version alone tells.
static bool reads_exact_sum(int major, int minor, int sublevel)
{
	if (major != 6)
		return major > 6;
	return minor >= 16 || (minor == 15 && sublevel >= 7) || (minor == 12 && sublevel >= 39) ||
	       (minor == 6 && sublevel >= 99);
}

long statm_lag_bound(const char *release, long cpus, long ran_on, int exact, char *how, size_t size)
{
	int major = 0, minor = 0, sublevel = 0;
	sscanf(release, "%d.%d.%d", &major, &minor, &sublevel);
	// What the kernel showed outweighs its version: a build may read
	// either way.
	if (exact == 1) {
		snprintf(how, size,
			 "statm reads the exact sum: it moved by one page for each page touched");
		return 0;
	}
	if (exact < 0 && reads_exact_sum(major, minor, sublevel)) {
		snprintf(how, size, "%d.%d.%d reads statm's exact sum", major, minor, sublevel);
		return 0;
	}
	if (major < 6 || (major == 6 && minor < 2)) {
		snprintf(how, size, "before 6.2: 64 events cached per task");
		return 64;
	}
	long batch = 2 * cpus > 32 ? 2 * cpus : 32, bound;
	if (ran_on >= 1 && ran_on < cpus) {
		snprintf(how, size,
			 "from 6.2: max(32, 2 x %ld CPUs) per CPU, on the %ld the check ran on",
			 cpus, ran_on);
		bound = batch * ran_on;
	} else {
		snprintf(how, size, "from 6.2: max(32, 2 x %ld CPUs) per CPU, %ld CPUs", cpus,
			 cpus);
		bound = batch * cpus;
	}
	long mapping = CHECK_KB / 4 - 1; // in the 4 KiB pages the lag is judged in
	return bound < mapping ? bound : mapping;
}

// The CPUs the check ran on between two of a probe's stops, from its moves
// between them, or 0 where the kernel does not say.
static long cpus_ran_on(const struct probe_seen *p, int at)
{
	if (p->migrations[0] < 0 || p->migrations[at] < 0)
		return 0;
	return p->migrations[at] - p->migrations[0] + 1;
}

// A miss at a 4 KiB-page probe that the counters' lag explains: statm off by
// no more than they may lag, while the walk of the page tables (smaps_rollup)
// shows exactly what the check mapped, or unmapped.
static void counter_lag(struct rss_verdict *v, const struct trace *t, const struct rss_setting *set)
{
	if (set->base_kb != 4 || v->blamed < 0 || v->blamed >= t->probes || huge_probe(v->blamed) ||
	    (v->failed != FAILED_GROWTH && v->failed != FAILED_SHRINK))
		return;
	const struct probe_seen *p = &t->probe[v->blamed];
	bool growth = v->failed == FAILED_GROWTH;
	int at = growth ? 1 : 2;
	long statm = p->statm[at] - p->statm[0], walked = p->rss_kb[at] - p->rss_kb[0],
	     want = growth ? CHECK_KB : 0, miss = labs(statm * set->base_kb - want) / set->base_kb;
	char how[96];
	if (p->rss_kb[0] < 0 || p->rss_kb[at] < 0 || walked != want)
		return;
	long bound = statm_lag_bound(set->release, set->cpus, cpus_ran_on(p, at), set->statm_exact,
				     how, sizeof(how));
	if (miss * set->base_kb < CHECK_TOLERANCE_KB || miss > bound)
		return;
	snprintf(v->expected, sizeof(v->expected),
		 "statm lags the page tables: it moved %+ld pages where smaps_rollup's Rss moved "
		 "%+ld kB, a miss of %ld pages within the %ld the kernel's counters may lag (%s)",
		 statm, walked, miss, bound, how);
}

// The failures that the check's fixed design makes, told by the kernel's
// own measurement: it scales statm by 4096 whatever the page size, and its
// hugetlbfs file cannot be sized when the huge page does not divide 16 MiB.
static void expected_failure(struct rss_verdict *v, const struct trace *t,
			     const struct kernel_account *m, const struct rss_setting *set)
{
	counter_lag(v, t, set);
	if (!m->done || v->expected[0])
		return;
	const struct kernel_kind *anon = &m->kind[0];
	if (v->failed == FAILED_OPEN_FILE && !set->fits && m->truncate_err) {
		snprintf(
		    v->expected, sizeof(v->expected),
		    "the default huge page is %ld kB, which does not divide 16 MiB: the kernel "
		    "refused to size a hugetlbfs file to 16 MiB (%s)",
		    set->huge_kb, strerror(m->truncate_err));
	} else if (v->failed == FAILED_GROWTH && v->blamed <= 0 && m->base_kb != 4 && !anon->err &&
		   labs(anon->statm_kb - CHECK_KB) < CHECK_TOLERANCE_KB &&
		   labs(anon->statm_kb / m->base_kb * 4 - CHECK_KB) >= CHECK_TOLERANCE_KB) {
		snprintf(
		    v->expected, sizeof(v->expected),
		    "the kernel counted 16 MiB as %ld pages of %ld KiB; the check counts 4 KiB "
		    "pages",
		    anon->statm_kb / m->base_kb, m->base_kb);
	}
}

// What in the environment, measured, explains a failed run: the kernel's
// OOM killer, or huge pages that another process took after the runner
// counted them free (no privilege is needed to map them).
static void environment_failure(struct rss_verdict *v, const struct rss_run *run,
				const struct rss_setting *set)
{
	const struct child_result *r = run->r;
	const struct trace *t = run->t;
	char said[192];
	if (WIFSIGNALED(r->status) && WTERMSIG(r->status) == SIGKILL && !r->timed_out &&
	    oom_killed_between(&set->oom_before, &set->oom_after, set->memcg, said, sizeof(said))) {
		snprintf(v->skipped, sizeof(v->skipped), "the check was killed by %s", said);
		return;
	}
	// The check stopped at opening the file of the probe it reached.
	if (v->failed == FAILED_OPEN_FILE && set->planted_probe >= 0 &&
	    set->planted_probe == t->probes) {
		snprintf(v->skipped, sizeof(v->skipped), "%s, taken while the check ran",
			 set->planted);
		return;
	}
	// Outside a namespace of its own, the machine's /dev/shm filled up
	// while it ran: its file had no pages for statm to show.
	if (v->failed == FAILED_GROWTH && v->blamed >= 0 && probes[v->blamed].file == SHM_FILE &&
	    set->shm_free_kb >= 0 && set->shm_free_kb < CHECK_KB) {
		snprintf(v->skipped, sizeof(v->skipped),
			 "/dev/shm filled up while the check ran: %ld kB free after it; its file "
			 "needs %ld kB",
			 set->shm_free_kb, CHECK_KB);
		return;
	}
	if (v->blamed < 0 || v->blamed >= t->probes || !huge_probe(v->blamed) || set->huge_kb <= 0)
		return;
	const struct probe_seen *p = &t->probe[v->blamed];
	long need = CHECK_KB / set->huge_kb;
	// Reserved pages are free, but others' mappings will fault them in.
	long unreserved = p->pool_free - (p->pool_resv > 0 ? p->pool_resv : 0);
	if (p->returned && p->mapped == -ENOMEM && p->pool_free >= 0 && unreserved < need)
		snprintf(v->skipped, sizeof(v->skipped),
			 "another process took the huge pages: the kernel refused %s's mmap (%s) "
			 "with %ld huge pages of %ld kB free and unreserved; the check needs %ld",
			 probes[v->blamed].name, strerror(ENOMEM), unreserved, set->huge_kb, need);
}

// Which probe the run ends at, and how far it got.
static void blame(struct rss_verdict *v, const struct child_result *r, const struct trace *t)
{
	v->passed =
	    child_exited(r, 0) && r->out_len == PASS_LEN && !memcmp(r->out, PASS_TEXT, PASS_LEN);
	v->failed = check_failure_of(r);
	v->blamed = -1;
	int last = t->probes - 1;
	if (v->passed && t->mode != TRACE_OFF && t->probes < PROBES) {
		// A pass rests on the kernel's answers to all six mappings.
		v->passed = false;
		v->unseen = true;
		v->reached = t->probes;
	} else if (v->passed)
		v->reached = PROBES;
	else if (v->failed == FAILED_MMAP && (last < 0 || !call_failed(t->probe[last].mapped)) &&
		 t->probes < PROBES)
		v->blamed = t->probes; // refused before the kernel saw it (a seccomp errno filter)
	else if (last >= 0 &&
		 (v->failed == FAILED_GROWTH || v->failed == FAILED_SHRINK ||
		  v->failed == FAILED_MMAP || v->failed == FAILED_MUNMAP || !probe_done(t, last)))
		v->blamed = last;
	else
		v->reached = t->probes;
	if (v->blamed >= 0)
		v->reached = v->blamed;
}

// The verdict of the whole run, and its reason.
static enum ktap_verdict overall(const struct rss_verdict *v, const struct rss_run *run,
				 const struct rss_setting *set, char *reason, size_t size)
{
	reason[0] = '\0';
	if (run->r->start_errno) {
		if (!strcmp(run->r->start_what, "exec"))
			snprintf(reason, size, "cannot start the check: %s",
				 strerror(run->r->start_errno));
		else
			snprintf(reason, size, "cannot start the check: %s: %s", run->r->start_what,
				 strerror(run->r->start_errno));
		return KTAP_SKIP;
	}
	if (run->damaged)
		return KTAP_FAIL; // whatever the check said
	if (v->passed)
		return KTAP_PASS;
	if (v->skipped[0]) {
		snprintf(reason, size, "%s", v->skipped);
		return KTAP_SKIP;
	}
	if (run->r->timed_out) {
		snprintf(reason, size, "%d", set->timeout_s);
		return KTAP_TIMEOUT;
	}
	if (v->expected[0] && !set->strict) {
		snprintf(reason, size, "%s", v->expected);
		return KTAP_XFAIL;
	}
	return KTAP_FAIL;
}

// One subtest per probe, and the parent's verdict on one of them: on the
// probe at fault, else on a subtest of its own, so that parsers that count
// only leaves (the kernel's kunit_parser) read what the parent says.
static void subtests(struct rss_verdict *v, const struct rss_run *run)
{
	const struct trace *t = run->t;
	if (t->mode == TRACE_OFF || run->r->start_errno)
		return;
	for (int i = 0; i < PROBES; i++) {
		struct rss_subtest *s = &v->sub[v->subtests++];
		*s = {probes[i].name, KTAP_PASS, nullptr, false};
		if (i >= v->reached && i != v->blamed)
			*s = {probes[i].name, KTAP_SKIP, "not reached", false};
		else if (i >= v->reached)
			*s = {probes[i].name, v->verdict, v->reason, true};
	}
	if (v->blamed >= 0 || v->verdict == KTAP_PASS || v->verdict == KTAP_SKIP)
		return;
	if (run->damaged)
		snprintf(v->own_name, sizeof(v->own_name), "kernel_damage");
	else if (t->probes)
		snprintf(v->own_name, sizeof(v->own_name), "after_%s", probes[t->probes - 1].name);
	else
		snprintf(v->own_name, sizeof(v->own_name), "before_probes");
	v->sub[v->subtests++] = {v->own_name, v->verdict, v->reason, true};
}

void rss_judge(const struct rss_run *run, const struct rss_setting *set, struct rss_verdict *v)
{
	memset(v, 0, sizeof(*v));
	blame(v, run->r, run->t);
	if (!v->passed)
		environment_failure(v, run, set);
	if (!v->passed && !v->skipped[0])
		expected_failure(v, run->t, run->m, set);
	v->verdict = overall(v, run, set, v->reason, sizeof(v->reason));
	subtests(v, run);
}
