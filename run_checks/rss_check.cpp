// SPDX-License-Identifier: GPL-2.0-only
// rss_map_check as the runner runs and judges it: the system prepared and put
// back, the kernel measured apart from the check, the check traced to learn
// which probe failed and how, and the failures that its fixed design makes
// on some kernels marked as expected.
#include "checks.h"
#include "child.h"
#include "damage.h"
#include "hugepages.h"
#include "kernel.h"
#include "ktap.h"
#include "limits.h"
#include "signals.h"
#include "trace.h"

#include <errno.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#define TOLERANCE_KB 256

enum failed_check { NOT_A_CHECK, GROWTH, SHRINK, MMAP, MUNMAP, OPEN_FILE, READ_RSS };

// How the check's report names each of its checks.
static const struct {
	const char *text, *name;
} checks[] = {
    {nullptr, nullptr},
    {"rss didn't grow as expected", "growth"},
    {"rss didn't shrink as expected", "shrink"},
    {"mmap returned an unexpected error", "mmap"},
    {"munmap returned an unexpected error", "munmap"},
    {"int open_file(const char *): assertion", "open_file"},
    {"u64 read_rss(void): assertion", "read_rss"},
};

struct judgement {
	bool passed;
	enum failed_check failed; // the check whose report ended the run
	int blamed;		  // the probe at fault, or -1
	int reached;		  // the probes that passed before it
	bool unseen;		  // "oll korrekt." without the mappings the trace saw
	char expected[320];	  // why the failure is the check's design, or ""
	char skipped[256];	  // what in the environment stood in its way, or ""
	bool damaged;		  // the kernel left damage behind the run...
	char damage[2048];	  // ...as these lines say (also what was not judged)
};

static bool call_failed(long result)
{
	return result < 0 && result >= -4095;
}

static bool probe_done(const struct trace *t, int i)
{
	const struct probe_seen *p = &t->probe[i];
	if (call_failed(p->mapped))
		return false;
	return !probes[i].unmapped || (p->unmap_seen && p->unmapped == 0);
}

static enum failed_check failed_check(const struct child_result *r)
{
	if (!WIFSIGNALED(r->status) || WTERMSIG(r->status) != SIGABRT)
		return NOT_A_CHECK;
	for (int k = GROWTH; k <= READ_RSS; k++)
		if (memmem(r->err, r->err_len, checks[k].text, strlen(checks[k].text)))
			return (enum failed_check)k;
	return NOT_A_CHECK;
}

// The failures that the check's fixed design makes, told by the kernel's
// own measurement: it scales statm by 4096 whatever the page size, and its
// hugetlbfs file cannot be sized when the huge page does not divide 16 MiB.
static bool huge_probe(int i)
{
	return probes[i].extra_flags & MAP_HUGETLB || probes[i].file == HUGETLBFS_FILE;
}

// How many pages statm may lag the page tables on this kernel: before 6.2
// each task caches up to 64 counter events (SMP kernels); from 6.2 statm may
// read percpu counters roughly, each CPU holding up to max(32, 2 x CPUs)
// pages unfolded (kernels that read the exact sum lag less, never more).
static long lag_bound(const char *release, long cpus, char *how, size_t size)
{
	int major = 0, minor = 0;
	sscanf(release, "%d.%d", &major, &minor);
	if (major < 6 || (major == 6 && minor < 2)) {
		snprintf(how, size, "before 6.2: 64 events cached per task");
		return 64;
	}
	long batch = 2 * cpus > 32 ? 2 * cpus : 32;
	snprintf(how, size, "from 6.2: max(32, 2 x %ld CPUs) per CPU, %ld CPUs", cpus, cpus);
	return batch * cpus;
}

