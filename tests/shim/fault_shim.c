// SPDX-License-Identifier: GPL-2.0-only
// fault_shim: an LD_PRELOAD library that lets the tests steer what the check
// programs see of the kernel. Every knob is an environment variable:
//
//   SHIM_LOG=FILE            append one line per open(O_CREAT), unlink,
//                            ftruncate, mmap, munmap and system() call
//   SHIM_ROOT=DIR            open and unlink "/dev/shm/..." and "/hugepages/..."
//                            under DIR instead (the log keeps the real path)
//   SHIM_SYSTEM=skip         log system() but do not run the command
//   SHIM_STATM=MODE          what reads of /proc/self/statm return:
//       real     the kernel's text (default)
//       hugetlb  the kernel's text plus HugetlbPages (from /proc/self/status)
//                in the resident field: a kernel that accounts huge pages
//       model    "900 R 0 0 0 0 0", R = 1000 + pages mapped through mmap;
//                mmap then maps plain, unpopulated anonymous memory, so the
//                figures are exact and no huge pages are needed;
//                SHIM_MODEL_SEP replaces the space before R
//       text     the text of SHIM_STATM_TEXT
//       empty    a read of 0 bytes
//   SHIM_BIAS_PAGES=N        add N (may be negative) to the resident field ...
//   SHIM_BIAS_AFTER=mmap:K | munmap:K   ... in every reading after the K-th call
//   SHIM_PAGE_KB=16          report the resident field in pages of that size
//   SHIM_FAIL_MMAP=K, SHIM_FAIL_MUNMAP=K   fail the K-th call (ENOMEM, EINVAL)
//   SHIM_FAIL_FTRUNCATE=1    fail ftruncate (EIO)
//   SHIM_FAIL_OPEN=PATH      fail the open of PATH (EACCES)
//   SHIM_FAIL_READ=1         fail reads of every file but statm (EIO)
//   SHIM_LOG_STATM=1         log each statm text the program reads
//   SHIM_HUGE_LEAVE=N        before the first MAP_HUGETLB mmap, a child of the
//                            program reserves (maps, untouched) all the free
//                            unreserved huge pages but N, and holds them: another
//                            process taking the pool after the runner counted it
//   SHIM_LEAK_HUGE=1         at the first MAP_HUGETLB mmap, leave one huge page in a
//                            file in /hugepages: a pool that does not come back
//   SHIM_FAIL_UNSHARE=FLAGS  fail unshare() of any of FLAGS (a number, e.g.
//                            0x20000000 for CLONE_NEWPID) with EPERM, as a
//                            container that forbids that namespace does
//   SHIM_KILL_AFTER=CALL:PATH  the process SIGKILLs itself as soon as its
//                            mkdir or mount (CALL) of PATH has succeeded: a kill
//                            between a change and its record, made certain
//   SHIM_FAIL_MOUNT=PATH     fail mount() at PATH (EINVAL), as a root that is not
//                            a mount point (a chroot) fails a change of propagation
//   SHIM_SWAP_AFTER_MKDIR=TARGET  as soon as mkdirat() has made a directory whose
//                            name starts "run_checks.", move it aside and put a
//                            symlink to TARGET at its name: another user's swap
//                            between the runner's mkdir and its open, made certain
//   SHIM_KMSG=TEXT           at the first mmap, write TEXT to /dev/kmsg (as any
//                            root process may: the kernel files it as a user's)
//
// Counts are 1-based and count only the calls the program itself makes. The
// shim does its own I/O with raw system calls so that it never re-enters itself
// and never takes a descriptor the program would otherwise get.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#define MAX_FDS 1024

static int statm_fd[MAX_FDS]; // 1: opened on /proc/self/statm, 2: already read
static int mmap_calls, munmap_calls;
static long long mapped_pages;
static int bias_active;
// Set by the constructor. mmap and munmap calls before it are not the
// program's but a sanitizer runtime's (ASan's symbolizer maps memory from the
// program's .preinit_array, through libc's mmap and so through this shim):
// they pass through, neither counted nor logged nor failed.
static int started;

static const char *env(const char *name)
{
	const char *v = getenv(name);
	return v && *v ? v : NULL;
}

static long env_long(const char *name)
{
	const char *v = env(name);
	return v ? strtol(v, NULL, 10) : 0;
}

