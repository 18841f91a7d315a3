// SPDX-License-Identifier: GPL-2.0-only
#include "kernel.h"

#include "hugepages.h"
#include "ktap.h"
#include "limits.h"
#include "signals.h"
#include "util.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

void kernel_environment(void)
{
	struct utsname u;
	if (uname(&u) == 0)
		ktap_diag("uname -r -m: %s %s", u.release, u.machine);

	long sizes[8];
	int n = 0;
	if (DIR *d = opendir("/sys/kernel/mm/hugepages")) {
		while (struct dirent *e = readdir(d))
			if (n < 8 && sscanf(e->d_name, "hugepages-%ldkB", &sizes[n]) == 1)
				n++;
		closedir(d);
	}
	qsort(sizes, (size_t)n, sizeof(sizes[0]), [](const void *a, const void *b) {
		return *(const long *)a < *(const long *)b ? -1
							   : *(const long *)a > *(const long *)b;
	});
	char offered[128] = "none";
	for (int i = 0, at = 0; i < n && at < (int)sizeof(offered); i++)
		at += snprintf(offered + at, sizeof(offered) - (size_t)at, "%s%ld kB",
			       i ? ", " : "", sizes[i]);
	char huge[32] = "none";
	long huge_kb = text_field("/proc/meminfo", "Hugepagesize:");
	if (huge_kb > 0)
		snprintf(huge, sizeof(huge), "%ld kB", huge_kb);
	ktap_diag("base page %ld kB, default huge page %s, huge page sizes: %s",
		  sysconf(_SC_PAGESIZE) / 1024, huge, offered);

	char limits[256];
	limits_text(limits, sizeof(limits));
	ktap_diag("limits: %s", limits);
	struct memcg cg;
	memcg_read(&cg);
	if (!cg.version)
		ktap_diag("memory cgroup: none found");
	else if (cg.limit_kb < 0)
		ktap_diag("memory cgroup v%d %s: no limit", cg.version, cg.path);
	else
		ktap_diag("memory cgroup v%d %s: limit %ld kB, %ld kB of it free", cg.version,
			  cg.path, cg.limit_kb, cg.room_kb);
}

// What the check needs at most at once: 16 MiB mapped, and as much again
// where a private mapping of its shared-memory file copies the file's pages.
#define NEED_KB (2 * LENGTH_KB + 4096)

int environment_refuses(char *why, size_t size)
{
	long fsize = limit_kb(RLIMIT_FSIZE), data = limit_kb(RLIMIT_DATA), as = limit_kb(RLIMIT_AS);
	if (fsize >= 0 && fsize < LENGTH_KB)
		return say_why(why, size, "RLIMIT_FSIZE is %ld kB: the check sizes files to %ld kB",
			       fsize, LENGTH_KB);
	if (data >= 0 && data < LENGTH_KB + 4096)
		return say_why(why, size,
			       "RLIMIT_DATA is %ld kB: the check maps %ld kB of private memory at "
			       "once, besides its own",
			       data, LENGTH_KB);
	if (as >= 0 && as < LENGTH_KB + 8192)
		return say_why(why, size,
			       "RLIMIT_AS is %ld kB: the check maps %ld kB at once, besides its "
			       "own",
			       as, LENGTH_KB);
	struct memcg cg;
	memcg_read(&cg);
	if (cg.room_kb >= 0 && cg.room_kb < NEED_KB)
		return say_why(why, size,
			       "the memory cgroup %s has %ld kB free of its limit of %ld kB; the "
			       "check needs about %ld kB",
			       cg.path, cg.room_kb, cg.limit_kb, (long)NEED_KB);
	return 0;
}

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
	if (ftruncate(fd, RSS_LENGTH) != 0) {
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
		void *at = mmap(nullptr, RSS_LENGTH, PROT_READ | PROT_WRITE,
				MAP_PRIVATE | MAP_POPULATE | p->extra_flags, fd, 0);
		if (at == MAP_FAILED) {
			k->err = errno;
			continue;
		}
		struct figures after = now(m->base_kb);
		*k = {0, after.statm_kb - before.statm_kb, after.rss_kb - before.rss_kb,
		      after.hugetlb_kb - before.hugetlb_kb, true};
		if (p->unmapped)
			munmap(at, RSS_LENGTH);
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
