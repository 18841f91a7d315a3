// SPDX-License-Identifier: GPL-2.0-only
#include "hugepages.h"

#include "ktap.h"
#include "record.h"
#include "signals.h"
#include "util.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/vfs.h>
#include <unistd.h>

#define HUGETLBFS_MAGIC_ 0x958458f6
#define MADE_MARK HUGEPAGES_DIR "/.made-by-run_checks"
#define LOCK_MARGIN_S 15 // beyond another run's -t: its preparation and restore
#define MAX_TIMEOUT_S 86400

// The first of these that can hold a root-only directory holds the lock and
// the record: /run on Linux, /dev (a tmpfs there too) on Android. Never a
// place that another user can rename or write, such as /data/local/tmp.
static const char *const state_bases[] = {"/run", "/dev"};

static struct {
	char dir[48];
	int dir_fd = -1;
	int lock_fd = -1;
	int guardian_fd = -1; // the guardian sees it close when the runner ends
	int kernel_lock_fd = -1;
	struct record ch;
} st;

static void leave_namespace(void);

static bool is_hugetlbfs(const char *path)
{
	return fs_type_is(path, HUGETLBFS_MAGIC_);
}

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

static int open_state_dir(char *why, size_t size)
{
	int last = ENOENT;
	for (const char *base : state_bases) {
		if (!only_root_can_change(base)) {
			last = EPERM;
			continue;
		}
		snprintf(st.dir, sizeof(st.dir), "%s/kernel-checks", base);
		if (mkdir(st.dir, 0700) != 0 && errno != EEXIST) {
			last = errno;
			continue;
		}
		int fd = open(st.dir, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
		struct stat s;
		if (fd < 0)
			return say_why(why, size, "cannot open %s: %s", st.dir, strerror(errno));
		if (fstat(fd, &s) != 0 || s.st_uid != 0 || (s.st_mode & 077)) {
			close(fd);
			return say_why(why, size, "%s is not a directory that root alone can use",
				       st.dir);
		}
		return fd;
	}
	return say_why(why, size, "no place for the lock: no root-only %s or %s: %s",
		       state_bases[0], state_bases[1], strerror(last));
}

// Opens a file of the state directory without blocking on whatever sits at
// its name (a FIFO would hang the run); only a regular file will do.
static int open_state_file(const char *name, int flags, char *why, size_t size)
{
	int fd = openat(st.dir_fd, name, flags | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC, 0600);
	struct stat s;
	if (fd < 0)
		return say_why(why, size, "cannot open %s/%s: %s", st.dir, name, strerror(errno));
	if (fstat(fd, &s) != 0 || !S_ISREG(s.st_mode)) {
		close(fd);
		return say_why(why, size, "%s/%s is not a regular file", st.dir, name);
	}
	return fd;
}

// Waits a tenth of a second for a lock held on `fd`, unless told to stop.
static void wait_a_moment(int fd)
{
	struct pollfd p = {signals_fd(), POLLIN, 0};
	poll(&p, 1, 100);
	if (int sig = signals_pending_stop()) {
		close(fd);
		signals_stop(sig);
	}
}

// Writes a small file of the state directory whole; false if it could not.
static bool write_state_file(const char *name, const char *text, int n)
{
	int fd = openat(st.dir_fd, name,
			O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
	bool ok = fd >= 0 && write(fd, text, (size_t)n) == n;
	if (fd >= 0)
		close(fd);
	return ok;
}

// The count is one per kernel, the lock file one per /run. A lock on the
// count's own file holds across mount namespaces that share /proc (a
// container with a /proc of its own, or its own sysfs, still does not see
// it; see docs/run_checks.md).
static int take_kernel_lock(long deadline, int wait_s, int timeout_s, char *why, size_t size)
{
	int fd = open(NR_HUGEPAGES, O_RDONLY | O_CLOEXEC);
	if (fd < 0)
		return 0; // nothing to lock; the lock file alone serves
	if (deadline < 0)
		deadline = now_ms() + 1000L * (wait_s >= 0 ? wait_s : timeout_s + LOCK_MARGIN_S);
	while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
		if ((errno != EWOULDBLOCK && errno != EINTR) || now_ms() >= deadline) {
			close(fd);
			return say_why(why, size,
				       "another run holds %s (its lock is not in this %s)",
				       NR_HUGEPAGES, st.dir);
		}
		wait_a_moment(fd);
	}
	st.kernel_lock_fd = fd;
	return 0;
}

// Whether `fd` is still the file at `name` in the state directory.
static bool still_named(int fd, const char *name)
{
	struct stat held, named;
	return fstat(fd, &held) == 0 &&
	       fstatat(st.dir_fd, name, &named, AT_SYMLINK_NOFOLLOW) == 0 &&
	       held.st_dev == named.st_dev && held.st_ino == named.st_ino;
}

// Takes the lock, waiting while another run holds it. The holder's pid and
// -t are in the lock file, for the message and the wait.
static int take_lock(int wait_s, int timeout_s, char *why, size_t size)
{
	int fd = open_state_file("lock", O_RDWR | O_CREAT, why, size);
	if (fd < 0)
		return -1;
	long deadline = -1;
	while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
		if (errno != EWOULDBLOCK && errno != EINTR) {
			int e = errno;
			close(fd);
			return say_why(why, size, "cannot lock %s/lock: %s", st.dir, strerror(e));
		}
		char holder[64] = {};
		long pid = -1, t = -1;
		ssize_t n = pread(fd, holder, sizeof(holder) - 1, 0);
		if (n > 0)
			sscanf(holder, "%ld %ld", &pid, &t);
		if (t < 1 || t > MAX_TIMEOUT_S)
			t = timeout_s; // whatever the file says, no longer than -t may be
		if (deadline < 0)
			deadline = now_ms() + 1000L * (wait_s >= 0 ? wait_s : t + LOCK_MARGIN_S);
		if (now_ms() >= deadline) {
			close(fd);
			return say_why(why, size, "another run holds %s/lock (pid %ld)", st.dir,
				       pid);
		}
		wait_a_moment(fd);
	}
	if (!still_named(fd, "lock")) {
		// Its holder removed it as it finished: a later run may hold the
		// file at that name now, so that one is the lock.
		close(fd);
		close(st.dir_fd);
		st.dir_fd = open_state_dir(why, size);
		return st.dir_fd < 0 ? -1 : take_lock(wait_s, timeout_s, why, size);
	}
	char me[48];
	int n = snprintf(me, sizeof(me), "%d %d\n", (int)getpid(), timeout_s);
	if (ftruncate(fd, 0) != 0 || pwrite(fd, me, (size_t)n, 0) != n) {
		// Only the message and the wait of another run lose by this.
	}
	st.lock_fd = fd;
	return take_kernel_lock(deadline, wait_s, timeout_s, why, size);
	return 0;
}

