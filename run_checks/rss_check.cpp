// SPDX-License-Identifier: GPL-2.0-only
#include "rss_check.h"

#include "damage.h"
#include "environment.h"
#include "fd.h"
#include "hugepages.h"
#include "options.h"
#include "outcome.h"
#include "rss_report.h"
#include "run_cgroup.h"
#include "sandbox.h"
#include "scratch.h"
#include "signals.h"
#include "undo.h"

#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <sys/utsname.h>
#include <time.h>
#include <unistd.h>

// What stands between the check and the kernel: its limits, the machine's
// readiness. Returns -1 with the reason to skip, the machine as it was.
static int ready(struct hugepages_info *hp, char *why, size_t size)
{
	struct environment_limits limits;
	char cg_path[256], huge_cg_path[256];
	environment_read(&limits, cg_path, sizeof(cg_path), huge_cg_path, sizeof(huge_cg_path));
	if (environment_refusal(&limits, why, size) < 0)
		return -1;
	char how[128], cg_how[700];
	int boxed = 0, grouped = 0;
	// The cgroup before the sandbox: the list removes it once the
	// sandbox's processes are gone.
	if (hugepages_prepare(opt.wait_s, opt.timeout_s, hp, why, size) < 0 ||
	    scratch_recheck(why, size) < 0 ||
	    (grouped = run_cgroup_make("hugetlb", cg_how, sizeof(cg_how), why, size)) < 0 ||
	    (boxed = sandbox_enter(how, sizeof(how), why, size)) < 0) {
		undo_all();
		return -1;
	}
	if (!grouped)
		ktap_diag("no cgroup of the check's own (%s): the huge-page pool is judged only "
			  "where no one else used it",
			  cg_how);
	if (!boxed)
		ktap_diag("no pid namespace for the check (%s): a process it starts that leaves "
			  "its process group can outlive a killed runner",
			  how);
	return 0;
}

void check_rss(const char *bin_dir)
{
	static const char name[] = "rss_map_check";
	char path[PATH_MAX + 32], why[PATH_MAX + 128];
	struct hugepages_info hp;
	struct kernel_account m;
	struct child_result r;
	struct trace t;
	struct rss_verdict v;
	struct utsname u;
	struct memcg cg;

	snprintf(path, sizeof(path), "%s/%s", bin_dir, name);
	unique_fd prog(program_open(name, path));
	if (!prog.ok())
		return;
	if (ready(&hp, why, sizeof(why)) < 0) {
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
	struct rss_setting set = {};
	oom_count_read(&set.oom_before);
	struct damage_watch watch;
	damage_watch_start(&watch);
	const struct child_cgroup own = {run_cgroup_procs(), run_cgroup_home()};
	child_run(args, prog.get(), -1, opt.timeout_s, &r, &tracer, own.join >= 0 ? &own : nullptr);
	struct timespec ended;
	clock_gettime(CLOCK_REALTIME, &ended);
	oom_count_read(&set.oom_after);
	memcg_read(&cg);
	if (r.stopped_by)
		signals_stop(r.stopped_by);
	char damage[2048], planted[256] = "";
	if (!r.in_cgroup)
		watch.own_page_kb = 0; // its pages counted with everyone's
	bool damaged = damage_seen(&watch, damage, sizeof(damage));
	// Without a namespace of its own the check shared the scratch names:
	// one taken before it ended explains a failure to open that file.
	set.planted_probe = scratch_taken_by(&ended, planted, sizeof(planted));
	set.shm_free_kb = scratch_shm_free_kb();
	set.statm_exact = statm_reads_exact();
	long base_kb = sysconf(_SC_PAGESIZE) / 1024;
	// The kernel's account comes from the check itself, read at its stops;
	// a child of the runner's measures only where the check cannot tell.
	if (rss_needs_own_measurement(&t, &r)) {
		kernel_measure(&m, opt.timeout_s);
	} else {
		kernel_account_from_trace(&m, &t, base_kb);
		kernel_print(&m);
	}
	undo_all();
	set.release = uname(&u) == 0 ? u.release : "";
	set.cpus = sysconf(_SC_NPROCESSORS_ONLN);
	set.base_kb = base_kb;
	set.huge_kb = hp.page_kb;
	set.fits = hp.fits;
	set.memcg = &cg;
	set.planted = planted;
	set.strict = opt.strict;
	set.timeout_s = opt.timeout_s;
	const struct rss_run run = {&r, &t, &m, damaged};
	rss_judge(&run, &set, &v);
	rss_report(name, &v, &run, damage);
}
