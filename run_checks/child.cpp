// SPDX-License-Identifier: GPL-2.0-only
#include "child.h"

#include "fd.h"
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
// A turn of the runner's loop takes a poll of at most 200 ms: one much longer
// is time the runner was not running.
#define STALL_MS 1000

// Tells the runner why the check could not be started: an errno on `fd`,
// closed on exec, so that a check's own status 127 is never taken for it.
[[noreturn]] static void cannot_start(int fd, int err)
{
	ssize_t n = write(fd, &err, sizeof(err));
	(void)n;
	_exit(127);
}

// What the child is started with, besides its program and arguments.
struct start_fds {
	int out, err; // its standard output and error
	int report;   // to the hooks
	int exec;     // to the runner: why it could not start
};

[[noreturn]] static void exec_child(const char *const argv[], int prog_fd, int cwd_fd, pid_t parent,
				    const struct start_fds *fds, const struct child_hooks *hooks)
{
	prctl(PR_SET_PDEATHSIG, SIGKILL);
	// The runner died before the line above. (In a pid namespace of its
	// own, the child sees a parent outside it as 0.)
	if (getppid() != parent && getppid() != 0)
		_exit(127);
	setpgid(0, 0);
	struct rlimit no_core = {0, 0};
	setrlimit(RLIMIT_CORE, &no_core);
	signals_for_child();
	int null = open("/dev/null", O_RDONLY);
	if (null > 0) {
		dup2(null, 0);
		close(null);
	}
	dup2(fds->out, 1);
	dup2(fds->err, 2);
	// What the runner inherited (a harness's lock, a log) is not the check's.
	close_from(3, true);
	if (cwd_fd >= 0 && fchdir(cwd_fd) != 0)
		cannot_start(fds->exec, errno);
	if (hooks)
		hooks->before_exec(fds->report); // the last thing before exec
	if (prog_fd < 0) {
		execv(argv[0], (char *const *)argv);
	} else {
		fexecve(prog_fd, (char *const *)argv, environ);
		// A script's interpreter opens it again through /dev/fd: for it
		// alone the descriptor outlives the exec.
		if (errno == ENOENT && fcntl(prog_fd, F_SETFD, 0) == 0)
			fexecve(prog_fd, (char *const *)argv, environ);
	}
	cannot_start(fds->exec, errno);
}

// The errno the child sent before it could exec, or 0 once exec closed the
// pipe.
static int start_error(int fd)
{
	int err = 0;
	ssize_t n;
	while ((n = read(fd, &err, sizeof(err))) < 0 && errno == EINTR) {
	}
	return n == (ssize_t)sizeof(err) ? err : 0;
}

// Both ends of a pipe, each closed when it goes.
struct pipe_fds {
	unique_fd read, write;
};

static bool open_pipe(struct pipe_fds *p)
{
	int fds[2];
	if (pipe2(fds, O_CLOEXEC) != 0)
		return false;
	p->read.reset(fds[0]);
	p->write.reset(fds[1]);
	return true;
}

// Reads what `fd` has into `buf`; closes it at its end.
static void take_output(unique_fd *fd, char *buf, size_t size, size_t *len, size_t *dropped)
{
	char scratch[4096];
	ssize_t n = read(fd->get(), scratch, sizeof(scratch));
	if (n < 0 && (errno == EINTR || errno == EAGAIN))
		return;
	if (n <= 0) {
		fd->reset();
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

// Starts the child. Untraced, it only makes system calls until it execs or
// exits: vfork spares copying the runner's page tables, most of a -d
// directory's cost over running the check bare. (No signal handler of the
// runner's can run in it: the runner takes signals through a descriptor.)
static pid_t start(const char *const argv[], int prog_fd, int cwd_fd,
		   const struct child_hooks *hooks, const struct start_fds *fds)
{
	pid_t parent = getpid();
	pid_t pid = hooks ? fork() : vfork();
	if (pid == 0)
		exec_child(argv, prog_fd, cwd_fd, parent, fds, hooks);
	return pid;
}

void child_run(const char *const argv[], int prog_fd, int cwd_fd, int timeout_s,
	       struct child_result *r, const struct child_hooks *hooks,
	       const struct child_cgroup *cg)
{
	struct pipe_fds out, err, told, exec;

	memset(r, 0, sizeof(*r));
	if (!open_pipe(&out) || !open_pipe(&err) || !open_pipe(&exec) ||
	    (hooks && !open_pipe(&told))) {
		r->start_errno = errno;
		r->start_what = "pipe";
		return;
	}
	fflush(stdout);
	const struct start_fds given = {out.write.get(), err.write.get(), told.write.get(),
					exec.write.get()};
	r->in_cgroup = cg && write(cg->join, "0", 1) == 1;
	pid_t pid = start(argv, prog_fd, cwd_fd, hooks, &given);
	int e = errno;
	if (r->in_cgroup && write(cg->back, "0", 1) != 1)
		r->in_cgroup = false; // the runner's own later children would count there
	errno = e;
	r->start_errno = pid < 0 ? errno : 0;
	r->start_what = "fork";
	out.write.reset();
	err.write.reset();
	exec.write.reset();
	told.write.reset();
	if (pid > 0 && hooks)
		hooks->started(hooks->arg, told.read.get());
	told.read.reset();
	int exec_errno = pid > 0 ? start_error(exec.read.get()) : 0;
	if (exec_errno) {
		// It never ran: nothing of it to read, only its pid to reap.
		kill_and_reap(pid, &r->status);
		r->start_errno = exec_errno;
		r->start_what = "exec";
	}
	if (pid < 0 || exec_errno)
		return;
	setpgid(pid, pid);

	long deadline = now_ms() + timeout_s * 1000L, last = now_ms();
	bool exited = false;
	struct pollfd fds[3] = {
	    {out.read.get(), POLLIN, 0}, {err.read.get(), POLLIN, 0}, {signals_fd(), POLLIN, 0}};
	while (!exited || out.read.ok() || err.read.ok()) {
		long now = now_ms();
		// A traced check waits at its next stop for the runner: time the
		// runner did not run (stopped, a frozen VM) is not the check's.
		if (hooks && !exited && now - last > STALL_MS)
			deadline += now - last;
		last = now;
		long left = deadline - now;
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
		if (out.read.ok() && fds[0].revents)
			take_output(&out.read, r->out, sizeof(r->out), &r->out_len,
				    &r->out_dropped);
		if (err.read.ok() && fds[1].revents)
			take_output(&err.read, r->err, sizeof(r->err), &r->err_len,
				    &r->err_dropped);
		fds[0].fd = out.read.get(); // -1 once closed: poll passes it over
		fds[1].fd = err.read.get();
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
}

bool child_exited(const struct child_result *r, int code)
{
	return !r->start_errno && !r->timed_out && !r->stopped_by && WIFEXITED(r->status) &&
	       WEXITSTATUS(r->status) == code;
}