static void *real(const char *name)
{
	void *f = dlsym(RTLD_NEXT, name);
	if (!f)
		abort();
	return f;
}

static void log_line(const char *fmt, ...)
{
	const char *path = env("SHIM_LOG");
	char line[1024];
	va_list ap;

	if (!path)
		return;
	va_start(ap, fmt);
	int n = vsnprintf(line, sizeof(line) - 1, fmt, ap);
	va_end(ap);
	if (n < 0)
		return;
	if (n > (int)sizeof(line) - 2)
		n = (int)sizeof(line) - 2;
	line[n++] = '\n';
	int fd = (int)syscall(SYS_openat, AT_FDCWD, path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC,
			      0644);
	if (fd < 0)
		return;
	ssize_t w = syscall(SYS_write, fd, line, (size_t)n);
	(void)w;
	syscall(SYS_close, fd);
}

// Maps a scratch path under SHIM_ROOT; returns `path` itself otherwise.
static const char *redirect(const char *path, char *buf, size_t size)
{
	const char *root = env("SHIM_ROOT");
	if (!root || !path)
		return path;
	if (strncmp(path, "/dev/shm/", 9) && strncmp(path, "/hugepages/", 11))
		return path;
	snprintf(buf, size, "%s%s", root, path);
	return buf;
}

static int is_mode(const char *mode)
{
	const char *m = env("SHIM_STATM");
	return m && !strcmp(m, mode);
}

static int tracks_statm(void)
{
	const char *m = env("SHIM_STATM");
	return (m && strcmp(m, "real")) || env("SHIM_BIAS_PAGES") || env("SHIM_PAGE_KB") ||
	       env("SHIM_LOG_STATM");
}

static int do_open(int dirfd, const char *path, int flags, mode_t mode)
{
	static int (*real_openat)(int, const char *, int, ...);
	char buf[4096];

	if (!real_openat)
		real_openat = real("openat");
	const char *fail = env("SHIM_FAIL_OPEN");
	if (fail && path && !strcmp(fail, path)) {
		errno = EACCES;
		return -1;
	}
	int fd = real_openat(dirfd, redirect(path, buf, sizeof(buf)), flags, mode);
	if (flags & O_CREAT)
		log_line("open \"%s\" flags=%#x mode=%#o = %d", path, (unsigned)flags,
			 (unsigned)mode, fd);
	if (fd >= 0 && fd < MAX_FDS)
		statm_fd[fd] = path && !strcmp(path, "/proc/self/statm") && tracks_statm();
	return fd;
}

static mode_t mode_arg(int flags, va_list ap)
{
	return (flags & (O_CREAT | __O_TMPFILE)) ? (mode_t)va_arg(ap, int) : 0;
}

int open(const char *path, int flags, ...)
{
	va_list ap;
	va_start(ap, flags);
	mode_t mode = mode_arg(flags, ap);
	va_end(ap);
	return do_open(AT_FDCWD, path, flags, mode);
}

int open64(const char *path, int flags, ...)
{
	va_list ap;
	va_start(ap, flags);
	mode_t mode = mode_arg(flags, ap);
	va_end(ap);
	return do_open(AT_FDCWD, path, flags, mode);
}

int openat(int dirfd, const char *path, int flags, ...)
{
	va_list ap;
	va_start(ap, flags);
	mode_t mode = mode_arg(flags, ap);
	va_end(ap);
	return do_open(dirfd, path, flags, mode);
}

int __open_2(const char *path, int flags)
{
	return do_open(AT_FDCWD, path, flags, 0);
}

int __open64_2(const char *path, int flags)
{
	return do_open(AT_FDCWD, path, flags, 0);
}

int close(int fd)
{
	static int (*real_close)(int);
	if (!real_close)
		real_close = real("close");
	if (fd >= 0 && fd < MAX_FDS)
		statm_fd[fd] = 0;
	return real_close(fd);
}

// Reads HugetlbPages (in KiB) from /proc/self/status.
static long long hugetlb_kib(void)
{
	char text[8192];
	int fd = (int)syscall(SYS_openat, AT_FDCWD, "/proc/self/status", O_RDONLY | O_CLOEXEC);
	if (fd < 0)
		return 0;
	ssize_t n = syscall(SYS_read, fd, text, sizeof(text) - 1);
	syscall(SYS_close, fd);
	text[n > 0 ? n : 0] = '\0';
	const char *line = strstr(text, "HugetlbPages:");
	return line ? strtoll(line + 13, NULL, 10) : 0;
}

