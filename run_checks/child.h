// SPDX-License-Identifier: GPL-2.0-only
// Runs one check program as a careful parent would: in its own process group,
// dying with the runner, core dumps off, standard input from /dev/null, its
// output collected, killed with its whole group at the timeout or when the
// runner is asked to stop.
#pragma once

#include <stddef.h>
#include <sys/types.h>

struct child_result {
	int status;		// from waitpid, when it ran to its end
	int start_errno;	// the runner could not start it: why, and...
	const char *start_what; // ...what failed ("pipe", "fork")
	int timed_out;		// killed at the timeout
	int stopped_by;		// the stop signal that ended the run, or 0
	bool in_cgroup;		// started in the cgroup asked for
	char out[4096];
	size_t out_len, out_dropped;
	char err[8192];
	size_t err_len, err_dropped;
};

// What a caller plugs into a run (a tracer): `before_exec` in the child as
// the last thing before exec, with a descriptor to report on; `started` in
// the runner once the child exists, with the other end; `stopped` at each
// stop of the child, which it must let go.
struct child_hooks {
	void (*before_exec)(int report_fd);
	void (*started)(void *arg, int report_fd);
	void (*stopped)(void *arg, pid_t pid, int status);
	void *arg;
};

// A cgroup to start the child in: the runner joins it for the fork alone
// and goes back, so that the child counts there from its first instruction
// and the runner's own pages never do. Both are open cgroup.procs files.
struct child_cgroup {
	int join, back; // the child's cgroup, and the runner's own
};

// Runs the program open at `prog_fd` (argv[0] where it is -1) with `argv`,
// in the directory of `cwd_fd` unless it is -1, with `hooks` unless null, in
// `cg` unless null.
void child_run(const char *const argv[], int prog_fd, int cwd_fd, int timeout_s,
	       struct child_result *r, const struct child_hooks *hooks = nullptr,
	       const struct child_cgroup *cg = nullptr);

// A run that ended by itself with this exit status.
bool child_exited(const struct child_result *r, int code);
