#include "hugepages.h"

#include "child.h"
#include "ktap.h"
#include "signals.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdarg.h>
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
#define LOCK_MARGIN_S 15 // beyond another run's -t: its preparation and restore

// The first of these that can hold a root-only directory holds the lock and
// the record: /run on Linux, /dev (a tmpfs there too) on Android. The record
// names the boot it was made in, as the settings it keeps do not outlive it.
static const char *const state_bases[] = {"/run", "/dev", "/data/local/tmp"};

// What this run has changed (or a killed run had, while it is put back).
static struct {
	char dir[48];
	int dir_fd = -1;
	int lock_fd = -1;
	long saved_pages = -1; // -1: the count is not touched
	bool mounted;
	bool made_dir;
} st;

static ssize_t read_text(const char *path, char *buf, size_t size)
{
	int fd = open(path, O_RDONLY | O_CLOEXEC);
	if (fd < 0)
		return -1;
	ssize_t n = read(fd, buf, size - 1);
	int saved = errno;
	close(fd);
	buf[n > 0 ? n : 0] = '\0';
	errno = saved;
	return n;
}

static int read_long(const char *path, long *value)
{
	char buf[64];
	if (read_text(path, buf, sizeof(buf)) <= 0)
		return -1;
	*value = strtol(buf, nullptr, 10);
	return 0;
}

static int write_long(const char *path, long value)
{
	char buf[32];
	int n = snprintf(buf, sizeof(buf), "%ld\n", value);
	int fd = open(path, O_WRONLY | O_CLOEXEC);
	if (fd < 0)
		return -1;
	ssize_t w = write(fd, buf, (size_t)n);
	int saved = errno;
	close(fd);
	errno = saved;
	return w == n ? 0 : -1;
}

long hugepages_field(const char *path, const char *key)
{
	static char text[16384];
	if (read_text(path, text, sizeof(text)) <= 0)
		return -1;
	const char *at = strstr(text, key);
	return at ? strtol(at + strlen(key), nullptr, 10) : -1;
}

static bool is_hugetlbfs(const char *path)
{
	struct statfs fs;
	return statfs(path, &fs) == 0 && (unsigned long)fs.f_type == HUGETLBFS_MAGIC_;
}