// Records what is about to change before it changes. The record outlives
// the runner, not the machine: what it records does not outlive a boot.
static int write_record(void)
{
	char text[320], why[128];
	st.ch.pid = getpid();
	boot_id(st.ch.boot, sizeof(st.ch.boot));
	int n = record_format(&st.ch, text, sizeof(text));
	int fd = open_state_file("state.new", O_WRONLY | O_CREAT | O_TRUNC, why, sizeof(why));
	if (fd < 0)
		return -1;
	bool ok = write(fd, text, (size_t)n) == n;
	int saved = errno;
	close(fd);
	if (!ok || renameat(st.dir_fd, "state.new", st.dir_fd, "state") != 0) {
		errno = ok ? errno : saved ? saved : EIO;
		return -1;
	}
	return 0;
}

static int note_change(char *why, size_t size)
{
	if (write_record() == 0)
		return 0;
	return say_why(why, size, "cannot record what the run changes in %s: %s", st.dir,
		       strerror(errno));
}

static void drop_record(void)
{
	unlinkat(st.dir_fd, "state", 0);
}

// Puts back what `ch` says was changed, where it is still as the run left
// it, and says in `said` what it did. Returns whether all is as it was.
static bool put_back(struct record *ch, char *said, size_t size)
{
	bool ok = true;
	said[0] = '\0';
	long now = -1;
	read_long(NR_HUGEPAGES, &now);
	enum count_action count = record_count_action(ch, now);
	if (count == COUNT_LEAVE) {
		say_more(said, size,
			 "left nr_hugepages at %ld: not the %ld the run set (someone changed it "
			 "since)",
			 now, ch->set_pages);
	} else if (count == COUNT_RESTORE) {
		if (write_long(NR_HUGEPAGES, ch->found_pages) != 0) {
			say_more(said, size, "could not restore nr_hugepages to %ld: %s",
				 ch->found_pages, strerror(errno));
			ok = false;
		} else if (read_long(NR_HUGEPAGES, &now) != 0 || now != ch->found_pages) {
			say_more(said, size, "could not restore nr_hugepages to %ld: it reads %ld",
				 ch->found_pages, now);
			ok = false;
		} else {
			say_more(said, size, "restored nr_hugepages to %ld", ch->found_pages);
		}
	}
	if (ch->mount_id >= 0) {
		// An id of 0: the run could not learn it, and unmounts what is there.
		if ((ch->mount_id > 0 && mount_id(HUGEPAGES_DIR) != ch->mount_id) ||
		    !is_hugetlbfs(HUGEPAGES_DIR)) {
			if (is_hugetlbfs(HUGEPAGES_DIR))
				say_more(said, size,
					 "left the hugetlbfs at %s: not the one the run "
					 "mounted",
					 HUGEPAGES_DIR);
		} else if (umount(HUGEPAGES_DIR) == 0) {
			say_more(said, size, "unmounted %s", HUGEPAGES_DIR);
		} else if (errno == EBUSY && umount2(HUGEPAGES_DIR, MNT_DETACH) == 0) {
			say_more(said, size, "detached %s (it was busy)", HUGEPAGES_DIR);
		} else {
			say_more(said, size, "could not unmount %s: %s", HUGEPAGES_DIR,
				 strerror(errno));
			ok = false;
		}
	}
	struct stat s;
	if (ch->dir_ino && lstat(HUGEPAGES_DIR, &s) == 0) {
		if (!S_ISDIR(s.st_mode) || s.st_ino != ch->dir_ino)
			say_more(said, size, "left %s: not the directory the run made",
				 HUGEPAGES_DIR);
		else if ((unlink(MADE_MARK) == 0 || errno == ENOENT) && rmdir(HUGEPAGES_DIR) == 0)
			say_more(said, size, "removed %s", HUGEPAGES_DIR);
		else
			say_more(said, size, "left %s: %s", HUGEPAGES_DIR, strerror(errno));
	}
	if (ch->shm_ino && lstat(SHM_DIR, &s) == 0) {
		if (!S_ISDIR(s.st_mode) || s.st_ino != ch->shm_ino)
			say_more(said, size, "left %s: not the directory the run made", SHM_DIR);
		else if (rmdir(SHM_DIR) == 0)
			say_more(said, size, "removed %s", SHM_DIR);
		else
			say_more(said, size, "left %s: %s", SHM_DIR, strerror(errno));
	}
	*ch = record();
	return ok;
}

