// SPDX-License-Identifier: GPL-2.0-only
#include "signals.h"

#include <signal.h>
#include <stdint.h>
#include <string.h>
#include <sys/signalfd.h>
#include <sys/syscall.h>
#include <unistd.h>

// Sets of signals as the kernel takes them: the C library's own functions
// refuse signals 32 and 33 (glibc) or 32 to 34 (musl), which it keeps for
// its threads, yet `kill -33` ends a program that does not take them.
typedef uint64_t kernel_set;
#define BIT(sig) ((kernel_set)1 << ((sig)-1))
#define FIRST_RT 32
#define LAST_RT 64

// Those whose default ends the process. The faults are taken too: sent with
// kill they are a stop request like any other, and a real fault kills the
// runner whatever the mask, which its guardian then puts back after.
static const int terminating[] = {
    SIGHUP,    SIGINT,	SIGQUIT, SIGILL,  SIGTRAP, SIGABRT,   SIGBUS,  SIGFPE, SIGUSR1, SIGSEGV,
    SIGUSR2,   SIGPIPE, SIGALRM, SIGTERM, SIGXCPU, SIGVTALRM, SIGPROF, SIGIO,  SIGPWR,	SIGSYS,
#ifdef SIGSTKFLT
    SIGSTKFLT,
#endif
};

static kernel_set taken;   // the stop signals and SIGCHLD, blocked
static kernel_set ignored; // ignored by whoever started the runner
static int fd = -1;
static int stop_sig;
static void (*at_stop[8])(int);
static int n_at_stop;

static long set_mask(int how, const kernel_set *set)
{
	return syscall(SYS_rt_sigprocmask, how, set, nullptr, sizeof(kernel_set));
}

static bool was_ignored(int sig)
{
	struct sigaction old;
	memset(&old, 0, sizeof(old));
	return syscall(SYS_rt_sigaction, sig, nullptr, &old, sizeof(kernel_set)) == 0 &&
	       old.sa_handler == SIG_IGN;
}

static void take(int sig)
{
	if (was_ignored(sig))
		ignored |= BIT(sig); // as under nohup: stays ignored
	else
		taken |= BIT(sig);
}

void signals_init(void)
{
	// An inherited SIG_IGN for SIGCHLD would make the kernel reap the
	// checks before the runner could read their status.
	signal(SIGCHLD, SIG_DFL);
	// A file size limit hit by the runner's own record is an error it
	// reports, not a request to stop.
	if (was_ignored(SIGXFSZ))
		ignored |= BIT(SIGXFSZ);
	signal(SIGXFSZ, SIG_IGN);
	taken = BIT(SIGCHLD);
	for (int sig : terminating)
		take(sig);
	for (int sig = FIRST_RT; sig <= LAST_RT; sig++)
		take(sig);
	set_mask(SIG_BLOCK, &taken);
	fd =
	    (int)syscall(SYS_signalfd4, -1, &taken, sizeof(kernel_set), SFD_NONBLOCK | SFD_CLOEXEC);
}

int signals_fd(void)
{
	return fd;
}

int signals_pending_stop(void)
{
	if (stop_sig)
		return stop_sig;
	if (fd < 0) {
		// No signalfd (EMFILE): look at what is pending instead.
		kernel_set pending = 0;
		syscall(SYS_rt_sigpending, &pending, sizeof(pending));
		for (int sig = 1; sig <= LAST_RT; sig++)
			if (sig != SIGCHLD && (taken & pending & BIT(sig)))
				return stop_sig = sig;
		return 0;
	}
	uint32_t info[32]; // struct signalfd_siginfo, 128 bytes; its first field
	while (read(fd, info, sizeof(info)) == (ssize_t)sizeof(info))
		if (info[0] != SIGCHLD)
			return stop_sig = (int)info[0];
	return 0;
}

void signals_for_child(void)
{
	if (!(ignored & BIT(SIGXFSZ)))
		signal(SIGXFSZ, SIG_DFL);
	kernel_set none = 0;
	set_mask(SIG_SETMASK, &none);
}

void signals_at_stop(void (*fn)(int sig))
{
	if (n_at_stop < (int)(sizeof(at_stop) / sizeof(at_stop[0])))
		at_stop[n_at_stop++] = fn;
}

void signals_stop(int sig)
{
	while (n_at_stop > 0)
		at_stop[--n_at_stop](sig);
	struct sigaction dfl;
	memset(&dfl, 0, sizeof(dfl));
	dfl.sa_handler = SIG_DFL;
	syscall(SYS_rt_sigaction, sig, &dfl, nullptr, sizeof(kernel_set));
	kernel_set just = BIT(sig);
	set_mask(SIG_UNBLOCK, &just);
	syscall(SYS_tgkill, getpid(), getpid(), sig);
	_exit(128 + sig);
}