static int fail(char *why, size_t size, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
static int fail(char *why, size_t size, const char *fmt, ...)
{
	va_list ap;
	va_start(ap, fmt);
	vsnprintf(why, size, fmt, ap);
	va_end(ap);
	return -1;
}

static void boot_id(char *id, size_t size)
{
	if (read_text("/proc/sys/kernel/random/boot_id", id, size) <= 0)
		snprintf(id, size, "unknown");
	id[strcspn(id, "\n")] = '\0';
}

static int open_state_dir(char *why, size_t size)
{
	int last = ENOENT;
	for (const char *base : state_bases) {
		snprintf(st.dir, sizeof(st.dir), "%s/kernel-checks", base);
		if (mkdir(st.dir, 0700) != 0 && errno != EEXIST) {
			last = errno;
			continue;
		}
		int fd = open(st.dir, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
		struct stat s;
		if (fd < 0)
			return fail(why, size, "cannot open %s: %s", st.dir, strerror(errno));
		if (fstat(fd, &s) != 0 || s.st_uid != 0 || (s.st_mode & 077)) {
			close(fd);
			return fail(why, size, "%s is not a directory that root alone can use",
				    st.dir);
		}
		return fd;
	}
	return fail(why, size, "no place for the lock: cannot make %s/kernel-checks: %s",
		    state_bases[0], strerror(last));
}

// Takes the lock, waiting while another run holds it. The holder's pid and
// -t are in the lock file, for the message and the wait.
static int take_lock(int wait_s, int timeout_s, char *why, size_t size)
{
	int fd = openat(st.dir_fd, "lock", O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
	if (fd < 0)
		return fail(why, size, "cannot open %s/lock: %s", st.dir, strerror(errno));
	long deadline = -1;
	while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
		if (errno != EWOULDBLOCK && errno != EINTR) {
			int e = errno;
			close(fd);
			return fail(why, size, "cannot lock %s/lock: %s", st.dir, strerror(e));
		}
		char holder[64] = {};
		long pid = -1, t = -1;
		ssize_t n = pread(fd, holder, sizeof(holder) - 1, 0);
		if (n > 0)
			sscanf(holder, "%ld %ld", &pid, &t);
		if (deadline < 0)
			deadline = now_ms() +
				   1000L * (wait_s >= 0 ? wait_s
							: (t > 0 ? t : timeout_s) + LOCK_MARGIN_S);
		if (now_ms() >= deadline) {
			close(fd);
			return fail(why, size, "another run holds %s/lock (pid %ld)", st.dir, pid);
		}
		struct pollfd p = {signals_fd(), POLLIN, 0};
		poll(&p, 1, 100);
		if (int sig = signals_pending_stop()) {
			close(fd);
			signals_stop(sig);
		}
	}
	char me[48];
	int n = snprintf(me, sizeof(me), "%d %d\n", (int)getpid(), timeout_s);
	if (ftruncate(fd, 0) != 0 || pwrite(fd, me, (size_t)n, 0) != n) {
		// Only the message and the wait of another run lose by this.
	}
	st.lock_fd = fd;
	return 0;
}

// Records what is about to change, durably, before it changes.
static int write_record(void)
{
	char id[64], text[256];
	boot_id(id, sizeof(id));
	int n = snprintf(text, sizeof(text),
			 "pid %d\nboot %s\nnr_hugepages %ld\nmounted %d\nmade_dir %d\n",
			 (int)getpid(), id, st.saved_pages, st.mounted, st.made_dir);
	int fd = openat(st.dir_fd, "state.new",
			O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
	if (fd < 0)
		return -1;
	bool ok = write(fd, text, (size_t)n) == n && fsync(fd) == 0;
	int saved = errno;
	close(fd);
	if (!ok || renameat(st.dir_fd, "state.new", st.dir_fd, "state") != 0) {
		errno = ok ? errno : saved;
		return -1;
	}
	fsync(st.dir_fd);
	return 0;
}

static void drop_record(void)
{
	unlinkat(st.dir_fd, "state", 0);
	fsync(st.dir_fd);
}

static void say(char *said, size_t size, const char *fmt, ...)
    __attribute__((format(printf, 3, 4)));
static void say(char *said, size_t size, const char *fmt, ...)
{
	size_t n = strlen(said);
	if (n && n + 2 < size) {
		strcpy(said + n, ", ");
		n += 2;
	}
	va_list ap;
	va_start(ap, fmt);
	vsnprintf(said + n, size - n, fmt, ap);
	va_end(ap);
}

// Puts back what `st` says was changed, and says in `said` what it did.
// Returns whether everything is as it was.
static bool put_back(char *said, size_t size)
{
	bool ok = true;
	said[0] = '\0';
	if (st.saved_pages >= 0) {
		long now = -1;
		if (write_long(NR_HUGEPAGES, st.saved_pages) != 0) {
			say(said, size, "could not restore nr_hugepages to %ld: %s", st.saved_pages,
			    strerror(errno));
			ok = false;
		} else if (read_long(NR_HUGEPAGES, &now) != 0 || now != st.saved_pages) {
			say(said, size, "could not restore nr_hugepages to %ld: it reads %ld",
			    st.saved_pages, now);
			ok = false;
		} else {
			say(said, size, "restored nr_hugepages to %ld", st.saved_pages);
		}
	}
	if (st.mounted && is_hugetlbfs(HUGEPAGES_DIR)) {
		if (umount(HUGEPAGES_DIR) == 0) {
			say(said, size, "unmounted %s", HUGEPAGES_DIR);
		} else if (errno == EBUSY && umount2(HUGEPAGES_DIR, MNT_DETACH) == 0) {
			say(said, size, "detached %s (it was busy)", HUGEPAGES_DIR);
		} else {
			say(said, size, "could not unmount %s: %s", HUGEPAGES_DIR, strerror(errno));
			ok = false;
		}
	}
	if (st.made_dir) {
		if (rmdir(HUGEPAGES_DIR) == 0) {
			say(said, size, "removed %s", HUGEPAGES_DIR);
		} else if (errno != ENOENT) {
			say(said, size, "could not remove %s: %s", HUGEPAGES_DIR, strerror(errno));
			ok = false;
		}
	}
	st.saved_pages = -1;
	st.mounted = st.made_dir = false;
	return ok;
}

// Puts back what a run that died (SIGKILL, a fault) left changed.
static int recover(char *why, size_t size)
{
	char text[256] = {}, id[64], their_id[64] = {};
	long pid = -1;
	int mounted = 0, made_dir = 0;

	int fd = openat(st.dir_fd, "state", O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
	if (fd < 0 && errno == ENOENT)
		return 0;
	if (fd < 0)
		return fail(why, size, "cannot read %s/state: %s", st.dir, strerror(errno));
	ssize_t n = read(fd, text, sizeof(text) - 1);
	close(fd);
	boot_id(id, sizeof(id));
	if (n <= 0 ||
	    sscanf(text, "pid %ld boot %63s nr_hugepages %ld mounted %d made_dir %d", &pid,
		   their_id, &st.saved_pages, &mounted, &made_dir) != 5 ||
	    strcmp(id, their_id) != 0) {
		ktap_diag("dropped the record of an interrupted run (pid %ld): %s", pid,
			  strcmp(id, their_id) ? "it is from an earlier boot"
					       : "it cannot be read");
		st.saved_pages = -1;
		drop_record();
		return 0;
	}
	st.mounted = mounted;
	st.made_dir = made_dir;
	char said[256];
	if (!put_back(said, sizeof(said)))
		return fail(why, size,
			    "could not put back what an interrupted run (pid %ld) changed: %s", pid,
			    said);
	ktap_diag("recovered from an interrupted run: %s", said);
	drop_record();
	return 0;
}

static void release(void)
{
	if (st.lock_fd >= 0)
		close(st.lock_fd);
	if (st.dir_fd >= 0)
		close(st.dir_fd);
	st.lock_fd = st.dir_fd = -1;
}

void hugepages_restore(void)
{
	if (st.saved_pages >= 0 || st.mounted || st.made_dir) {
		char said[512];
		bool ok = put_back(said, sizeof(said));
		ktap_diag("put back: %s", said);
		if (ok)
			drop_record();
		else
			ktap_diag("the record stays in %s/state for the next run", st.dir);
	}
	release();
}

static int skip_and_restore(int result)
{
	hugepages_restore();
	return result;
}

// A scratch name that the check's unlink cannot clear.
static bool not_a_file(const char *path)
{
	struct stat s;
	return lstat(path, &s) == 0 && !S_ISREG(s.st_mode);
}

// /dev/shm must take the check's 16 MiB file.
static int shm_unfit(char *why, size_t size)
{
	struct statvfs vfs;
	if (statvfs("/dev/shm", &vfs) != 0)
		return fail(why, size, "/dev/shm: %s", strerror(errno));
	if (vfs.f_flag & ST_RDONLY)
		return fail(why, size, "/dev/shm is read-only");
	unsigned long long free_kb = (unsigned long long)vfs.f_bavail * vfs.f_frsize / 1024;
	if (free_kb < RSS_LENGTH / 1024)
		return fail(why, size, "/dev/shm has %llu kB free; the check needs %lld kB",
			    free_kb, RSS_LENGTH / 1024);
	if (not_a_file("/dev/shm/hugetlbhog"))
		return fail(why, size, "/dev/shm/hugetlbhog exists and is not a regular file");
	return 0;
}

// A hugetlbfs that was at /hugepages already must be one the check can use.
static int hugetlbfs_unfit(long page_kb, char *why, size_t size)
{
	struct statvfs vfs;
	if (statvfs(HUGEPAGES_DIR, &vfs) != 0)
		return fail(why, size, "%s: %s", HUGEPAGES_DIR, strerror(errno));
	if (vfs.f_flag & ST_RDONLY)
		return fail(why, size, "the hugetlbfs at %s is read-only", HUGEPAGES_DIR);
	if ((long)(vfs.f_bsize / 1024) != page_kb)
		return fail(why, size,
			    "the hugetlbfs at %s has pages of %ld kB, not the default %ld kB",
			    HUGEPAGES_DIR, (long)(vfs.f_bsize / 1024), page_kb);
	if (not_a_file(HUGEPAGES_DIR "/hugetlbhog"))
		return fail(why, size, "%s/hugetlbhog exists and is not a regular file",
			    HUGEPAGES_DIR);
	return 0;
}

static bool kernel_has_hugetlbfs(void)
{
	static char text[8192];
	return read_text("/proc/filesystems", text, sizeof(text)) > 0 &&
	       strstr(text, "\thugetlbfs\n") != nullptr;
}

// Reserves what the check's own request asks for, so that a missing shell
// (as on Android) cannot turn into a false failure, and sees that the check
// will find enough of them free.
static int reserve(long saved, long page_kb, char *why, size_t size)
{
	long got = -1;
	if (write_long(NR_HUGEPAGES, RSS_PAGES) != 0)
		return fail(why, size, "cannot write %s: %s", NR_HUGEPAGES, strerror(errno));
	read_long(NR_HUGEPAGES, &got);
	long free_pages = hugepages_field("/proc/meminfo", "HugePages_Free:") -
			  hugepages_field("/proc/meminfo", "HugePages_Rsvd:");
	long need = RSS_LENGTH / 1024 / page_kb;
	ktap_diag("%s: %ld, set to %ld for the check (huge page %ld kB, %ld free)", NR_HUGEPAGES,
		  saved, got, page_kb, free_pages);
	if (free_pages < need)
		return fail(why, size,
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
		return fail(why, size, "needs root to mount %s and write %s", HUGEPAGES_DIR,
			    NR_HUGEPAGES);
	int fd = open(NR_HUGEPAGES, O_WRONLY | O_CLOEXEC);
	if (fd < 0)
		return fail(why, size, "cannot write %s: %s", NR_HUGEPAGES, strerror(errno));
	close(fd);
	if (!kernel_has_hugetlbfs())
		return fail(why, size, "the kernel has no hugetlbfs");

	st.dir_fd = open_state_dir(why, size);
	if (st.dir_fd < 0)
		return -1;
	snprintf(info->lock_path, sizeof(info->lock_path), "%s/lock", st.dir);
	if (take_lock(wait_s, timeout_s, why, size) < 0 || recover(why, size) < 0)
		return skip_and_restore(-1);
	if (read_long(NR_HUGEPAGES, &pages) < 0)
		return skip_and_restore(
		    fail(why, size, "cannot read %s: %s", NR_HUGEPAGES, strerror(errno)));
	info->page_kb = hugepages_field("/proc/meminfo", "Hugepagesize:");
	if (info->page_kb <= 0)
		return skip_and_restore(fail(why, size, "no Hugepagesize in /proc/meminfo"));
	info->fits = RSS_LENGTH / 1024 % info->page_kb == 0;
	if (shm_unfit(why, size) < 0)
		return skip_and_restore(-1);
	bool exists = lstat(HUGEPAGES_DIR, &s) == 0;
	if (exists && !S_ISDIR(s.st_mode))
		return skip_and_restore(
		    fail(why, size, "%s exists and is not a directory", HUGEPAGES_DIR));
	bool mounted = exists && is_hugetlbfs(HUGEPAGES_DIR);
	if (mounted && hugetlbfs_unfit(info->page_kb, why, size) < 0)
		return skip_and_restore(-1);

	st.made_dir = !exists;
	st.mounted = !mounted;
	st.saved_pages = info->fits ? pages : -1;
	if ((st.made_dir || st.mounted || info->fits) && write_record() != 0) {
		int e = errno;
		st.saved_pages = -1;
		st.made_dir = st.mounted = false;
		return skip_and_restore(fail(why, size,
					     "cannot record what the run changes in %s: %s", st.dir,
					     strerror(e)));
	}
	if (st.made_dir && mkdir(HUGEPAGES_DIR, 0755) != 0) {
		st.made_dir = false;
		return skip_and_restore(
		    fail(why, size, "cannot make %s: %s", HUGEPAGES_DIR, strerror(errno)));
	}
	if (st.mounted && mount("none", HUGEPAGES_DIR, "hugetlbfs",
				MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) != 0) {
		st.mounted = false;
		return skip_and_restore(fail(why, size, "cannot mount hugetlbfs at %s: %s",
					     HUGEPAGES_DIR, strerror(errno)));
	}
	if (st.mounted)
		ktap_diag("mounted hugetlbfs at %s", HUGEPAGES_DIR);
	if (!info->fits) {
		// The check stops at sizing its hugetlbfs file, before its own
		// request: 100 pages of 1 GiB would take 100 GiB for nothing.
		ktap_diag("the default huge page (%ld kB) does not divide 16 MiB: no huge pages "
			  "reserved",
			  info->page_kb);
		return 0;
	}
	if (reserve(pages, info->page_kb, why, size) < 0)
		return skip_and_restore(-1);
	info->reserved = true;
	return 0;
}
