// SPDX-License-Identifier: GPL-2.0-only
#include "child.h"

#include "signals.h"
#include "util.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

// How long the streams may stay open once the check has exited: a grandchild
// that left the process group may hold them for ever.
#define GRACE_MS 1000

// Tells the runner why the check could not be started: an errno on `fd`,
// closed on exec, so that a check's own status 127 is never taken for it.
[[noreturn]] static void cannot_start(int fd, int err)
{
	ssize_t n = write(fd, &err, sizeof(err));
	(void)n;
	_exit(127);
}

[[noreturn]] static void exec_child(const char *const argv[], int cwd_fd, pid_t parent, int out,
				    int err, const struct child_hooks *hooks, int report_fd,
				    int exec_fd)
{
	prctl(PR_SET_PDEATHSIG, SIGKILL);
	if (getppid() != parent)
		_exit(127); // the runner died before the line above
	setpgid(0, 0);
	struct rlimit no_core = {0, 0};
	setrlimit(RLIMIT_CORE, &no_core);
	signals_for_child();
	int null = open("/dev/null", O_RDONLY);
	if (null > 0) {
		dup2(null, 0);
		close(null);
	}
	dup2(out, 1);
	dup2(err, 2);
	// What the runner inherited (a harness's lock, a log) is not the check's.
	close_from(3, true);
	if (cwd_fd >= 0 && fchdir(cwd_fd) != 0)
		cannot_start(exec_fd, errno);
	if (hooks)
		hooks->before_exec(report_fd); // the last thing before exec
	execv(argv[0], (char *const *)argv);
	cannot_start(exec_fd, errno);
}

// The errno the child sent before it could exec, or 0 once exec closed the
// pipe.
static int start_error(int fd)
{
	int err = 0;
	ssize_t n;
	while ((n = read(fd, &err, sizeof(err))) < 0 && errno == EINTR) {
	}
	close(fd);
	return n == (ssize_t)sizeof(err) ? err : 0;
}

static void take_output(int *fd, char *buf, size_t size, size_t *len, size_t *dropped)
{
	char scratch[4096];
	ssize_t n = read(*fd, scratch, sizeof(scratch));
	if (n < 0 && (errno == EINTR || errno == EAGAIN))
		return;
	if (n <= 0) {
		close(*fd);
		*fd = -1;
		return;
	}
	size_t take = (size_t)n < size - *len ? (size_t)n : size - *len;
	memcpy(buf + *len, scratch, take);
	*len += take;
	*dropped += (size_t)n - take;
}

// Reaps `pid` once it has exited, after killing what is left of its group
// (the exited leader still holds the group's number, so no stranger is hit).
// The stops of a traced child on the way are handed to the hooks.
static bool reap_if_exited(pid_t pid, int *status, const struct child_hooks *hooks)
{
	for (;;) {
		siginfo_t info;
		info.si_pid = 0;
		if (waitid(P_PID, (id_t)pid, &info, WEXITED | WNOHANG | WNOWAIT) != 0 ||
		    info.si_pid != pid)
			return false;
		if (info.si_code != CLD_TRAPPED && info.si_code != CLD_STOPPED)
			break;
		int stopped;
		waitpid(pid, &stopped, 0);
		if (hooks)
			hooks->stopped(hooks->arg, pid, stopped);
	}
	kill(-pid, SIGKILL);
	while (waitpid(pid, status, 0) < 0 && errno == EINTR) {
	}
	return true;
}

static void kill_and_reap(pid_t pid, int *status)
{
	kill(-pid, SIGKILL);
	kill(pid, SIGKILL);
	while ((waitpid(pid, status, 0) < 0 && errno == EINTR) || WIFSTOPPED(*status)) {
	}
}

