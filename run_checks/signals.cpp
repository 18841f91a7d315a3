#include "signals.h"

#include "hugepages.h"

#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/signalfd.h>
#include <unistd.h>

// Faults (SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGTRAP) are the runner's own bugs
// and cannot be blocked; a run they end is put back by the next one, from the
// record it leaves.
static const int terminating[] = {
    SIGHUP,    SIGINT,	SIGQUIT, SIGABRT,   SIGUSR1, SIGUSR2, SIGPIPE, SIGALRM,
    SIGTERM,   SIGXCPU, SIGXFSZ, SIGVTALRM, SIGPROF, SIGIO,   SIGPWR,  SIGSYS,
#ifdef SIGSTKFLT
    SIGSTKFLT,
#endif
};

static sigset_t taken; // the stop signals and SIGCHLD, blocked
static int fd = -1;

static void take(int sig)
{
	struct sigaction old;
	if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN)
		return; // ignored by whoever started us (nohup): stays ignored
	sigaddset(&taken, sig);
}

void signals_init(void)
{
	// An inherited SIG_IGN for SIGCHLD would make the kernel reap the
	// checks before the runner could read their status.
	signal(SIGCHLD, SIG_DFL);
	sigemptyset(&taken);
	sigaddset(&taken, SIGCHLD);
	for (int sig : terminating)
		take(sig);
	for (int sig = SIGRTMIN; sig <= SIGRTMAX; sig++)
		take(sig);
	sigprocmask(SIG_BLOCK, &taken, nullptr);
	fd = signalfd(-1, &taken, SFD_NONBLOCK | SFD_CLOEXEC);
}

int signals_fd(void)
{
	return fd;
}

int signals_pending_stop(void)
{
	struct signalfd_siginfo si;
	if (fd < 0) {
		// No signalfd (EMFILE): look at what is pending instead.
		sigset_t pending;
		sigpending(&pending);
		for (int sig = 1; sig < NSIG; sig++)
			if (sig != SIGCHLD && sigismember(&taken, sig) == 1 &&
			    sigismember(&pending, sig) == 1)
				return sig;
		return 0;
	}
	while (read(fd, &si, sizeof(si)) == (ssize_t)sizeof(si))
		if (si.ssi_signo != SIGCHLD)
			return (int)si.ssi_signo;
	return 0;
}

void signals_for_child(void)
{
	sigset_t none;
	sigemptyset(&none);
	sigprocmask(SIG_SETMASK, &none, nullptr);
}

void signals_stop(int sig)
{
	hugepages_restore();
	printf("Bail out! stopped by signal %d (%s)\n", sig, strsignal(sig));
	fflush(stdout);
	signal(sig, SIG_DFL);
	sigset_t just;
	sigemptyset(&just);
	sigaddset(&just, sig);
	sigprocmask(SIG_UNBLOCK, &just, nullptr);
	raise(sig);
	_exit(128 + sig);
}
