// rss_map_check as the runner runs and judges it: the system prepared and put
// back, the kernel measured apart from the check, the check traced to learn
// which probe failed and how, and the failures that its fixed design makes
// on some kernels marked as expected.
#include "checks.h"
#include "child.h"
#include "hugepages.h"
#include "kernel.h"
#include "ktap.h"
#include "signals.h"
#include "trace.h"

#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>

#define LENGTH_KB (RSS_LENGTH / 1024)
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
	char expected[256];	  // why the failure is the check's design, or ""
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
static void expected_failure(struct judgement *j, const struct kernel_account *m,
			     const struct hugepages_info *hp)
{
	if (!m->done)
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

static void judge(struct judgement *j, const struct child_result *r, const struct trace *t,
		  const struct kernel_account *m, const struct hugepages_info *hp)
{
	memset(j, 0, sizeof(*j));
	j->passed = child_exited(r, 0) && r->out_len == 13 && !memcmp(r->out, "oll korrekt.\n", 13);
	j->failed = failed_check(r);
	j->blamed = -1;
	int last = t->probes - 1;
	if (j->passed)
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
		expected_failure(j, m, hp);
}

// What the trace saw of one probe.
static void diag_probe(int i, const struct probe_seen *p)
{
	char line[256];
	int n = snprintf(line, sizeof(line), "%s: mmap flags 0x%lx fd %ld ", probes[i].name,
			 p->flags, p->fd);
	if (call_failed(p->mapped)) {
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
			  "counts (4 kB a page); it wants %lld kB within %d kB",
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
	bool huge =
	    probes[j->blamed].extra_flags & MAP_HUGETLB || probes[j->blamed].file == HUGETLBFS_FILE;
	if (k->err)
		ktap_diag("the runner's own mapping of this kind failed as well: %s",
			  strerror(k->err));
	else if (huge && labs(k->statm_kb) < TOLERANCE_KB &&
		 labs(k->hugetlb_kb - LENGTH_KB) < TOLERANCE_KB)
		ktap_diag(
		    "this kernel keeps huge pages out of the resident set: its own account of "
		    "this kind is statm %+ld kB, smaps Rss %+ld kB, HugetlbPages %+ld kB",
		    k->statm_kb, k->rss_kb, k->hugetlb_kb);
	else if (labs(k->rss_kb - LENGTH_KB) < TOLERANCE_KB && labs(k->statm_kb - k->rss_kb) >= 64)
		ktap_diag(
		    "statm lags the page tables: in the runner's own mapping statm moved %+ld "
		    "kB where smaps Rss moved %+ld kB; the kernel folds each task's RSS counts "
		    "in late (every 64 page faults on SMP), which explains a miss like this",
		    k->statm_kb, k->rss_kb);
}

static void result_expected(const char *name, const char *expected)
{
	if (opt.strict) {
		ktap_diag("expected by the check's design, reported as a failure (--strict): %s",
			  expected);
		ktap_result(KTAP_FAIL, name, nullptr);
	} else {
		ktap_result(KTAP_XFAIL, name, expected);
	}
}

static void report_subtests(const struct judgement *j, const struct child_result *r,
			    const struct trace *t, const struct kernel_account *m)
{
	ktap_subtests_begin("rss_map_check", PROBES);
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
		if (j->expected[0])
			result_expected(probes[i].name, j->expected);
		else
			ktap_result(KTAP_FAIL, probes[i].name, nullptr);
	}
	ktap_subtests_end();
}

static void report(const char *name, const struct judgement *j, const struct child_result *r,
		   const struct trace *t, const struct kernel_account *m)
{
	if (t->mode == TRACE_OFF)
		ktap_diag("%s: untraced, so no result per probe: %s refused (%s)", name,
			  t->why_what, strerror(t->why_errno));
	else if (t->mode == TRACE_SYSCALLS)
		ktap_diag("%s: traced at every system call: %s refused (%s)", name, t->why_what,
			  strerror(t->why_errno));
	if (t->mode != TRACE_OFF)
		report_subtests(j, r, t, m);

	if (j->passed) {
		ktap_quote("", r->err, r->err_len, r->err_dropped);
		ktap_result(KTAP_PASS, name, nullptr);
		return;
	}
	if (r->timed_out) {
		report_unusual(name, r);
		return;
	}
	if (j->failed != NOT_A_CHECK ||
	    (WIFSIGNALED(r->status) && WTERMSIG(r->status) == SIGABRT)) {
		ktap_diag("%s: a check failed (SIGABRT):", name);
		ktap_quote("", r->err, r->err_len, r->err_dropped);
		ktap_quote("stdout: ", r->out, r->out_len, r->out_dropped);
	} else {
		diag_outcome(name, r);
	}
	if (j->expected[0])
		result_expected(name, j->expected);
	else
		ktap_result(KTAP_FAIL, name, nullptr);
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
	if (hugepages_prepare(opt.wait_s, opt.timeout_s, &hp, why, sizeof(why)) < 0) {
		ktap_result(KTAP_SKIP, name, why);
		return;
	}
	kernel_measure(&m, opt.timeout_s);
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
	child_run(args, -1, opt.timeout_s, &r, &tracer);
	if (r.stopped_by)
		signals_stop(r.stopped_by);
	hugepages_restore();
	if (r.start_errno) {
		report_unusual(name, &r);
		return;
	}
	judge(&j, &r, &t, &m, &hp);
	report(name, &j, &r, &t, &m);
}
