// SPDX-License-Identifier: GPL-2.0-only
#include "state_dir.h"

#include "fd.h"
#include "ktap.h"
#include "signals.h"
#include "util.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#define LOCK_MARGIN_S 15 // beyond another run's -t: its preparation and undo
#define MAX_TIMEOUT_S 86400

// The first of these that can hold a root-only directory holds the lock and
// the record: /run on Linux, /dev (a tmpfs there too) on Android. Never a
// place that another user can rename or write, such as /data/local/tmp.
static const char *const state_bases[] = {"/run", "/dev"};

static struct {
	char dir[48];
	unique_fd dir_fd, lock_fd, kernel_lock_fd;
	bool made; // this run made the directory
} st;

// Every ancestor of a state directory must be root's and writable by no one
// else: another user who could rename it could hide the lock and the record.
static bool only_root_can_change(const char *path)
{
	char at[64];
	snprintf(at, sizeof(at), "%s", path);
	for (;;) {
		struct stat s;
		if (lstat(at, &s) != 0 || !S_ISDIR(s.st_mode) || s.st_uid != 0 || (s.st_mode & 022))
			return false;
		char *slash = strrchr(at, '/');
		if (!slash || at[1] == '\0')
			return true;
		slash[slash == at ? 1 : 0] = '\0';
	}
}