// A miss at a 4 KiB-page probe that the counters' lag explains: statm off by
// no more than they may lag, while the walk of the page tables (smaps_rollup)
// shows exactly what the check mapped, or unmapped.
static void counter_lag(struct judgement *j, const struct trace *t, long base_kb)
{
	if (base_kb != 4 || j->blamed < 0 || j->blamed >= t->probes || huge_probe(j->blamed) ||
	    (j->failed != GROWTH && j->failed != SHRINK))
		return;
	const struct probe_seen *p = &t->probe[j->blamed];
	bool growth = j->failed == GROWTH;
	long statm = growth ? p->rss[1] - p->rss[0] : p->rss[2] - p->rss[0],
	     walked = growth ? p->rss_kb[1] - p->rss_kb[0] : p->rss_kb[2] - p->rss_kb[0],
	     want = growth ? LENGTH_KB : 0, miss = labs(statm * base_kb - want) / base_kb;
	struct utsname u;
	char how[96];
	if (uname(&u) != 0 || p->rss_kb[0] < 0 || p->rss_kb[growth ? 1 : 2] < 0 || walked != want)
		return;
	long bound = lag_bound(u.release, sysconf(_SC_NPROCESSORS_ONLN), how, sizeof(how));
	if (miss * base_kb < TOLERANCE_KB || miss > bound)
		return;
	snprintf(j->expected, sizeof(j->expected),
		 "statm lags the page tables: it moved %+ld pages where smaps_rollup's Rss moved "
		 "%+ld kB, a miss of %ld pages within the %ld the kernel's counters may lag (%s)",
		 statm, walked, miss, bound, how);
}

static void expected_failure(struct judgement *j, const struct trace *t,
			     const struct kernel_account *m, const struct hugepages_info *hp)
{
	counter_lag(j, t, sysconf(_SC_PAGESIZE) / 1024);
	if (!m->done || j->expected[0])
		return;
	const struct kernel_kind *anon = &m->kind[0];
	if (j->failed == OPEN_FILE && !hp->fits && m->truncate_err) {
		snprintf(
		    j->expected, sizeof(j->expected),
		    "the default huge page is %ld kB, which does not divide 16 MiB: the kernel "
		    "refused to size a hugetlbfs file to 16 MiB (%s)",
		    hp->page_kb, strerror(m->truncate_err));
	} else if (j->failed == GROWTH && j->blamed <= 0 && m->base_kb != 4 && !anon->err &&
		   labs(anon->statm_kb - LENGTH_KB) < TOLERANCE_KB &&
		   labs(anon->statm_kb / m->base_kb * 4 - LENGTH_KB) >= TOLERANCE_KB) {
		snprintf(
		    j->expected, sizeof(j->expected),
		    "the kernel counted 16 MiB as %ld pages of %ld KiB; the check counts 4 KiB "
		    "pages",
		    anon->statm_kb / m->base_kb, m->base_kb);
	}
}

// What in the environment, measured, explains a failed run: the kernel's
// OOM killer, or huge pages that another process took after the runner
// counted them free (no privilege is needed to map them).
static void environment_failure(struct judgement *j, const struct child_result *r,
				const struct trace *t, const struct oom_count *oom,
				const struct hugepages_info *hp)
{
	char said[192];
	if (WIFSIGNALED(r->status) && WTERMSIG(r->status) == SIGKILL && !r->timed_out &&
	    oom_killed_since(oom, said, sizeof(said))) {
		snprintf(j->skipped, sizeof(j->skipped), "the check was killed by %s", said);
		return;
	}
	if (j->blamed < 0 || j->blamed >= t->probes || !huge_probe(j->blamed) || hp->page_kb <= 0)
		return;
	const struct probe_seen *p = &t->probe[j->blamed];
	long need = LENGTH_KB / hp->page_kb;
	if (p->returned && p->mapped == -ENOMEM && p->pool_free >= 0 && p->pool_free < need)
		snprintf(j->skipped, sizeof(j->skipped),
			 "another process took the huge pages: the kernel refused %s's mmap (%s) "
			 "with %ld huge pages of %ld kB free and unreserved; the check needs %ld",
			 probes[j->blamed].name, strerror(ENOMEM), p->pool_free, hp->page_kb, need);
}