static ssize_t real_read(int fd, void *buf, size_t count)
{
	static ssize_t (*next)(int, void *, size_t);
	if (!next)
		next = real("read");
	return next(fd, buf, count);
}

// Builds the statm text the program is to see; returns its length.
static size_t statm_text(int fd, char *out, size_t size)
{
	char text[4096];
	long long total, resident;
	char rest[4000] = "";

	if (is_mode("empty"))
		return 0;
	if (is_mode("text")) {
		const char *t = env("SHIM_STATM_TEXT");
		snprintf(out, size, "%s", t ? t : "");
		return strlen(out);
	}
	if (is_mode("model")) {
		total = 900;
		resident = 1000 + mapped_pages;
		snprintf(rest, sizeof(rest), " 0 0 0 0 0\n");
	} else {
		ssize_t n = real_read(fd, text, sizeof(text) - 1);
		text[n > 0 ? n : 0] = '\0';
		int used = 0;
		if (sscanf(text, "%lld %lld%n", &total, &resident, &used) != 2)
			abort(); // the kernel's own text: never malformed
		snprintf(rest, sizeof(rest), "%s", text + used);
		if (is_mode("hugetlb"))
			resident += hugetlb_kib() / 4;
	}
	if (bias_active)
		resident += env_long("SHIM_BIAS_PAGES");
	long page_kb = env_long("SHIM_PAGE_KB");
	if (page_kb > 4)
		resident /= page_kb / 4;
	const char *sep =
	    is_mode("model") && getenv("SHIM_MODEL_SEP") ? getenv("SHIM_MODEL_SEP") : " ";
	snprintf(out, size, "%lld%s%lld%s", total, sep, resident, rest);
	return strlen(out);
}

// Runs what the statm and log paths run once, before the program starts: the
// pages of that code (stdio formatting and scanning, /proc/self/status) are
// then in place and not counted as growth of the program's first probe
// (seen as 16 to 72 pages, enough to fail it now and then).
__attribute__((constructor)) static void warm_up(void)
{
	static const char sample[] = "900 300 0 0 0 0 0\n";
	char text[512];
	long long a = 0, b = 0;
	int used = 0;

	sscanf(sample, "%lld %lld%n", &a, &b, &used);
	snprintf(text, sizeof(text), "%lld%s%lld%s %p %#zx %#x %#o %d %lld", a, " ", b,
		 sample + used, (void *)sample, sizeof(text), 3u, 0600u, -1, hugetlb_kib());
	tracks_statm();
	is_mode("model");
	env("SHIM_LOG");
	started = 1;
}

static ssize_t do_read(int fd, void *buf, size_t count)
{
	char text[4096];

	if (fd >= 0 && fd < MAX_FDS && statm_fd[fd]) {
		if (statm_fd[fd] == 2)
			return 0;
		statm_fd[fd] = 2;
		size_t n = statm_text(fd, text, sizeof(text));
		if (env("SHIM_LOG_STATM"))
			log_line("statm %.*s", (int)(n && text[n - 1] == '\n' ? n - 1 : n), text);
		if (n > count)
			n = count;
		memcpy(buf, text, n);
		return (ssize_t)n;
	}
	if (fd > 2 && env("SHIM_FAIL_READ")) {
		errno = EIO;
		return -1;
	}
	return real_read(fd, buf, count);
}

ssize_t read(int fd, void *buf, size_t count)
{
	return do_read(fd, buf, count);
}

ssize_t __read_chk(int fd, void *buf, size_t count, size_t buflen)
{
	(void)buflen;
	return do_read(fd, buf, count);
}

// "mmap:K" or "munmap:K": does this call arm the bias?
static void arm_bias(const char *call, int nth)
{
	const char *after = env("SHIM_BIAS_AFTER");
	size_t len = strlen(call);
	if (after && !strncmp(after, call, len) && after[len] == ':' &&
	    strtol(after + len + 1, NULL, 10) == nth)
		bias_active = 1;
}