void child_run(const char *const argv[], int cwd_fd, int timeout_s, struct child_result *r,
	       const struct child_hooks *hooks)
{
	int out[2] = {-1, -1}, err[2] = {-1, -1}, told[2] = {-1, -1}, exec[2] = {-1, -1};

	memset(r, 0, sizeof(*r));
	if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0 ||
	    pipe2(exec, O_CLOEXEC) != 0 || (hooks && pipe2(told, O_CLOEXEC) != 0)) {
		r->start_errno = errno;
		r->start_what = "pipe";
		int fds[] = {out[0], out[1], err[0], err[1], told[0], told[1], exec[0], exec[1]};
		for (int fd : fds)
			if (fd >= 0)
				close(fd);
		return;
	}
	fflush(stdout);
	pid_t parent = getpid();
	// Untraced, the child only makes system calls until it execs or exits:
	// vfork spares copying the runner's page tables, most of a -d
	// directory's cost over running the check bare. (No signal handler of
	// the runner's can run in it: the runner takes signals through a
	// descriptor.)
	pid_t pid = hooks ? fork() : vfork();
	if (pid == 0)
		exec_child(argv, cwd_fd, parent, out[1], err[1], hooks, told[1], exec[1]);
	r->start_errno = pid < 0 ? errno : 0;
	r->start_what = "fork";
	close(out[1]);
	close(err[1]);
	close(exec[1]);
	if (told[1] >= 0)
		close(told[1]);
	if (pid > 0 && hooks)
		hooks->started(hooks->arg, told[0]);
	if (told[0] >= 0)
		close(told[0]);
	int exec_errno = pid > 0 ? start_error(exec[0]) : (close(exec[0]), 0);
	if (exec_errno) {
		// It never ran: nothing of it to read, only its pid to reap.
		kill_and_reap(pid, &r->status);
		r->start_errno = exec_errno;
		r->start_what = "exec";
	}
	if (pid < 0 || exec_errno) {
		close(out[0]);
		close(err[0]);
		return;
	}
	setpgid(pid, pid);

	long deadline = now_ms() + timeout_s * 1000L;
	bool exited = false;
	struct pollfd fds[3] = {
	    {out[0], POLLIN, 0}, {err[0], POLLIN, 0}, {signals_fd(), POLLIN, 0}};
	while (!exited || fds[0].fd >= 0 || fds[1].fd >= 0) {
		long left = deadline - now_ms();
		// A check that exited in time is judged on its exit, however
		// late the runner itself (stopped, a frozen VM) looks.
		if (left <= 0 && !exited && reap_if_exited(pid, &r->status, hooks)) {
			exited = true;
			deadline = now_ms() + GRACE_MS;
			continue;
		}
		if (left <= 0) {
			if (!exited) {
				kill_and_reap(pid, &r->status);
				r->timed_out = 1;
			}
			break;
		}
		// A bounded wait, so that a stop signal is seen even without
		// the signal descriptor.
		poll(fds, 3, left < 200 ? (int)left : 200);
		if (fds[0].fd >= 0 && fds[0].revents)
			take_output(&fds[0].fd, r->out, sizeof(r->out), &r->out_len,
				    &r->out_dropped);
		if (fds[1].fd >= 0 && fds[1].revents)
			take_output(&fds[1].fd, r->err, sizeof(r->err), &r->err_len,
				    &r->err_dropped);
		if (int sig = signals_pending_stop()) {
			if (!exited)
				kill_and_reap(pid, &r->status);
			r->stopped_by = sig;
			break;
		}
		if (!exited && reap_if_exited(pid, &r->status, hooks)) {
			exited = true;
			deadline = now_ms() + GRACE_MS;
		}
	}
	for (int i = 0; i < 2; i++)
		if (fds[i].fd >= 0)
			close(fds[i].fd);
}

bool child_exited(const struct child_result *r, int code)
{
	return !r->start_errno && !r->timed_out && !r->stopped_by && WIFEXITED(r->status) &&
	       WEXITSTATUS(r->status) == code;
}