// Reads the record a run left. Returns 1 with `ch` filled, 0 when there is
// none or it is from an earlier boot (dropped), -1 when it cannot be used:
// then `why` says so and a damaged record is kept aside for a person.
static int read_record(struct record *ch, long *pid, char *said, size_t size)
{
	char text[320], id[64];
	int fd = openat(st.dir_fd, "state", O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
	struct stat s;
	if (fd < 0 && errno == ENOENT)
		return 0;
	if (fd < 0 || fstat(fd, &s) != 0 || !S_ISREG(s.st_mode)) {
		if (fd >= 0)
			close(fd);
		return say_why(said, size, "%s/state is not a regular file", st.dir);
	}
	ssize_t n = read(fd, text, sizeof(text) - 1);
	close(fd);
	text[n > 0 ? n : 0] = '\0';
	*ch = record();
	if (!record_parse(text, ch)) {
		renameat(st.dir_fd, "state", st.dir_fd, "state.damaged");
		*ch = record();
		return say_why(said, size,
			       "the record of an interrupted run cannot be read: kept as "
			       "%s/state.damaged, nothing of it put back",
			       st.dir);
	}
	*pid = ch->pid;
	boot_id(id, sizeof(id));
	if (strcmp(id, ch->boot) != 0) {
		snprintf(said, size, "dropped the record of run %ld: it is from an earlier boot",
			 *pid);
		drop_record();
		*ch = record();
		return 0;
	}
	return 1;
}

// The private directory of a new-file check that a killed run left: the
// file "newdir" names it by device, inode and absolute path.
void hugepages_guard_dir(const char *path, int dir_fd)
{
	char cwd[2048] = "", text[4200];
	struct stat s;
	if (st.dir_fd < 0 || fstat(dir_fd, &s) != 0 ||
	    (path[0] != '/' && !getcwd(cwd, sizeof(cwd))))
		return;
	int n = snprintf(text, sizeof(text), "%lu %lu\n%s%s%s", (unsigned long)s.st_dev,
			 (unsigned long)s.st_ino, cwd, cwd[0] ? "/" : "", path);
	// Unguarded if it fails: only what a SIGKILL leaves is at stake.
	write_state_file("newdir", text, n);
}

void hugepages_unguard_dir(void)
{
	if (st.dir_fd >= 0)
		unlinkat(st.dir_fd, "newdir", 0);
}

// Removes the directory "newdir" names if it is still the one the run made,
// with the file the check made in it.
static void remove_left_dir(char *said, size_t size)
{
	char text[4200];
	unsigned long dev, ino;
	int n;
	if (read_text_at(st.dir_fd, "newdir", text, sizeof(text)) <= 0 ||
	    sscanf(text, "%lu %lu\n%n", &dev, &ino, &n) != 2)
		return;
	const char *path = text + n;
	int fd = open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
	struct stat s;
	if (fd >= 0 && fstat(fd, &s) == 0 && s.st_dev == dev && s.st_ino == ino) {
		unlinkat(fd, "new_file", 0);
		struct stat again;
		if (lstat(path, &again) == 0 && again.st_ino == ino && rmdir(path) == 0)
			say_more(said, size, "removed %s", path);
	}
	if (fd >= 0)
		close(fd);
	unlinkat(st.dir_fd, "newdir", 0);
}

// Puts back what a run that died (SIGKILL, a fault, its guardian killed
// too) left changed, and says what its guardian did, if it did.
static int recover(char *why, size_t size)
{
	char said[512] = "", guarded[512];
	struct record ch;
	long pid = -1;
	if (read_text_at(st.dir_fd, "guardian", guarded, sizeof(guarded)) > 0) {
		guarded[strcspn(guarded, "\n")] = '\0';
		ktap_diag("%s", guarded);
		unlinkat(st.dir_fd, "guardian", 0);
	}
	char left[4200] = "";
	remove_left_dir(left, sizeof(left));
	if (left[0])
		ktap_diag("an interrupted run's new-file check: %s", left);
	int got = read_record(&ch, &pid, said, sizeof(said));
	if (said[0])
		ktap_diag("%s", said);
	if (got < 0 && strstr(said, "regular"))
		return say_why(why, size, "%s", said);
	if (got <= 0)
		return 0;
	bool ok = put_back(&ch, said, sizeof(said));
	if (!ok)
		ktap_diag("could not put back all that an interrupted run (pid %ld) changed: %s; "
			  "the rest is left as it is",
			  pid, said);
	else
		ktap_diag("recovered from an interrupted run: %s", said);
	drop_record();
	return 0;
}

// The guardian: a process of a session of its own, holding nothing of the
// runner's but the lock (so no other run starts before it is done) and the
// state directory. It waits for the runner to end; if the runner ended
// without putting back (SIGKILL, a fault), it does so at once.
[[noreturn]] static void guard(int watch)
{
	pid_t runner = getppid();
	setsid();
	signal(SIGHUP, SIG_IGN);
	signal(SIGINT, SIG_IGN);
	signal(SIGTERM, SIG_IGN);
	signal(SIGPIPE, SIG_IGN);
	sigset_t none;
	sigemptyset(&none);
	sigprocmask(SIG_SETMASK, &none, nullptr);
	int keep[] = {watch, st.dir_fd, st.lock_fd, st.kernel_lock_fd};
	for (int fd = 0; fd < 3; fd++) {
		close(fd);
		open("/dev/null", O_RDWR);
	}
	for (int fd = 3; fd < 1024; fd++)
		if (fd != keep[0] && fd != keep[1] && fd != keep[2] && fd != keep[3])
			close(fd);
	close_from(1024, false);
	char buf[1];
	while (read(watch, buf, 1) < 0 && errno == EINTR) {
	}
	struct record ch;
	long pid = -1;
	static char note[512], said[4700], line[4800];
	if (read_record(&ch, &pid, note, sizeof(note)) == 1) {
		put_back(&ch, said, sizeof(said));
		drop_record();
	}
	remove_left_dir(said, sizeof(said));
	if (said[0]) {
		int n = snprintf(line, sizeof(line),
				 "run %ld ended without putting back; its guardian did: %s\n",
				 (long)runner, said);
		// If it fails, the next run merely will not say what it did.
		write_state_file("guardian", line, n);
	}
	_exit(0);
}

static int start_guardian(char *why, size_t size)
{
	int p[2];
	if (pipe2(p, O_CLOEXEC) != 0)
		return say_why(why, size, "cannot start a guardian: pipe: %s", strerror(errno));
	pid_t pid = fork();
	if (pid == 0) {
		close(p[1]);
		guard(p[0]);
	}
	close(p[0]);
	if (pid < 0) {
		close(p[1]);
		return say_why(why, size, "cannot start a guardian: fork: %s", strerror(errno));
	}
	st.guardian_fd = p[1];
	return 0;
}

// The run leaves no state behind: the lock file and the directory go, still
// locked, unless a record waits there for the next run. A run that waited on
// the file finds it gone from its name and takes the lock anew.
static void remove_state(void)
{
	if (st.lock_fd < 0 || !still_named(st.lock_fd, "lock"))
		return;
	static const char *const records[] = {"state", "newdir", "guardian"};
	for (const char *record : records) {
		struct stat s;
		if (fstatat(st.dir_fd, record, &s, AT_SYMLINK_NOFOLLOW) == 0 || errno != ENOENT)
			return;
	}
	unlinkat(st.dir_fd, "lock", 0);
	rmdir(st.dir); // not if anything else is in it
}

static void release(void)
{
	remove_state();
	int *fds[] = {&st.lock_fd, &st.kernel_lock_fd, &st.dir_fd, &st.guardian_fd};
	for (int *fd : fds) {
		if (*fd >= 0)
			close(*fd);
		*fd = -1;
	}
}

void hugepages_restore(void)
{
	leave_namespace();
	if (st.ch.found_pages >= 0 || st.ch.mount_id >= 0 || st.ch.dir_ino || st.ch.shm_ino) {
		char said[512];
		bool ok = put_back(&st.ch, said, sizeof(said));
		ktap_diag("put back: %s", said);
		if (ok)
			drop_record();
		else
			ktap_diag("the record stays in %s/state for the next run", st.dir);
	}
}

void hugepages_release(void)
{
	release();
}

static void restore_at_stop(int)
{
	hugepages_restore();
}

static int skip_and_restore(int result)
{
	hugepages_restore();
	return result;
}

// A scratch name that the check's unlink cannot clear, and whose it is.
static int planted(const char *path, char *why, size_t size)
{
	struct stat s;
	if (lstat(path, &s) != 0 || S_ISREG(s.st_mode))
		return 0;
	return say_why(why, size, "%s exists and is not a regular file (owner uid %u)", path,
		       (unsigned)s.st_uid);
}

// /dev/shm must take the check's 16 MiB file.
static int shm_unfit(char *why, size_t size)
{
	struct statvfs vfs;
	if (statvfs("/dev/shm", &vfs) != 0)
		return say_why(why, size, "/dev/shm: %s", strerror(errno));
	if (vfs.f_flag & ST_RDONLY)
		return say_why(why, size, "/dev/shm is read-only");
	unsigned long long free_kb = (unsigned long long)vfs.f_bfree * vfs.f_frsize / 1024;
	ktap_diag("/dev/shm: %llu kB and %llu inodes free", free_kb,
		  (unsigned long long)vfs.f_ffree);
	if (vfs.f_files != 0 && vfs.f_ffree == 0)
		return say_why(why, size, "/dev/shm has no inode free for the check's file");
	if (free_kb < RSS_LENGTH / 1024)
		return say_why(why, size, "/dev/shm has %llu kB free; the check needs %lld kB",
			       free_kb, RSS_LENGTH / 1024);
	return planted(SHM_SCRATCH, why, size);
}

// A hugetlbfs that was at /hugepages already must be one the check can use.
static int hugetlbfs_unfit(long page_kb, char *why, size_t size)
{
	struct statvfs vfs;
	if (statvfs(HUGEPAGES_DIR, &vfs) != 0)
		return say_why(why, size, "%s: %s", HUGEPAGES_DIR, strerror(errno));
	if (vfs.f_flag & ST_RDONLY)
		return say_why(why, size, "the hugetlbfs at %s is read-only", HUGEPAGES_DIR);
	if ((long)(vfs.f_bsize / 1024) != page_kb)
		return say_why(why, size,
			       "the hugetlbfs at %s has pages of %ld kB, not the default %ld kB",
			       HUGEPAGES_DIR, (long)(vfs.f_bsize / 1024), page_kb);
	return planted(HUGETLBFS_SCRATCH, why, size);
}

// The check's own mount namespace: a fresh tmpfs at /dev/shm and a fresh
// hugetlbfs at /hugepages that no one else sees, fills or plants names in,
// gone with the namespace whatever ends the run. The runner enters it for
// the check and the measurement only, and then goes back to the machine's,
// where the new-file checks see the directories as the tester named them.
static struct {
	int host_ns = -1, root_fd = -1, cwd_fd = -1;
	bool inside;
} ns;

static void close_ns_fds(void)
{
	int *fds[] = {&ns.host_ns, &ns.root_fd, &ns.cwd_fd};
	for (int *fd : fds) {
		if (*fd >= 0)
			close(*fd);
		*fd = -1;
	}
}

static void leave_namespace(void)
{
	if (ns.inside) {
		// setns() puts the root and the working directory at the
		// namespace's; both go back to what they were (a chroot too).
		if (setns(ns.host_ns, CLONE_NEWNS) != 0 || fchdir(ns.root_fd) != 0 ||
		    chroot(".") != 0 || fchdir(ns.cwd_fd) != 0)
			_exit(2); // cannot happen to root; never go on in the wrong place
		ns.inside = false;
	}
	close_ns_fds();
}

// Returns 1 inside the namespace, 0 where none can be had (then the
// machine's own mounts serve, as the diagnostic says), -1 to skip.
static int enter_namespace(char *why, size_t size)
{
	ns.host_ns = open("/proc/self/ns/mnt", O_RDONLY | O_CLOEXEC);
	int e = errno;
	ns.root_fd = open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
	ns.cwd_fd = open(".", O_PATH | O_DIRECTORY | O_CLOEXEC);
	if (ns.root_fd < 0 || ns.cwd_fd < 0 || (ns.host_ns < 0 && (e == EMFILE || e == ENFILE))) {
		e = ns.host_ns < 0 ? e : errno;
		close_ns_fds();
		return say_why(why, size, "cannot open a mount namespace for the check: %s",
			       strerror(e));
	}
	const char *what = "/proc/self/ns/mnt";
	if (ns.host_ns >= 0) {
		what = "unshare";
		if (unshare(CLONE_NEWNS) == 0) {
			ns.inside = true;
			what = "private propagation";
			if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0)
				return 1;
			e = errno;
		} else {
			e = errno;
		}
	}
	leave_namespace();
	ktap_diag("no mount namespace for the check (%s: %s): it uses the machine's /dev/shm "
		  "and %s",
		  what, strerror(e), HUGEPAGES_DIR);
	return 0;
}

