// SPDX-License-Identifier: GPL-2.0-only
#include "sandbox.h"

#include "fd.h"
#include "undo.h"
#include "util.h"

#include <errno.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

// How long leaving waits for the namespace's first process to end.
#define REAP_MS 5000

static struct {
	unique_fd host_ns; // the runner's own, for the children after
	unique_fd alive;   // closed, the first process ends
	pid_t first;
} box = {unique_fd(), unique_fd(), -1};

// The namespace's first process: it holds nothing of the runner's and reaps
// what is left to it until the runner goes (its pipe closes) or kills it.
[[noreturn]] static void first_process(int alive)
{
	prctl(PR_SET_PDEATHSIG, SIGKILL);
	for (int sig = 1; sig < NSIG; sig++)
		signal(sig, SIG_DFL); // no handler of the runner's ever runs here
	if (dup2(alive, 0) != 0)
		_exit(1);
	close_from(1, false);
	signal(SIGCHLD, SIG_IGN); // orphans are reaped by the kernel
	char c;
	while (read(0, &c, 1) != 0 && errno == EINTR) {
	}
	_exit(0);
}

static void leave(void)
{
	box.alive.reset();
	if (box.first > 0) {
		kill(box.first, SIGKILL);
		// It ends after every other process of the namespace; any of
		// them that is the runner's own child is reaped on the way, so
		// that none waits for the runner while the runner waits. One
		// stuck in the kernel is left to the list's wait, which keeps
		// the record while it runs.
		for (long since = now_ms(); now_ms() - since < REAP_MS;) {
			pid_t got = waitpid(-1, nullptr, WNOHANG);
			if (got == box.first || (got < 0 && errno != EINTR))
				break;
			if (got == 0)
				usleep(100);
		}
		box.first = -1;
	}
	// Children after this one are the runner's own again.
	if (box.host_ns.ok())
		setns(box.host_ns.get(), CLONE_NEWPID);
	box.host_ns.reset();
}

int sandbox_enter(char *how, size_t how_size, char *why, size_t size)
{
	const char *what = "/proc/self/ns/pid";
	int fds[2] = {-1, -1};
	box.host_ns.reset(open(what, O_RDONLY | O_CLOEXEC));
	if (box.host_ns.ok()) {
		what = "unshare";
		if (unshare(CLONE_NEWPID) == 0) {
			what = "pipe";
			if (pipe2(fds, O_CLOEXEC) == 0) {
				what = "fork";
				box.alive.reset(fds[1]);
				box.first = fork();
				if (box.first == 0)
					first_process(fds[0]);
				close(fds[0]);
			}
		}
	}
	int e = errno;
	if (box.first <= 0) {
		box.first = -1;
		leave();
		snprintf(how, how_size, "%s: %s", what, strerror(e));
		return 0;
	}
	// Its start time names it for the guardian and the next run, who
	// wait for its end: the kernel ends it after every other process in it.
	long long start = process_start(box.first);
	unsigned long ns = pid_ns_of(box.first);
	if ((start >= 0 && ns && undo_wait(box.first, start, ns, why, size) < 0) ||
	    undo_call(leave, why, size) < 0) {
		leave();
		return -1;
	}
	return 1;
}
