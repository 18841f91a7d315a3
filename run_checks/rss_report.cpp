// SPDX-License-Identifier: GPL-2.0-only
#include "rss_report.h"

#include "outcome.h"
#include "probes.h"

#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>

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
			      p->statm[1] - p->statm[0]);
		if (p->unmap_seen && call_failed(p->unmapped))
			snprintf(line + n, sizeof(line) - (size_t)n, "; munmap failed: %s",
				 strerror((int)-p->unmapped));
		else if (p->unmap_seen)
			snprintf(line + n, sizeof(line) - (size_t)n,
				 "; munmap ok, statm %+ld pages from before",
				 p->statm[2] - p->statm[0]);
	}
	ktap_diag("%s", line);
}

// Which of the check's checks failed at the blamed probe, in figures, and
// what the kernel's own measurement of that kind of memory says of it.
static void diag_failure(const struct rss_verdict *v, const struct trace *t,
			 const struct kernel_account *m)
{
	const struct probe_seen *p = &t->probe[v->blamed];
	long grew = p->statm[1] - p->statm[0];
	if (v->failed == FAILED_GROWTH)
		ktap_diag("the growth check failed: statm grew by %ld pages, %ld kB as the check "
			  "counts (4 kB a page); it wants %ld kB within %ld kB",
			  grew, grew * 4, CHECK_KB, CHECK_TOLERANCE_KB);
	else if (v->failed == FAILED_SHRINK)
		ktap_diag("the shrink check failed: after munmap statm is %+ld pages from before "
			  "the mmap; it wants 0 within %ld kB",
			  p->statm[2] - p->statm[0], CHECK_TOLERANCE_KB);
	else if ((v->failed == FAILED_MMAP && v->blamed == t->probes) ||
		 (v->failed == FAILED_MUNMAP && !p->unmap_seen))
		ktap_diag("the %s check failed: the kernel never saw the call (refused before it)",
			  check_failure_name[v->failed]);
	else if (v->failed == FAILED_MMAP || v->failed == FAILED_MUNMAP)
		ktap_diag("the %s check failed: the kernel refused the call (%s)",
			  check_failure_name[v->failed],
			  strerror((int)-(v->failed == FAILED_MMAP ? p->mapped : p->unmapped)));
	else
		ktap_diag("the run ended during this probe");
	if (!m->done || (v->failed != FAILED_GROWTH && v->failed != FAILED_SHRINK))
		return;
	const struct kernel_kind *k = &m->kind[v->blamed];
	if (!k->measured || k->err)
		return;
	if (huge_probe(v->blamed) && labs(k->statm_kb) < CHECK_TOLERANCE_KB &&
	    labs(k->hugetlb_kb - CHECK_KB) < CHECK_TOLERANCE_KB)
		ktap_diag(
		    "this kernel keeps huge pages out of the resident set: its own account of "
		    "this kind is statm %+ld kB, smaps Rss %+ld kB, HugetlbPages %+ld kB",
		    k->statm_kb, k->rss_kb, k->hugetlb_kb);
	else if (!v->expected[0] && labs(k->rss_kb - CHECK_KB) < CHECK_TOLERANCE_KB &&
		 labs(k->statm_kb - k->rss_kb) >= 64)
		ktap_diag("statm and the page tables disagree: statm moved %+ld kB where smaps Rss "
			  "moved %+ld kB",
			  k->statm_kb, k->rss_kb);
}

static void result(const struct rss_verdict *v, const char *name, enum ktap_verdict verdict,
		   const char *reason)
{
	if (verdict == KTAP_FAIL && v->expected[0])
		ktap_diag("expected by the check's design, reported as a failure (--strict): %s",
			  v->expected);
	ktap_result(verdict, name, verdict == KTAP_FAIL ? nullptr : reason);
}

static void report_subtests(const struct rss_verdict *v, const struct rss_run *run,
			    const char *damage)
{
	const struct child_result *r = run->r;
	const struct trace *t = run->t;
	ktap_subtests_begin("rss_map_check", v->subtests);
	for (int i = 0; i < v->subtests; i++) {
		const struct rss_subtest *s = &v->sub[i];
		if (i < PROBES && s->verdict == KTAP_SKIP && !s->blamed) {
			ktap_result(KTAP_SKIP, s->name, s->reason);
			continue;
		}
		if (i < PROBES && i < t->probes)
			diag_probe(i, &t->probe[i]);
		if (!s->blamed) {
			ktap_result(s->verdict, s->name, s->reason);
		} else if (i < PROBES) {
			ktap_quote("", r->err, r->err_len, r->err_dropped);
			diag_failure(v, t, run->m);
			result(v, s->name, s->verdict, s->reason);
		} else {
			if (run->damaged)
				ktap_quote("", damage, strlen(damage), 0);
			else if (v->unseen)
				ktap_diag("the check printed \"oll korrekt.\" but the trace saw %d "
					  "of its %d mappings",
					  t->probes, PROBES);
			else
				ktap_diag("the run ended outside the probes, after %d of %d",
					  t->probes, PROBES);
			result(v, s->name, s->verdict, s->reason);
		}
	}
	ktap_subtests_end();
}

void rss_report(const char *name, const struct rss_verdict *v, const struct rss_run *run,
		const char *damage)
{
	const struct child_result *r = run->r;
	const struct trace *t = run->t;
	if (r->start_errno) {
		ktap_result(v->verdict, name, v->reason);
		return;
	}
	if (t->mode == TRACE_OFF)
		ktap_diag("%s: untraced, so no result per probe: %s refused (%s)", name,
			  t->why_what, strerror(t->why_errno));
	else if (t->mode == TRACE_SYSCALLS)
		ktap_diag("%s: traced at every system call: %s refused (%s)", name, t->why_what,
			  strerror(t->why_errno));
	if (v->subtests)
		report_subtests(v, run, damage);

	if (v->passed) {
		ktap_quote("", r->err, r->err_len, r->err_dropped);
	} else if (v->failed != FAILED_NONE ||
		   (WIFSIGNALED(r->status) && WTERMSIG(r->status) == SIGABRT)) {
		ktap_diag("%s: a check failed (SIGABRT):", name);
		ktap_quote("", r->err, r->err_len, r->err_dropped);
		ktap_quote("stdout: ", r->out, r->out_len, r->out_dropped);
	} else if (v->unseen) {
		ktap_diag("%s: printed \"oll korrekt.\" but made %d of its %d mappings", name,
			  t->probes, PROBES);
	} else {
		diag_outcome(name, r);
	}
	ktap_quote("", damage, strlen(damage), 0);
	result(v, name, v->verdict, v->reason);
}