// A number after `key` in /proc/meminfo, read with raw calls; -1 if none.
static long meminfo(const char *key)
{
	static char text[8192];
	int fd = (int)syscall(SYS_openat, AT_FDCWD, "/proc/meminfo", O_RDONLY | O_CLOEXEC);
	if (fd < 0)
		return -1;
	ssize_t n = syscall(SYS_read, fd, text, sizeof(text) - 1);
	syscall(SYS_close, fd);
	text[n > 0 ? n : 0] = '\0';
	const char *at = strstr(text, key);
	return at ? strtol(at + strlen(key), NULL, 10) : -1;
}

static void take_huge_pages(void *(*real_mmap)(void *, size_t, int, int, int, off_t))
{
	static int done;
	if (done || !env("SHIM_HUGE_LEAVE"))
		return;
	done = 1;
	long take = meminfo("HugePages_Free:") - meminfo("HugePages_Rsvd:") -
		    env_long("SHIM_HUGE_LEAVE"),
	     page = meminfo("Hugepagesize:") * 1024;
	int ready[2];
	if (take <= 0 || page <= 0 || pipe(ready) != 0)
		return;
	if (fork() == 0) {
		// In the program's process group: killed with it.
		real_mmap(NULL, (size_t)(take * page), PROT_READ | PROT_WRITE,
			  MAP_PRIVATE | MAP_ANONYMOUS | MAP_HUGETLB, -1, 0);
		ssize_t w = write(ready[1], "x", 1);
		(void)w;
		for (;;)
			pause();
	}
	char c;
	ssize_t r = read(ready[0], &c, 1);
	(void)r;
}

