// SPDX-License-Identifier: GPL-2.0-only
// The true floor for rss_map_check: no C library, the system calls of its
// musl static build after musl's start-up, in their order, and nothing else:
// the scratch files (musl follows an open with O_CLOEXEC by an fcntl),
// system() as musl's posix_spawn makes it, the probes with their statm reads,
// and the end: the report's one write and abort's masks and tkill, or the
// message and the exit.
//
// nolibc_floor_rss_map_check [N]: stop as the check does when its growth
// check fails at probe N.
#include "nolibc.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>

#define LENGTH 0x1000000

struct kernel_sigaction {
	void (*handler)(int);
	unsigned long flags;
	void (*restorer)(void);
	unsigned long mask;
};

static char buf[4096];
static int probes, stop_at;
static long tid;

static void read_rss(void)
{
	long fd = SYS3(__NR_open, "/proc/self/statm", O_RDONLY | LARGEFILE, 0);
	SYS3(__NR_read, fd, buf, sizeof(buf) - 1);
	SYS1(__NR_close, fd);
}

static void check_failed(void)
{
	static const char report[] = "rss didn't grow as expected\n";
	unsigned long all = ~0UL, old;
	SYS3(__NR_write, 2, report, sizeof(report) - 1);
	SYS4(__NR_rt_sigprocmask, SIG_BLOCK, &all, &old, 8);
	SYS2(__NR_tkill, tid, SIGABRT);
	SYS4(__NR_rt_sigprocmask, SIG_SETMASK, &old, 0, 8);
}

static void probe(long fd, int extra, int release)
{
	read_rss();
	long p = SYS6(__NR_mmap, 0, LENGTH, PROT_READ | PROT_WRITE,
		      MAP_PRIVATE | MAP_POPULATE | extra, fd, 0);
	read_rss();
	if (++probes == stop_at)
		check_failed();
	if (!release)
		return;
	SYS2(__NR_munmap, p, LENGTH);
	read_rss();
}

static long open_file(const char *path)
{
	SYS1(__NR_unlink, path);
	long fd = SYS3(__NR_open, path, O_CREAT | O_RDWR | O_TRUNC | O_EXCL | LARGEFILE | O_CLOEXEC,
		       0600);
	SYS3(__NR_fcntl, fd, F_SETFD, FD_CLOEXEC);
	SYS1(__NR_unlink, path);
	SYS2(__NR_ftruncate, fd, LENGTH);
	return fd;
}

// system(), as POSIX has it and musl makes it: SIGINT and SIGQUIT ignored
// and SIGCHLD blocked while the shell runs, the shell started by a vfork
// child (on this stack: it only makes system calls before it execs).
static void run_shell(char **envp)
{
	static char *const argv[] = {"sh", "-c", "echo 100 > /proc/sys/vm/nr_hugepages", 0};
	struct kernel_sigaction ignore = {SIG_IGN, 0, 0, 0}, deflt = {SIG_DFL, 0, 0, 0}, oldint,
				oldquit;
	unsigned long chld = 1UL << (SIGCHLD - 1), all = ~0UL, old, spawn_old;
	int pipe_fds[2], status, error;

	SYS4(__NR_rt_sigaction, SIGINT, &ignore, &oldint, 8);
	SYS4(__NR_rt_sigaction, SIGQUIT, &ignore, &oldquit, 8);
	SYS4(__NR_rt_sigprocmask, SIG_BLOCK, &chld, &old, 8);
	SYS4(__NR_rt_sigprocmask, SIG_BLOCK, &all, &spawn_old, 8);
	SYS2(__NR_pipe2, pipe_fds, O_CLOEXEC);
	long pid = SYS2(__NR_clone, 0x4000 | 0x100 | SIGCHLD, 0); // CLONE_VFORK | CLONE_VM
	if (pid == 0) {
		SYS1(__NR_close, pipe_fds[0]);
		SYS4(__NR_rt_sigaction, SIGINT, &deflt, 0, 8);
		SYS4(__NR_rt_sigaction, SIGQUIT, &deflt, 0, 8);
		SYS3(__NR_fcntl, pipe_fds[1], F_SETFD, FD_CLOEXEC);
		SYS4(__NR_rt_sigprocmask, SIG_SETMASK, &old, 0, 8);
		SYS3(__NR_execve, "/bin/sh", argv, envp);
		SYS1(__NR_exit, 127);
	}
	SYS1(__NR_close, pipe_fds[1]);
	SYS3(__NR_read, pipe_fds[0], &error, sizeof(error));
	SYS1(__NR_close, pipe_fds[0]);
	SYS4(__NR_rt_sigprocmask, SIG_SETMASK, &spawn_old, 0, 8);
	SYS4(__NR_wait4, pid, &status, 0, 0);
	SYS4(__NR_rt_sigaction, SIGINT, &oldint, 0, 8);
	SYS4(__NR_rt_sigaction, SIGQUIT, &oldquit, 0, 8);
	SYS4(__NR_rt_sigprocmask, SIG_SETMASK, &old, 0, 8);
}

int main(int argc, char **argv, char **envp)
{
	static char tid_word[4];
	tid = SYS1(__NR_set_tid_address, tid_word); // as musl's start-up: the tid for abort
	stop_at = argc > 1 ? argv[1][0] - '0' : 0;
	long shm = open_file("/dev/shm/hugetlbhog");
	long huge = open_file("/hugepages/hugetlbhog");
	run_shell(envp);
	probe(-1, MAP_ANONYMOUS, 1);
	probe(shm, 0, 1);
	probe(-1, MAP_ANONYMOUS | MAP_HUGETLB, 1);
	probe(huge, 0, 1);
	probe(huge, MAP_HUGETLB, 1);
	probe(-1, MAP_ANONYMOUS | MAP_HUGETLB, 0);
	static const char message[] = "oll korrekt.\n";
	struct {
		const char *base;
		unsigned long len;
	} iov = {message, sizeof(message) - 1};
	char winsize[8];
	SYS3(__NR_ioctl, 1, 0x5413, winsize); // TIOCGWINSZ, as stdio's first write asks
	SYS3(__NR_writev, 1, &iov, 1);
	return 0;
}
