// SPDX-License-Identifier: GPL-2.0-only
#include "hugepages.h"

#include "guardian.h"
#include "ktap.h"
#include "mount_ns.h"
#include "probes.h"
#include "scratch.h"
#include "state_dir.h"
#include "undo.h"
#include "util.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#define MADE_MARK_NAME ".made-by-run_checks"
#define MADE_MARK HUGEPAGES_DIR "/" MADE_MARK_NAME

// A directory the run makes, on the undo list before it is made and by its
// identity once it is; the mark inside tells a later boot, whose /run holds
// no record, that the directory is the runner's to remove.
static int make_dir(const char *path, const char *mark, char *why, size_t size)
{
	struct stat s;
	int steps = undo_count();
	if (undo_rmdir(path, 0, 0, mark ? MADE_MARK_NAME : "", why, size) < 0) {
		undo_done_since(steps);
		return -2;
	}
	if (mkdir(path, 0755) != 0 || lstat(path, &s) != 0) {
		int e = errno;
		undo_done();
		errno = e;
		return -1;
	}
	if (undo_made_dir(s.st_dev, s.st_ino, why, size) < 0)
		return -2;
	if (mark)
		close(open(mark, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
	return 0;
}

// Android has no /dev/shm: the check's tmpfs gets a mount point of the run's
// own, removed after.
static int make_shm_dir(char *why, size_t size)
{
	int made = make_dir(SHM_DIR, nullptr, why, size);
	if (made == -1)
		return say_why(why, size, "no %s, and cannot make one: %s", SHM_DIR,
			       strerror(errno));
	if (made < 0)
		return -1;
	ktap_diag("made %s, which this system lacks, for the check's tmpfs", SHM_DIR);
	return 0;
}

// In the check's own namespace: a fresh tmpfs at /dev/shm and a fresh
// hugetlbfs at /hugepages that no one else sees, fills or plants names in,
// gone with the namespace.
static int mount_private(long page_kb, char *why, size_t size)
{
	struct stat s;
	if (stat(SHM_DIR, &s) != 0 || !S_ISDIR(s.st_mode))
		return say_why(why, size, "no %s to mount a tmpfs at", SHM_DIR);
	if (mount("tmpfs", SHM_DIR, "tmpfs", MS_NOSUID | MS_NODEV, "mode=1777,size=64m") != 0)
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

// Without a namespace, on the machine's own /hugepages: on the undo list
// before it is mounted (an id of 0: whatever hugetlbfs is there, none before)
// and by its id once it is.
static int mount_shared(char *why, size_t size)
{
	int steps = undo_count();
	if (undo_unmount(HUGEPAGES_DIR, 0, HUGETLBFS_MAGIC_, "hugetlbfs", why, size) < 0) {
		undo_done_since(steps);
		return -1;
	}
	if (mount("none", HUGEPAGES_DIR, "hugetlbfs", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) !=
	    0) {
		int e = errno;
		undo_done();
		return say_why(why, size, "cannot mount hugetlbfs at %s: %s", HUGEPAGES_DIR,
			       strerror(e));
	}
	long id = mount_id(HUGEPAGES_DIR);
	if (id > 0 && undo_made_mount(id, why, size) < 0)
		return -1;
	ktap_diag("mounted hugetlbfs at %s", HUGEPAGES_DIR);
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

// What stands in the way before anything is touched: -1 with why.
static int unable(char *why, size_t size)
{
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
	return 0;
}

// Reserves what the check's own request asks for, so that a missing shell
// (as on Android) cannot turn into a false failure, and sees that the check
// will find enough of them free (reserved pages are not: others hold them).
static int reserve(long found, long page_kb, char *why, size_t size)
{
	long got = -1;
	int steps = undo_count();
	if (undo_write(NR_HUGEPAGES, found, CHECK_HUGE_PAGES, why, size) < 0) {
		undo_done_since(steps); // not written: nothing to put back
		return -1;
	}
	if (write_long(NR_HUGEPAGES, CHECK_HUGE_PAGES) != 0)
		return say_why(why, size, "cannot write %s: %s", NR_HUGEPAGES, strerror(errno));
	read_long(NR_HUGEPAGES, &got);
	long free_pages = text_field("/proc/meminfo", "HugePages_Free:") -
			  text_field("/proc/meminfo", "HugePages_Rsvd:");
	long need = CHECK_KB / page_kb;
	ktap_diag("%s: %ld, set to %ld for the check (huge page %ld kB, %ld free)", NR_HUGEPAGES,
		  found, got, page_kb, free_pages);
	if (free_pages < need)
		return say_why(
		    why, size,
		    "only %ld huge pages of %ld kB are free (of %ld); the check needs %ld",
		    free_pages, page_kb, got, need);
	return 0;
}

// The mounts: private where a namespace can be had, else the machine's.
static int ready_mounts(const struct hugepages_info *info, char *why, size_t size)
{
	struct stat s, shm;
	bool exists = lstat(HUGEPAGES_DIR, &s) == 0;
	if (exists && !S_ISDIR(s.st_mode))
		return say_why(why, size, "%s exists and is not a directory", HUGEPAGES_DIR);
	// The directories are made on the machine's own root before the
	// namespace, so that the list leaves it before they go: removed from
	// inside it, one would take along a mount someone made there meanwhile.
	// /dev/shm first, so that it goes last.
	bool made_shm = lstat(SHM_DIR, &shm) != 0 && errno == ENOENT;
	if (made_shm && make_shm_dir(why, size) < 0)
		return -1;
	if (exists && made_before_a_reboot()) {
		ktap_diag("%s holds only the mark of a run before a reboot: removed after this run",
			  HUGEPAGES_DIR);
		if (undo_rmdir(HUGEPAGES_DIR, s.st_dev, s.st_ino, MADE_MARK_NAME, why, size) < 0)
			return -1;
	}
	int made = exists ? 0 : make_dir(HUGEPAGES_DIR, MADE_MARK, why, size);
	if (made == -1)
		return say_why(why, size, "cannot make %s: %s", HUGEPAGES_DIR, strerror(errno));
	if (made < 0)
		return -1;
	char how[128];
	int private_ns = mount_ns_enter(how, sizeof(how), why, size);
	if (private_ns < 0)
		return -1;
	if (private_ns)
		return mount_private(info->page_kb, why, size);
	ktap_diag("no mount namespace for the check (%s): it uses the machine's /dev/shm and %s",
		  how, HUGEPAGES_DIR);
	if (made_shm)
		return say_why(why, size, "no %s, and no mount namespace to mount a tmpfs at it",
			       SHM_DIR);
	bool mounted = exists && is_hugetlbfs(HUGEPAGES_DIR);
	if (shm_unfit(why, size) < 0 || (mounted && hugetlbfs_unfit(info->page_kb, why, size) < 0))
		return -1;
	return mounted ? 0 : mount_shared(why, size);
}

static int ready(int wait_s, int timeout_s, struct hugepages_info *info, char *why, size_t size)
{
	long pages;
	if (state_lock(NR_HUGEPAGES, wait_s, timeout_s, why, size) < 0 ||
	    guardian_start(why, size) < 0 || guardian_recover(why, size) < 0)
		return -1;
	if (read_long(NR_HUGEPAGES, &pages) < 0)
		return say_why(why, size, "cannot read %s: %s", NR_HUGEPAGES, strerror(errno));
	info->page_kb = text_field("/proc/meminfo", "Hugepagesize:");
	if (info->page_kb <= 0)
		return say_why(why, size, "no Hugepagesize in /proc/meminfo");
	info->fits = CHECK_KB % info->page_kb == 0;
	if (ready_mounts(info, why, size) < 0)
		return -1;
	if (!info->fits) {
		// The check stops at sizing its hugetlbfs file, before its own
		// request: 100 pages of 1 GiB would take 100 GiB for nothing.
		ktap_diag("the default huge page (%ld kB) does not divide 16 MiB: no huge pages "
			  "reserved",
			  info->page_kb);
		return 0;
	}
	if (reserve(pages, info->page_kb, why, size) < 0)
		return -1;
	info->reserved = true;
	return 0;
}

int hugepages_prepare(int wait_s, int timeout_s, struct hugepages_info *info, char *why,
		      size_t size)
{
	memset(info, 0, sizeof(*info));
	if (unable(why, size) < 0)
		return -1;
	return ready(wait_s, timeout_s, info, why, size);
}