static void judge(struct judgement *j, const struct child_result *r, const struct trace *t,
		  const struct kernel_account *m, const struct hugepages_info *hp,
		  const struct oom_count *oom)
{
	memset(j, 0, sizeof(*j));
	j->passed = child_exited(r, 0) && r->out_len == 13 && !memcmp(r->out, "oll korrekt.\n", 13);
	j->failed = failed_check(r);
	j->blamed = -1;
	int last = t->probes - 1;
	if (j->passed && t->mode != TRACE_OFF && t->probes < PROBES) {
		// A pass rests on the kernel's answers to all six mappings.
		j->passed = false;
		j->unseen = true;
		j->reached = t->probes;
	} else if (j->passed)
		j->reached = PROBES;
	else if (j->failed == MMAP && (last < 0 || !call_failed(t->probe[last].mapped)) &&
		 t->probes < PROBES)
		j->blamed = t->probes; // refused before the kernel saw it (a seccomp errno filter)
	else if (last >= 0 && (j->failed == GROWTH || j->failed == SHRINK || j->failed == MMAP ||
			       j->failed == MUNMAP || !probe_done(t, last)))
		j->blamed = last;
	else
		j->reached = t->probes;
	if (j->blamed >= 0)
		j->reached = j->blamed;
	if (!j->passed)
		environment_failure(j, r, t, oom, hp);
	if (!j->passed && !j->skipped[0])
		expected_failure(j, t, m, hp);
}

// What the trace saw of one probe.
static void diag_probe(int i, const struct probe_seen *p)
{
	char line[256];
	int n = snprintf(line, sizeof(line), "%s: mmap flags 0x%lx fd %ld ", probes[i].name,
			 p->flags, p->fd);
	if (!p->returned) {
		snprintf(line + n, sizeof(line) - (size_t)n,
			 "never returned: the check ended in it");
	} else if (call_failed(p->mapped)) {
		snprintf(line + n, sizeof(line) - (size_t)n, "failed: %s",
			 strerror((int)-p->mapped));
	} else {
		n += snprintf(line + n, sizeof(line) - (size_t)n, "ok, statm %+ld pages",
			      p->rss[1] - p->rss[0]);
		if (p->unmap_seen && call_failed(p->unmapped))
			snprintf(line + n, sizeof(line) - (size_t)n, "; munmap failed: %s",
				 strerror((int)-p->unmapped));
		else if (p->unmap_seen)
			snprintf(line + n, sizeof(line) - (size_t)n,
				 "; munmap ok, statm %+ld pages from before",
				 p->rss[2] - p->rss[0]);
	}
	ktap_diag("%s", line);
}

// Which of the check's checks failed at the blamed probe, in figures, and
// what the kernel's own measurement of that kind of memory says of it.
static void diag_failure(const struct judgement *j, const struct trace *t,
			 const struct kernel_account *m)
{
	const struct probe_seen *p = &t->probe[j->blamed];
	if (j->failed == GROWTH)
		ktap_diag("the growth check failed: statm grew by %ld pages, %ld kB as the check "
			  "counts (4 kB a page); it wants %ld kB within %d kB",
			  p->rss[1] - p->rss[0], (p->rss[1] - p->rss[0]) * 4, LENGTH_KB,
			  TOLERANCE_KB);
	else if (j->failed == SHRINK)
		ktap_diag("the shrink check failed: after munmap statm is %+ld pages from before "
			  "the mmap; it wants 0 within %d kB",
			  p->rss[2] - p->rss[0], TOLERANCE_KB);
	else if ((j->failed == MMAP && j->blamed == t->probes) ||
		 (j->failed == MUNMAP && !p->unmap_seen))
		ktap_diag("the %s check failed: the kernel never saw the call (refused before it)",
			  checks[j->failed].name);
	else if (j->failed == MMAP || j->failed == MUNMAP)
		ktap_diag("the %s check failed: the kernel refused the call (%s)",
			  checks[j->failed].name,
			  strerror((int)-(j->failed == MMAP ? p->mapped : p->unmapped)));
	else
		ktap_diag("the run ended during this probe");
	if (!m->done || (j->failed != GROWTH && j->failed != SHRINK))
		return;
	const struct kernel_kind *k = &m->kind[j->blamed];
	if (!k->measured || k->err)
		return;
	if (huge_probe(j->blamed) && labs(k->statm_kb) < TOLERANCE_KB &&
	    labs(k->hugetlb_kb - LENGTH_KB) < TOLERANCE_KB)
		ktap_diag(
		    "this kernel keeps huge pages out of the resident set: its own account of "
		    "this kind is statm %+ld kB, smaps Rss %+ld kB, HugetlbPages %+ld kB",
		    k->statm_kb, k->rss_kb, k->hugetlb_kb);
	else if (!j->expected[0] && labs(k->rss_kb - LENGTH_KB) < TOLERANCE_KB &&
		 labs(k->statm_kb - k->rss_kb) >= 64)
		ktap_diag("statm and the page tables disagree: statm moved %+ld kB where smaps Rss "
			  "moved %+ld kB",
			  k->statm_kb, k->rss_kb);
}