static void leak_huge_page(void *(*real_mmap)(void *, size_t, int, int, int, off_t))
{
	static int done;
	long page = meminfo("Hugepagesize:") * 1024;
	if (done || !env("SHIM_LEAK_HUGE") || page <= 0)
		return;
	done = 1;
	int fd = (int)syscall(SYS_openat, AT_FDCWD, "/hugepages/shim_leak", O_RDWR | O_CREAT, 0600);
	if (fd < 0 || syscall(SYS_ftruncate, fd, page) != 0)
		return;
	char *p = real_mmap(NULL, (size_t)page, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
	if (p != MAP_FAILED) {
		p[0] = 1;
		syscall(SYS_munmap, p, (size_t)page);
	}
	syscall(SYS_close, fd);
}

static void write_kmsg(void)
{
	static int done;
	const char *text = env("SHIM_KMSG");
	if (done || !text)
		return;
	done = 1;
	// Whole, with its newline: a record without one may be held back
	// from readers as a line still to be continued.
	char line[1024];
	int n = snprintf(line, sizeof(line), "%s\n", text);
	int fd = (int)syscall(SYS_openat, AT_FDCWD, "/dev/kmsg", O_WRONLY | O_CLOEXEC);
	if (fd >= 0 && n > 0) {
		ssize_t w = syscall(SYS_write, fd, line,
				    (size_t)n < sizeof(line) ? (size_t)n : sizeof(line) - 1);
		(void)w;
	}
	if (fd >= 0)
		syscall(SYS_close, fd);
}

static void *do_mmap(void *addr, size_t len, int prot, int flags, int fd, off_t off)
{
	static void *(*real_mmap)(void *, size_t, int, int, int, off_t);
	void *p;

	if (!real_mmap)
		real_mmap = real("mmap");
	if (!started)
		return real_mmap(addr, len, prot, flags, fd, off);
	int nth = ++mmap_calls;
	log_line("mmap addr=%p length=%#zx prot=%d flags=%#x fd=%d offset=%lld", addr, len, prot,
		 (unsigned)flags, fd, (long long)off);
	if (env_long("SHIM_FAIL_MMAP") == nth) {
		errno = ENOMEM;
		return MAP_FAILED;
	}
	write_kmsg();
	if (flags & MAP_HUGETLB) {
		take_huge_pages(real_mmap);
		leak_huge_page(real_mmap);
	}
	if (is_mode("model"))
		p = real_mmap(addr, len, prot, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
	else
		p = real_mmap(addr, len, prot, flags, fd, off);
	if (p != MAP_FAILED)
		mapped_pages += (long long)(len / 4096);
	arm_bias("mmap", nth);
	return p;
}

void *mmap(void *addr, size_t len, int prot, int flags, int fd, off_t off)
{
	return do_mmap(addr, len, prot, flags, fd, off);
}

void *mmap64(void *addr, size_t len, int prot, int flags, int fd, off_t off)
{
	return do_mmap(addr, len, prot, flags, fd, off);
}

int munmap(void *addr, size_t len)
{
	static int (*real_munmap)(void *, size_t);

	if (!real_munmap)
		real_munmap = real("munmap");
	if (!started)
		return real_munmap(addr, len);
	int nth = ++munmap_calls;
	log_line("munmap length=%#zx", len);
	if (env_long("SHIM_FAIL_MUNMAP") == nth) {
		errno = EINVAL;
		return -1;
	}
	int ret = real_munmap(addr, len);
	if (!ret)
		mapped_pages -= (long long)(len / 4096);
	arm_bias("munmap", nth);
	return ret;
}

static int do_ftruncate(int fd, off_t len)
{
	static int (*real_ftruncate)(int, off_t);

	if (!real_ftruncate)
		real_ftruncate = real("ftruncate");
	log_line("ftruncate fd=%d length=%#llx", fd, (long long)len);
	if (env("SHIM_FAIL_FTRUNCATE")) {
		errno = EIO;
		return -1;
	}
	return real_ftruncate(fd, len);
}

int ftruncate(int fd, off_t len)
{
	return do_ftruncate(fd, len);
}

int ftruncate64(int fd, off_t len)
{
	return do_ftruncate(fd, len);
}

int unshare(int flags)
{
	static int (*real_unshare)(int);

	if (!real_unshare)
		real_unshare = real("unshare");
	if (flags &
	    (int)strtol(env("SHIM_FAIL_UNSHARE") ? env("SHIM_FAIL_UNSHARE") : "0", NULL, 0)) {
		errno = EPERM;
		return -1;
	}
	return real_unshare(flags);
}

// Dies at once if SHIM_KILL_AFTER names this call of `path` that succeeded.
static int kill_after(const char *call, const char *path, int result)
{
	const char *want = env("SHIM_KILL_AFTER");
	size_t n = strlen(call);
	if (result == 0 && want && !strncmp(want, call, n) && want[n] == ':' &&
	    !strcmp(want + n + 1, path))
		syscall(SYS_kill, syscall(SYS_getpid), 9);
	return result;
}

int mkdir(const char *path, mode_t mode)
{
	static int (*real_mkdir)(const char *, mode_t);

	if (!real_mkdir)
		real_mkdir = real("mkdir");
	return kill_after("mkdir", path, real_mkdir(path, mode));
}

int mkdirat(int dirfd, const char *path, mode_t mode)
{
	static int (*real_mkdirat)(int, const char *, mode_t);
	const char *target = env("SHIM_SWAP_AFTER_MKDIR");
	char aside[4096];

	if (!real_mkdirat)
		real_mkdirat = real("mkdirat");
	int made = real_mkdirat(dirfd, path, mode);
	if (made == 0 && target && !strncmp(path, "run_checks.", 11)) {
		snprintf(aside, sizeof(aside), "%s.aside", path);
		renameat(dirfd, path, dirfd, aside);
		symlinkat(target, dirfd, path);
	}
	return made;
}

int mount(const char *source, const char *target, const char *type, unsigned long flags,
	  const void *data)
{
	static int (*real_mount)(const char *, const char *, const char *, unsigned long,
				 const void *);

	if (!real_mount)
		real_mount = real("mount");
	if (env("SHIM_FAIL_MOUNT") && !strcmp(env("SHIM_FAIL_MOUNT"), target)) {
		errno = EINVAL;
		return -1;
	}
	return kill_after("mount", target, real_mount(source, target, type, flags, data));
}

int unlink(const char *path)
{
	static int (*real_unlink)(const char *);
	char buf[4096];

	if (!real_unlink)
		real_unlink = real("unlink");
	log_line("unlink \"%s\"", path);
	return real_unlink(redirect(path, buf, sizeof(buf)));
}

int system(const char *command)
{
	static int (*real_system)(const char *);

	if (!real_system)
		real_system = real("system");
	log_line("system \"%s\"", command);
	const char *how = env("SHIM_SYSTEM");
	if (how && !strcmp(how, "skip"))
		return 0;
	return real_system(command);
}