// Android has no /dev/shm: the check's tmpfs gets a mount point of the
// run's own, recorded like the rest and removed after.
static int make_shm_dir(char *why, size_t size)
{
	struct stat s;
	if (mkdir(SHM_DIR, 0755) != 0 || lstat(SHM_DIR, &s) != 0)
		return say_why(why, size, "no %s, and cannot make one: %s", SHM_DIR,
			       strerror(errno));
	st.ch.shm_ino = s.st_ino;
	if (note_change(why, size) < 0)
		return -1;
	ktap_diag("made %s, which this system lacks, for the check's tmpfs", SHM_DIR);
	return 0;
}

static int mount_private(long page_kb, char *why, size_t size)
{
	struct stat s;
	if (lstat(SHM_DIR, &s) != 0 && errno == ENOENT && make_shm_dir(why, size) < 0)
		return -1;
	if (stat(SHM_DIR, &s) != 0 || !S_ISDIR(s.st_mode))
		return say_why(why, size, "no %s to mount a tmpfs at", SHM_DIR);
	if (mount("tmpfs", "/dev/shm", "tmpfs", MS_NOSUID | MS_NODEV, "mode=1777,size=64m") != 0)
		return say_why(why, size, "cannot mount a tmpfs at /dev/shm: %s", strerror(errno));
	if (mount("none", HUGEPAGES_DIR, "hugetlbfs", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) !=
	    0)
		return say_why(why, size, "cannot mount hugetlbfs at %s: %s", HUGEPAGES_DIR,
			       strerror(errno));
	ktap_diag("mounted a tmpfs at /dev/shm and hugetlbfs at %s (%ld kB pages) in a mount "
		  "namespace of the check's own",
		  HUGEPAGES_DIR, page_kb);
	return 0;
}