static int open_dir(char *why, size_t size)
{
	int last = ENOENT;
	for (const char *base : state_bases) {
		if (!only_root_can_change(base)) {
			last = EPERM;
			continue;
		}
		snprintf(st.dir, sizeof(st.dir), "%s/kernel-checks", base);
		if (mkdir(st.dir, 0700) == 0)
			st.made = true;
		else if (errno != EEXIST) {
			last = errno;
			continue;
		}
		unique_fd fd(open(st.dir, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
		struct stat s;
		if (!fd.ok())
			return say_why(why, size, "cannot open %s: %s", st.dir, strerror(errno));
		if (fstat(fd.get(), &s) != 0 || s.st_uid != 0 || (s.st_mode & 077))
			return say_why(why, size, "%s is not a directory that root alone can use",
				       st.dir);
		st.dir_fd.reset(fd.release());
		return 0;
	}
	return say_why(why, size, "no place for the lock: no root-only %s or %s: %s",
		       state_bases[0], state_bases[1], strerror(last));
}

int state_file_open(const char *name, int flags, char *why, size_t size)
{
	unique_fd fd(
	    openat(st.dir_fd.get(), name, flags | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC, 0600));
	struct stat s;
	int e = errno;
	if (!fd.ok()) {
		say_why(why, size, "cannot open %s/%s: %s", st.dir, name, strerror(e));
		errno = e; // the caller may tell a missing file from a bad one
		return -1;
	}
	if (fstat(fd.get(), &s) != 0 || !S_ISREG(s.st_mode)) {
		errno = EINVAL;
		return say_why(why, size, "%s/%s is not a regular file", st.dir, name);
	}
	return fd.release();
}

ssize_t state_file_read(const char *name, char *text, size_t size)
{
	return read_text_at(st.dir_fd.get(), name, text, size);
}

bool state_file_replace(const char *name, const char *text, size_t n)
{
	char why[128], fresh[64];
	snprintf(fresh, sizeof(fresh), "%s.new", name);
	unique_fd fd(state_file_open(fresh, O_WRONLY | O_CREAT | O_TRUNC, why, sizeof(why)));
	if (!fd.ok())
		return false;
	ssize_t w = write(fd.get(), text, n);
	if (w == (ssize_t)n && renameat(st.dir_fd.get(), fresh, st.dir_fd.get(), name) == 0)
		return true;
	int e = w < 0 || w == (ssize_t)n ? errno : EIO; // a full /run: nothing of it left
	unlinkat(st.dir_fd.get(), fresh, 0);
	errno = e;
	return false;
}

void state_file_remove(const char *name)
{
	unlinkat(st.dir_fd.get(), name, 0);
}

void state_file_rename(const char *from, const char *to)
{
	renameat(st.dir_fd.get(), from, st.dir_fd.get(), to);
}

// Waits a tenth of a second for a lock, unless told to stop.
static void wait_a_moment(void)
{
	struct pollfd p = {signals_fd(), POLLIN, 0};
	poll(&p, 1, 100);
	if (int sig = signals_pending_stop())
		signals_stop(sig);
}

// The kernel's file is one per kernel, the lock file one per /run. A lock on
// the kernel's own file holds across mount namespaces that share /proc (a
// container with a /proc of its own, or its own sysfs, still does not see
// it; see docs/run_checks.md). Anyone may flock a file they can read: a
// lock that no root process holds is not another run's.
static int take_kernel_lock(const char *file, long deadline, char *why, size_t size)
{
	unique_fd fd(open(file, O_RDONLY | O_CLOEXEC));
	if (!fd.ok())
		return 0; // nothing to lock; the lock file alone serves
	while (flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
		int e = errno;
		long pid = -1, uid = e == EWOULDBLOCK ? flock_holder_not_root(fd.get(), &pid) : -1;
		if (uid > 0) {
			ktap_diag("%s is locked by pid %ld of uid %ld, not root: not another run; "
				  "going on without that lock",
				  file, pid, uid);
			return 0;
		}
		if ((e != EWOULDBLOCK && e != EINTR) || now_ms() >= deadline)
			return say_why(why, size,
				       "another run holds %s (its lock is not in this %s)", file,
				       st.dir);
		wait_a_moment();
	}
	st.kernel_lock_fd.reset(fd.release());
	return 0;
}

// Whether `fd` is still the file at `name` in the state directory.
static bool still_named(int fd, const char *name)
{
	struct stat held, named;
	return fstat(fd, &held) == 0 &&
	       fstatat(st.dir_fd.get(), name, &named, AT_SYMLINK_NOFOLLOW) == 0 &&
	       held.st_dev == named.st_dev && held.st_ino == named.st_ino;
}

// Takes the lock file, waiting while another run holds it; sets `deadline`.
// The holder's pid and -t are in the file, for the message and the wait.
static int take_lock_file(int wait_s, int timeout_s, long *deadline, char *why, size_t size)
{
	unique_fd fd(state_file_open("lock", O_RDWR | O_CREAT, why, size));
	if (!fd.ok())
		return -1;
	*deadline = -1;
	while (flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
		if (errno != EWOULDBLOCK && errno != EINTR)
			return say_why(why, size, "cannot lock %s/lock: %s", st.dir,
				       strerror(errno));
		char holder[64] = {};
		long pid = -1, t = -1;
		if (pread(fd.get(), holder, sizeof(holder) - 1, 0) > 0)
			sscanf(holder, "%ld %ld", &pid, &t);
		if (t < 1 || t > MAX_TIMEOUT_S)
			t = timeout_s; // whatever the file says, no longer than -t may be
		if (*deadline < 0)
			*deadline = now_ms() + 1000L * (wait_s >= 0 ? wait_s : t + LOCK_MARGIN_S);
		if (now_ms() >= *deadline)
			return say_why(why, size, "another run holds %s/lock (pid %ld)", st.dir,
				       pid);
		wait_a_moment();
	}
	if (!still_named(fd.get(), "lock")) {
		// Its holder removed it as it finished: a later run may hold the
		// file at that name now, so that one is the lock.
		fd.reset();
		if (open_dir(why, size) < 0)
			return -1;
		return take_lock_file(wait_s, timeout_s, deadline, why, size);
	}
	char me[48];
	int n = snprintf(me, sizeof(me), "%d %d\n", (int)getpid(), timeout_s);
	if (ftruncate(fd.get(), 0) != 0 || pwrite(fd.get(), me, (size_t)n, 0) != n) {
		// Only the message and the wait of another run lose by this.
	}
	st.lock_fd.reset(fd.release());
	return 0;
}

// A run stopped by a signal leaves nothing either, once it has undone what
// it changed (the undo list's own stop function runs first).
static void release_at_stop(int)
{
	state_release();
}

int state_lock(const char *kernel_file, int wait_s, int timeout_s, char *why, size_t size)
{
	static bool registered;
	if (!registered)
		signals_at_stop(release_at_stop);
	registered = true;
	long deadline;
	if (open_dir(why, size) < 0 || take_lock_file(wait_s, timeout_s, &deadline, why, size) < 0)
		return -1;
	if (deadline < 0)
		deadline = now_ms() + 1000L * (wait_s >= 0 ? wait_s : timeout_s + LOCK_MARGIN_S);
	return take_kernel_lock(kernel_file, deadline, why, size);
}

bool state_held(void)
{
	return st.lock_fd.ok();
}

const char *state_dir(void)
{
	return st.dir;
}

int state_fds(int fds[3])
{
	fds[0] = st.dir_fd.get();
	fds[1] = st.lock_fd.get();
	fds[2] = st.kernel_lock_fd.get();
	return 3;
}

// The run leaves no state behind: the lock file and the directory go, still
// locked, unless a record waits there for the next run. A run that waited on
// the file finds it gone from its name and takes the lock anew.
static void remove_state(void)
{
	if (!st.lock_fd.ok() && st.made)
		rmdir(st.dir); // made, then never locked (a descriptor limit): empty
	if (!st.lock_fd.ok() || !still_named(st.lock_fd.get(), "lock"))
		return;
	static const char *const left[] = {"state", "guardian"};
	for (const char *name : left) {
		struct stat s;
		if (fstatat(st.dir_fd.get(), name, &s, AT_SYMLINK_NOFOLLOW) == 0 || errno != ENOENT)
			return;
	}
	unlinkat(st.dir_fd.get(), "lock", 0);
	rmdir(st.dir); // not if anything else is in it
}

void state_release(void)
{
	remove_state();
	st.lock_fd.reset();
	st.kernel_lock_fd.reset();
	st.dir_fd.reset();
	st.made = false; // from now on the folder may be another run's
}