// The kernel's account of each kind the check mapped, as the trace read it
// from the check's own /proc files just before and just after the mmap.
static void account_from_trace(struct kernel_account *m, const struct trace *t)
{
	memset(m, 0, sizeof(*m));
	m->base_kb = sysconf(_SC_PAGESIZE) / 1024;
	for (int i = 0; i < t->probes; i++) {
		const struct probe_seen *p = &t->probe[i];
		struct kernel_kind *k = &m->kind[i];
		if (!p->returned)
			continue;
		k->measured = true;
		if (call_failed(p->mapped))
			k->err = (int)-p->mapped;
		else
			*k = {0, (p->rss[1] - p->rss[0]) * m->base_kb, p->rss_kb[1] - p->rss_kb[0],
			      p->huge_kb[1] - p->huge_kb[0], true};
	}
	m->done = true;
}

// The verdict of the whole run, and its reason.
static enum ktap_verdict verdict(const struct judgement *j, const struct child_result *r,
				 char *reason, size_t size)
{
	reason[0] = '\0';
	if (j->damaged)
		return KTAP_FAIL; // whatever the check said
	if (j->passed)
		return KTAP_PASS;
	if (j->skipped[0]) {
		snprintf(reason, size, "%s", j->skipped);
		return KTAP_SKIP;
	}
	if (r->timed_out) {
		snprintf(reason, size, "%d", opt.timeout_s);
		return KTAP_TIMEOUT;
	}
	if (j->expected[0] && !opt.strict) {
		snprintf(reason, size, "%s", j->expected);
		return KTAP_XFAIL;
	}
	return KTAP_FAIL;
}

static void result(enum ktap_verdict v, const char *name, const char *reason,
		   const struct judgement *j)
{
	if (v == KTAP_FAIL && j->expected[0])
		ktap_diag("expected by the check's design, reported as a failure (--strict): %s",
			  j->expected);
	ktap_result(v, name, v == KTAP_FAIL ? nullptr : reason);
}

// One subtest per probe the trace saw, and the parent's verdict on one of
// them: on the probe at fault, else on a subtest of its own, so that parsers
// that count only leaves (the kernel's kunit_parser) read what the parent says.
static void report_subtests(const struct judgement *j, const struct child_result *r,
			    const struct trace *t, const struct kernel_account *m,
			    enum ktap_verdict v, const char *reason)
{
	bool carried = j->blamed >= 0;
	bool own = !carried && v != KTAP_PASS && v != KTAP_SKIP;
	ktap_subtests_begin("rss_map_check", PROBES + own);
	for (int i = 0; i < PROBES; i++) {
		if (i >= j->reached && i != j->blamed) {
			ktap_result(KTAP_SKIP, probes[i].name, "not reached");
			continue;
		}
		if (i < t->probes)
			diag_probe(i, &t->probe[i]);
		if (i < j->reached) {
			ktap_result(KTAP_PASS, probes[i].name, nullptr);
			continue;
		}
		ktap_quote("", r->err, r->err_len, r->err_dropped);
		diag_failure(j, t, m);
		result(v, probes[i].name, reason, j);
	}
	if (own) {
		char name[64] = "before_probes";
		if (j->damaged)
			snprintf(name, sizeof(name), "kernel_damage");
		else if (t->probes)
			snprintf(name, sizeof(name), "after_%s", probes[t->probes - 1].name);
		if (j->damaged)
			ktap_quote("", j->damage, strlen(j->damage), 0);
		else if (j->unseen)
			ktap_diag(
			    "the check printed \"oll korrekt.\" but the trace saw %d of its %d "
			    "mappings",
			    t->probes, PROBES);
		else
			ktap_diag("the run ended outside the probes, after %d of %d", t->probes,
				  PROBES);
		result(v, name, reason, j);
	}
	ktap_subtests_end();
}

