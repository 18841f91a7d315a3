// SPDX-License-Identifier: GPL-2.0-only
#include "new_file_check.h"

#include "child.h"
#include "fd.h"
#include "ktap.h"
#include "options.h"
#include "outcome.h"
#include "signals.h"
#include "undo.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

// The directory new files are checked in by default.
static const char *temporary_dir(void)
{
	const char *base = getenv("TMPDIR");
	if (base && *base)
		return base;
	struct stat st;
	return stat("/tmp", &st) == 0 && S_ISDIR(st.st_mode) ? "/tmp" : "/data/local/tmp";
}

// Makes a directory of its own inside `base_fd`, mode 0700, and opens it.
// Whoever else can write `base` can rename it or put a symlink in its place,
// but cannot get into it: the check runs inside it through the descriptor.
static int private_dir(int base_fd, char *leaf, size_t size)
{
	for (int tries = 0; tries < 100; tries++) {
		unsigned int r = 0;
		if (getrandom(&r, sizeof(r), 0) != (ssize_t)sizeof(r))
			r ^= (unsigned int)getpid() * 2654435761u + (unsigned int)tries;
		snprintf(leaf, size, "run_checks.%08x", r);
		if (mkdirat(base_fd, leaf, 0700) == 0)
			break;
		if (errno != EEXIST)
			return -1;
	}
	unique_fd fd(openat(base_fd, leaf, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
	struct stat st;
	if (!fd.ok()) {
		int e = errno;
		unlinkat(base_fd, leaf, AT_REMOVEDIR); // made, but not to be had (EMFILE)
		errno = e;
		return -1;
	}
	if (fstat(fd.get(), &st) != 0 || st.st_uid != geteuid() || (st.st_mode & 077)) {
		errno = EPERM;
		return -1;
	}
	return fd.release();
}

// Removes the private directory through its descriptors, unless someone has
// put another in its place; its step on the undo list goes with it.
static void remove_private_dir(int base_fd, int fd, const char *leaf, bool guarded)
{
	struct stat mine, now;
	unlinkat(fd, "new_file", 0);
	if (fstat(fd, &mine) == 0 && fstatat(base_fd, leaf, &now, AT_SYMLINK_NOFOLLOW) == 0 &&
	    mine.st_ino == now.st_ino && mine.st_dev == now.st_dev)
		unlinkat(base_fd, leaf, AT_REMOVEDIR);
	if (guarded)
		undo_done();
}

// Puts the private directory on the undo list by its absolute path, so that
// the guardian, or the next run, removes it if the runner is killed meanwhile.
// Unrecorded if that fails: only what a SIGKILL leaves is at stake.
static bool guard_dir(const char *path, int fd)
{
	char cwd[PATH_MAX] = "", absolute[PATH_MAX], why[128];
	struct stat s;
	if (fstat(fd, &s) != 0 || (path[0] != '/' && !getcwd(cwd, sizeof(cwd))))
		return false;
	int n = snprintf(absolute, sizeof(absolute), "%s%s%s", cwd, cwd[0] ? "/" : "", path);
	if (n < 0 || (size_t)n >= sizeof(absolute))
		return false;
	// On the list even where it could not be recorded: its maker takes it
	// off once the directory is gone.
	int before = undo_count();
	undo_rmdir(absolute, s.st_dev, s.st_ino, "new_file", why, sizeof(why));
	return undo_count() > before;
}

// What the directory of `fd` has left: a file needs an inode, and space
// where the file system gives a new file any. False when it cannot be read.
static bool room(int fd, char *said, size_t size, bool *full, bool *no_inode)
{
	struct statvfs vfs;
	if (fstatvfs(fd, &vfs) != 0)
		return false;
	bool root = geteuid() == 0; // root may take the blocks kept for root
	unsigned long long kb = (unsigned long long)(root ? vfs.f_bfree : vfs.f_bavail) *
				vfs.f_frsize / 1024,
			   inodes = root ? vfs.f_ffree : vfs.f_favail;
	// Some file systems (btrfs) count no inodes at all.
	*no_inode = inodes == 0 && vfs.f_files != 0;
	*full = kb == 0 || *no_inode;
	snprintf(said, size, "%llu kB and %llu inodes free", kb, inodes);
	return true;
}

// A run that failed for want of space, in a directory measured full: the
// file system's state, not the kernel's behaviour.
static bool out_of_room(const struct child_result *r, int fd, const char *base, char *why,
			size_t size)
{
	char said[96];
	bool full = false, no_inode;
	if (!child_exited(r, 1) ||
	    (!memmem(r->err, r->err_len, "No space left on device", 23) &&
	     !memmem(r->err, r->err_len, "Disk quota exceeded", 19)) ||
	    !room(fd, said, sizeof(said), &full, &no_inode) || !full)
		return false;
	snprintf(why, size, "%s is full: %s", base, said);
	return true;
}

void check_new_file(const char *bin_dir, const char *dir)
{
	char name[128], prog[PATH_MAX + 32], leaf[32];
	struct child_result r;

	snprintf(name, sizeof(name), "new_file_read_check");
	if (dir) {
		const char *rest = dir + strspn(dir, "/");
		size_t n = strlen(name);
		name[n++] = '/';
		ktap_name(name + n, sizeof(name) - n, rest);
	}
	snprintf(prog, sizeof(prog), "%s/new_file_read_check", bin_dir);
	unique_fd prog_fd(program_open(name, prog));
	if (!prog_fd.ok())
		return;
	const char *base = dir ? dir : temporary_dir();
	unique_fd base_fd(open(base, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
	unique_fd fd(base_fd.ok() ? private_dir(base_fd.get(), leaf, sizeof(leaf)) : -1);
	if (!fd.ok()) {
		char why[PATH_MAX + 64];
		snprintf(why, sizeof(why), "cannot make a private directory in %s: %s", base,
			 strerror(errno));
		ktap_result(KTAP_SKIP, name, why);
		return;
	}
	char path[PATH_MAX + 64];
	snprintf(path, sizeof(path), "%s/%s", base, leaf);
	// No space alone is let through: a new file takes none on some file
	// systems (tmpfs); a failure for it is judged after.
	char said[96], why[PATH_MAX + 128];
	bool full = false, no_inode = false;
	if (room(fd.get(), said, sizeof(said), &full, &no_inode))
		ktap_diag("%s: %s", base, said);
	if (no_inode) {
		remove_private_dir(base_fd.get(), fd.get(), leaf, false);
		snprintf(why, sizeof(why), "%s has no inode free for a new file: %s", base, said);
		ktap_result(KTAP_SKIP, name, why);
		return;
	}
	bool guarded = guard_dir(path, fd.get());
	ktap_diag("new_file_read_check %s/new_file", path);
	const char *const args[] = {prog, "new_file", nullptr};
	child_run(args, prog_fd.get(), fd.get(), opt.timeout_s, &r);
	bool no_room = out_of_room(&r, fd.get(), base, why, sizeof(why));
	remove_private_dir(base_fd.get(), fd.get(), leaf, guarded);
	fd.reset();
	base_fd.reset();
	if (r.stopped_by)
		signals_stop(r.stopped_by);
	if (report_unusual(name, &r))
		return;
	if (no_room) {
		ktap_quote("", r.err, r.err_len, r.err_dropped);
		ktap_result(KTAP_SKIP, name, why);
		return;
	}
	if (child_exited(&r, 0) || child_exited(&r, 1)) {
		ktap_quote("", r.err, r.err_len, r.err_dropped);
		ktap_result(child_exited(&r, 0) ? KTAP_PASS : KTAP_FAIL, name, nullptr);
		return;
	}
	diag_outcome(name, &r);
	ktap_result(KTAP_FAIL, name, nullptr);
}