int hugepages_recheck(char *why, size_t size)
{
	if (ns.inside)
		return 0;
	// The machine's own /dev/shm: another user may have planted a name
	// since the first look.
	if (planted(SHM_SCRATCH, why, size) < 0 || planted(HUGETLBFS_SCRATCH, why, size) < 0) {
		hugepages_restore();
		return -1;
	}
	return 0;
}

// A /hugepages that holds nothing but the runner's mark, and no mount: a
// run made it and the machine rebooted before it was removed.
static bool made_before_a_reboot(void)
{
	struct stat s;
	if (is_hugetlbfs(HUGEPAGES_DIR) || lstat(MADE_MARK, &s) != 0 || !S_ISREG(s.st_mode))
		return false;
	int entries = 0;
	if (DIR *d = opendir(HUGEPAGES_DIR)) {
		while (readdir(d))
			entries++;
		closedir(d);
	}
	return entries == 3; // ".", ".." and the mark
}

// Whether the kernel offers hugetlbfs: 1 or 0, or -1 with errno when
// /proc/filesystems cannot be read (then nothing is known of it).
static int kernel_has_hugetlbfs(void)
{
	static char text[8192];
	if (read_text("/proc/filesystems", text, sizeof(text)) < 0)
		return -1;
	return strstr(text, "\thugetlbfs\n") != nullptr;
}

