// SPDX-License-Identifier: GPL-2.0-only
#include "scratch.h"

#include "ktap.h"
#include "mount_ns.h"
#include "probes.h"
#include "util.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <time.h>

bool is_hugetlbfs(const char *path)
{
	return fs_type_is(path, HUGETLBFS_MAGIC_);
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
int shm_unfit(char *why, size_t size)
{
	struct statvfs vfs;
	if (statvfs(SHM_DIR, &vfs) != 0)
		return say_why(why, size, "/dev/shm: %s", strerror(errno));
	if (vfs.f_flag & ST_RDONLY)
		return say_why(why, size, "/dev/shm is read-only");
	unsigned long long free_kb = (unsigned long long)vfs.f_bfree * vfs.f_frsize / 1024;
	ktap_diag("/dev/shm: %llu kB and %llu inodes free", free_kb,
		  (unsigned long long)vfs.f_ffree);
	if (vfs.f_files != 0 && vfs.f_ffree == 0)
		return say_why(why, size, "/dev/shm has no inode free for the check's file");
	if (free_kb < (unsigned long long)CHECK_KB)
		return say_why(why, size, "/dev/shm has %llu kB free; the check needs %ld kB",
			       free_kb, CHECK_KB);
	return planted(SHM_SCRATCH, why, size);
}

// A hugetlbfs that was at /hugepages already must be one the check can use.
int hugetlbfs_unfit(long page_kb, char *why, size_t size)
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

int scratch_recheck(char *why, size_t size)
{
	if (mount_ns_inside())
		return 0;
	// The machine's own /dev/shm: another user may have planted a name
	// since the first look.
	if (planted(SHM_SCRATCH, why, size) < 0 || planted(HUGETLBFS_SCRATCH, why, size) < 0)
		return -1;
	return 0;
}

// The probe whose file the check makes at `path`.
static int probe_of(enum probe_file file)
{
	for (int i = 0; i < PROBES; i++)
		if (probes[i].file == file)
			return i;
	return -1;
}

int scratch_taken_by(const struct timespec *end, char *why, size_t size)
{
	static const struct {
		const char *path;
		enum probe_file file;
	} names[] = {{SHM_SCRATCH, SHM_FILE}, {HUGETLBFS_SCRATCH, HUGETLBFS_FILE}};
	if (mount_ns_inside())
		return -1;
	for (const auto &n : names) {
		struct stat s;
		if (lstat(n.path, &s) != 0 || S_ISREG(s.st_mode) ||
		    s.st_ctim.tv_sec > end->tv_sec ||
		    (s.st_ctim.tv_sec == end->tv_sec && s.st_ctim.tv_nsec > end->tv_nsec))
			continue; // a file, or taken after the check had ended
		planted(n.path, why, size);
		return probe_of(n.file);
	}
	return -1;
}

long scratch_shm_free_kb(void)
{
	struct statvfs vfs;
	if (mount_ns_inside() || statvfs(SHM_DIR, &vfs) != 0)
		return -1;
	return (long)((unsigned long long)vfs.f_bfree * vfs.f_frsize / 1024);
}
