// SPDX-License-Identifier: GPL-2.0-only
#include "kernel_account.h"

#include "ktap.h"
#include "memory_limits.h"
#include "signals.h"
#include "util.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

struct figures {
	long statm_kb, rss_kb, hugetlb_kb;
};

static struct figures now(long base_kb)
{
	struct figures f = {-1, -1, -1};
	long pages = statm_resident("/proc/self/statm");
	if (pages >= 0)
		f.statm_kb = pages * base_kb;
	f.rss_kb = text_field("/proc/self/smaps_rollup", "\nRss:");
	f.hugetlb_kb = text_field("/proc/self/status", "HugetlbPages:");
	return f;
}

// A file of 16 MiB under `dir` that only this child can see; its name is
// gone before anything is mapped. Returns -1 with the errno in `err`.
static int scratch(const char *dir, int *err, int *truncate_err)
{
	char path[64];
	snprintf(path, sizeof(path), "%s/run_checks.measure.%d", dir, (int)getpid());
	int fd = open(path, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
	*err = fd < 0 ? errno : 0;
	if (fd < 0)
		return -1;
	unlink(path);
	if (ftruncate(fd, CHECK_LENGTH) != 0) {
		*err = *truncate_err = errno;
		close(fd);
		return -1;
	}
	return fd;
}

[[noreturn]] static void measure_in_child(struct kernel_account *m)
{
	int shm_err, huge_err, unused;
	m->base_kb = sysconf(_SC_PAGESIZE) / 1024;
	int shm = scratch("/dev/shm", &shm_err, &unused);
	int huge = scratch(HUGEPAGES_DIR, &huge_err, &m->truncate_err);
	now(m->base_kb); // faults in what reading the figures needs
	for (int i = 0; i < PROBES; i++) {
		const struct probe *p = &probes[i];
		struct kernel_kind *k = &m->kind[i];
		int fd = p->file == SHM_FILE ? shm : p->file == HUGETLBFS_FILE ? huge : -1;
		int err = p->file == SHM_FILE ? shm_err : p->file == HUGETLBFS_FILE ? huge_err : 0;
		k->measured = true;
		if (err) {
			k->err = err;
			continue;
		}
		struct figures before = now(m->base_kb);
		void *at = mmap(nullptr, CHECK_LENGTH, PROT_READ | PROT_WRITE,
				MAP_PRIVATE | MAP_POPULATE | p->extra_flags, fd, 0);
		if (at == MAP_FAILED) {
			k->err = errno;
			continue;
		}
		struct figures after = now(m->base_kb);
		*k = {0, after.statm_kb - before.statm_kb, after.rss_kb - before.rss_kb,
		      after.hugetlb_kb - before.hugetlb_kb, true};
		if (p->unmapped)
			munmap(at, CHECK_LENGTH);
	}
	m->done = true;
	_exit(0);
}

void kernel_measure(struct kernel_account *m, int timeout_s)
{
	memset(m, 0, sizeof(*m));
	void *shared =
	    mmap(nullptr, sizeof(*m), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
	struct oom_count oom;
	oom_count_read(&oom);
	pid_t pid = shared == MAP_FAILED ? -1 : fork();
	if (pid == 0) {
		prctl(PR_SET_PDEATHSIG, SIGKILL);
		measure_in_child((struct kernel_account *)shared);
	}
	long deadline = now_ms() + timeout_s * 1000L;
	int status = 0;
	while (pid > 0 && waitpid(pid, &status, WNOHANG) == 0) {
		int sig = signals_pending_stop();
		if (sig || now_ms() > deadline) {
			kill(pid, SIGKILL);
			waitpid(pid, &status, 0);
			if (sig)
				signals_stop(sig);
			break;
		}
		struct pollfd p = {signals_fd(), POLLIN, 0};
		poll(&p, 1, 50);
	}
	if (pid > 0)
		memcpy(m, shared, sizeof(*m));
	if (shared != MAP_FAILED)
		munmap(shared, sizeof(*m));
	if (!m->done && pid > 0 && WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL)
		oom_killed_since(&oom, m->killed, sizeof(m->killed));
	if (m->killed[0]) {
		ktap_diag("kernel: no measurement: the measuring child was killed by %s",
			  m->killed);
		return;
	}
	if (!m->done) {
		ktap_diag("kernel: no measurement (%s)",
			  pid < 0 ? strerror(errno) : "the measuring child did not finish");
		return;
	}
	kernel_print(m);
}

void kernel_print(const struct kernel_account *m)
{
	for (int i = 0; i < PROBES; i++) {
		const struct kernel_kind *k = &m->kind[i];
		if (!k->measured)
			continue;
		if (k->err)
			ktap_diag("kernel: %s mmap failed: %s", probes[i].name, strerror(k->err));
		else
			ktap_diag(
			    "kernel: %s statm %+ld kB, smaps Rss %+ld kB, HugetlbPages %+ld kB",
			    probes[i].name, k->statm_kb, k->rss_kb, k->hugetlb_kb);
	}
}

void kernel_account_from_trace(struct kernel_account *m, const struct trace *t, long base_kb)
{
	memset(m, 0, sizeof(*m));
	m->base_kb = base_kb;
	for (int i = 0; i < t->probes; i++) {
		const struct probe_seen *p = &t->probe[i];
		struct kernel_kind *k = &m->kind[i];
		if (!p->returned)
			continue;
		k->measured = true;
		if (call_failed(p->mapped))
			k->err = (int)-p->mapped;
		else
			*k = {0, (p->statm[1] - p->statm[0]) * base_kb, p->rss_kb[1] - p->rss_kb[0],
			      p->huge_kb[1] - p->huge_kb[0], true};
	}
	m->done = true;
}

int statm_reads_exact(void)
{
	long page = sysconf(_SC_PAGESIZE), seen[3];
	char *at = (char *)mmap(nullptr, 2 * (size_t)page, PROT_READ | PROT_WRITE,
				MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
	if (at == MAP_FAILED)
		return -1;
	statm_resident("/proc/self/statm"); // its own stack and buffers, faulted once
	seen[0] = statm_resident("/proc/self/statm");
	at[0] = 1;
	seen[1] = statm_resident("/proc/self/statm");
	at[page] = 1;
	seen[2] = statm_resident("/proc/self/statm");
	munmap(at, 2 * (size_t)page);
	if (seen[0] < 0 || seen[1] < 0 || seen[2] < 0)
		return -1;
	return seen[1] - seen[0] == 1 && seen[2] - seen[1] == 1;
}