// Reserves what the check's own request asks for, so that a missing shell
// (as on Android) cannot turn into a false failure, and sees that the check
// will find enough of them free.
static int reserve(long saved, long page_kb, char *why, size_t size)
{
	long got = -1;
	if (write_long(NR_HUGEPAGES, RSS_PAGES) != 0)
		return say_why(why, size, "cannot write %s: %s", NR_HUGEPAGES, strerror(errno));
	read_long(NR_HUGEPAGES, &got);
	long free_pages = text_field("/proc/meminfo", "HugePages_Free:") -
			  text_field("/proc/meminfo", "HugePages_Rsvd:");
	long need = RSS_LENGTH / 1024 / page_kb;
	ktap_diag("%s: %ld, set to %ld for the check (huge page %ld kB, %ld free)", NR_HUGEPAGES,
		  saved, got, page_kb, free_pages);
	if (free_pages < need)
		return say_why(
		    why, size,
		    "only %ld huge pages of %ld kB are free (of %ld); the check needs %ld",
		    free_pages, page_kb, got, need);
	return 0;
}

int hugepages_prepare(int wait_s, int timeout_s, struct hugepages_info *info, char *why,
		      size_t size)
{
	long pages;
	struct stat s;

	memset(info, 0, sizeof(*info));
	if (geteuid() != 0)
		return say_why(why, size, "needs root to mount %s and write %s", HUGEPAGES_DIR,
			       NR_HUGEPAGES);
	// Without hugetlbfs (Android's GKI kernels) there is no count to write
	// either: say the cause, not its symptom.
	int hugetlbfs = kernel_has_hugetlbfs();
	if (hugetlbfs < 0)
		return say_why(why, size, "cannot read /proc/filesystems: %s", strerror(errno));
	if (!hugetlbfs)
		return say_why(why, size, "the kernel has no hugetlbfs");
	int fd = open(NR_HUGEPAGES, O_WRONLY | O_CLOEXEC);
	if (fd < 0)
		return say_why(why, size, "cannot write %s: %s", NR_HUGEPAGES, strerror(errno));
	close(fd);

	st.dir_fd = open_state_dir(why, size);
	if (st.dir_fd < 0)
		return -1;
	snprintf(info->lock_path, sizeof(info->lock_path), "%s/lock", st.dir);
	if (take_lock(wait_s, timeout_s, why, size) < 0 || start_guardian(why, size) < 0 ||
	    recover(why, size) < 0)
		return skip_and_restore(-1);
	static bool registered;
	if (!registered)
		signals_at_stop(restore_at_stop);
	registered = true;
	if (read_long(NR_HUGEPAGES, &pages) < 0)
		return skip_and_restore(
		    say_why(why, size, "cannot read %s: %s", NR_HUGEPAGES, strerror(errno)));
	info->page_kb = text_field("/proc/meminfo", "Hugepagesize:");
	if (info->page_kb <= 0)
		return skip_and_restore(say_why(why, size, "no Hugepagesize in /proc/meminfo"));
	info->fits = RSS_LENGTH / 1024 % info->page_kb == 0;
	bool exists = lstat(HUGEPAGES_DIR, &s) == 0;
	if (exists && !S_ISDIR(s.st_mode))
		return skip_and_restore(
		    say_why(why, size, "%s exists and is not a directory", HUGEPAGES_DIR));
	int private_ns = enter_namespace(why, size);
	if (private_ns < 0)
		return skip_and_restore(-1);
	bool mounted = !private_ns && exists && is_hugetlbfs(HUGEPAGES_DIR);
	if (!private_ns && (shm_unfit(why, size) < 0 ||
			    (mounted && hugetlbfs_unfit(info->page_kb, why, size) < 0)))
		return skip_and_restore(-1);

	// Each change is recorded as soon as it can be named: the count before
	// it is written, the directory and the mount by their identity just
	// after they are made, so that a replay touches only what the run made.
	if (exists && made_before_a_reboot()) {
		ktap_diag("%s holds only the mark of a run before a reboot: removed after this run",
			  HUGEPAGES_DIR);
		st.ch.dir_ino = s.st_ino;
		if (note_change(why, size) < 0)
			return skip_and_restore(-1);
	}
	if (!exists) {
		// The mark inside tells a later boot, whose /run holds no record,
		// that the directory is the runner's to remove.
		if (mkdir(HUGEPAGES_DIR, 0755) != 0 || lstat(HUGEPAGES_DIR, &s) != 0)
			return skip_and_restore(say_why(why, size, "cannot make %s: %s",
							HUGEPAGES_DIR, strerror(errno)));
		st.ch.dir_ino = s.st_ino;
		int mark =
		    open(MADE_MARK, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
		if (mark >= 0)
			close(mark);
		if (note_change(why, size) < 0)
			return skip_and_restore(-1);
	}
	if (private_ns && mount_private(info->page_kb, why, size) < 0)
		return skip_and_restore(-1);
	if (!private_ns && !mounted) {
		if (mount("none", HUGEPAGES_DIR, "hugetlbfs", MS_NOSUID | MS_NODEV | MS_NOEXEC,
			  nullptr) != 0)
			return skip_and_restore(say_why(why, size,
							"cannot mount hugetlbfs at %s: %s",
							HUGEPAGES_DIR, strerror(errno)));
		st.ch.mount_id = mount_id(HUGEPAGES_DIR);
		if (st.ch.mount_id < 0)
			st.ch.mount_id = 0; // unknown, yet it must be undone
		if (note_change(why, size) < 0)
			return skip_and_restore(-1);
		ktap_diag("mounted hugetlbfs at %s", HUGEPAGES_DIR);
	}
	if (!info->fits) {
		// The check stops at sizing its hugetlbfs file, before its own
		// request: 100 pages of 1 GiB would take 100 GiB for nothing.
		ktap_diag("the default huge page (%ld kB) does not divide 16 MiB: no huge pages "
			  "reserved",
			  info->page_kb);
		return 0;
	}
	st.ch.found_pages = pages;
	st.ch.set_pages = RSS_PAGES;
	if (note_change(why, size) < 0) {
		st.ch.found_pages = -1; // not written: nothing to put back
		return skip_and_restore(-1);
	}
	if (reserve(pages, info->page_kb, why, size) < 0)
		return skip_and_restore(-1);
	info->reserved = true;
	return 0;
}