static void report(const char *name, const struct judgement *j, const struct child_result *r,
		   const struct trace *t, const struct kernel_account *m)
{
	char reason[320];
	enum ktap_verdict v = verdict(j, r, reason, sizeof(reason));
	if (t->mode == TRACE_OFF)
		ktap_diag("%s: untraced, so no result per probe: %s refused (%s)", name,
			  t->why_what, strerror(t->why_errno));
	else if (t->mode == TRACE_SYSCALLS)
		ktap_diag("%s: traced at every system call: %s refused (%s)", name, t->why_what,
			  strerror(t->why_errno));
	if (t->mode != TRACE_OFF)
		report_subtests(j, r, t, m, v, reason);

	if (j->passed) {
		ktap_quote("", r->err, r->err_len, r->err_dropped);
	} else if (j->failed != NOT_A_CHECK ||
		   (WIFSIGNALED(r->status) && WTERMSIG(r->status) == SIGABRT)) {
		ktap_diag("%s: a check failed (SIGABRT):", name);
		ktap_quote("", r->err, r->err_len, r->err_dropped);
		ktap_quote("stdout: ", r->out, r->out_len, r->out_dropped);
	} else if (j->unseen) {
		ktap_diag("%s: printed \"oll korrekt.\" but made %d of its %d mappings", name,
			  t->probes, PROBES);
	} else if (!j->passed) {
		diag_outcome(name, r);
	}
	ktap_quote("", j->damage, strlen(j->damage), 0);
	result(v, name, reason, j);
}

void check_rss(const char *bin_dir)
{
	static const char name[] = "rss_map_check";
	char path[PATH_MAX + 32], why[PATH_MAX + 128];
	struct hugepages_info hp;
	struct kernel_account m;
	struct child_result r;
	struct trace t;
	struct judgement j;

	snprintf(path, sizeof(path), "%s/%s", bin_dir, name);
	if (program_missing(name, path))
		return;
	if (environment_refuses(why, sizeof(why)) < 0) {
		ktap_result(KTAP_SKIP, name, why);
		return;
	}
	if (hugepages_prepare(opt.wait_s, opt.timeout_s, &hp, why, sizeof(why)) < 0) {
		ktap_result(KTAP_SKIP, name, why);
		return;
	}
	if (hugepages_recheck(why, sizeof(why)) < 0) {
		ktap_result(KTAP_SKIP, name, why);
		return;
	}
	if (int sig = signals_pending_stop())
		signals_stop(sig);
	const char *const args[] = {path, nullptr};
	memset(&t, 0, sizeof(t));
	const struct child_hooks tracer = {
	    trace_child, [](void *arg, int fd) { trace_started((struct trace *)arg, fd); },
	    [](void *arg, pid_t pid, int status) { trace_stop((struct trace *)arg, pid, status); },
	    &t};
	struct oom_count oom;
	oom_count_read(&oom);
	struct damage_watch watch;
	damage_watch_start(&watch);
	child_run(args, -1, opt.timeout_s, &r, &tracer);
	if (r.stopped_by)
		signals_stop(r.stopped_by);
	char damage[sizeof(j.damage)];
	bool damaged = damage_seen(&watch, damage, sizeof(damage));
	// The kernel's account comes from the check itself, read at its stops;
	// a child of the runner's measures only where the check cannot tell:
	// untraced, or stopped at sizing its hugetlbfs file before mapping it
	// (the XFAIL for a huge page that does not divide 16 MiB needs that).
	if (t.mode == TRACE_OFF || failed_check(&r) == OPEN_FILE) {
		kernel_measure(&m, opt.timeout_s);
	} else {
		account_from_trace(&m, &t);
		kernel_print(&m);
	}
	hugepages_restore();
	if (r.start_errno) {
		report_unusual(name, &r);
		return;
	}
	judge(&j, &r, &t, &m, &hp, &oom);
	j.damaged = damaged;
	memcpy(j.damage, damage, sizeof(damage));
	report(name, &j, &r, &t, &m);
}
