// SPDX-License-Identifier: GPL-2.0-only
#include "undo_step.h"

#include "fd.h"
#include "util.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

static bool undo_write_step(const struct undo_step *s, char *said, size_t size)
{
	const char *slash = strrchr(s->path, '/'), *name = slash ? slash + 1 : s->path;
	long now = -1;
	read_long(s->path, &now);
	enum write_action action = record_write_action(s, now);
	if (action == WRITE_UNCHANGED)
		return true;
	if (action == WRITE_LEAVE) {
		say_more(said, size,
			 "left %s at %ld: not between the %ld the run found and the %ld it set "
			 "(someone changed it since)",
			 name, now, s->found, s->set);
		return true;
	}
	if (write_long(s->path, s->found) != 0) {
		say_more(said, size, "could not restore %s to %ld: %s", name, s->found,
			 strerror(errno));
		return false;
	}
	if (read_long(s->path, &now) != 0 || now != s->found) {
		say_more(said, size, "could not restore %s to %ld: it reads %ld", name, s->found,
			 now);
		return false;
	}
	say_more(said, size, "restored %s to %ld", name, s->found);
	return true;
}

static bool undo_mount_step(const struct undo_step *s, char *said, size_t size)
{
	bool same_type = fs_type_is(s->path, s->fs_magic);
	// An id of 0: the run could not learn it, and unmounts what is there.
	if ((s->mount_id > 0 && mount_id(s->path) != s->mount_id) || !same_type) {
		if (same_type)
			say_more(said, size, "left the %s at %s: not the one the run mounted",
				 s->fs, s->path);
		return true;
	}
	if (umount(s->path) == 0) {
		say_more(said, size, "unmounted %s", s->path);
	} else if (errno == EBUSY && umount2(s->path, MNT_DETACH) == 0) {
		say_more(said, size, "detached %s (it was busy)", s->path);
	} else {
		say_more(said, size, "could not unmount %s: %s", s->path, strerror(errno));
		return false;
	}
	return true;
}

// Opens the directory `s` names and its parent, both as the run left them:
// 1 when they are, 0 when it is another, -1 when no descriptor can be had.
static int open_made_dir(const struct undo_step *s, int *parent, int *dir, const char **leaf)
{
	char up[UNDO_PATH];
	const char *slash = strrchr(s->path, '/');
	snprintf(up, sizeof(up), "%.*s", slash > s->path ? (int)(slash - s->path) : 1, s->path);
	*leaf = slash + 1;
	*parent = open(up, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
	*dir = *parent < 0
		   ? -1
		   : openat(*parent, *leaf, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
	struct stat at;
	if (*dir < 0)
		return errno == EMFILE || errno == ENFILE ? -1 : 0;
	// Of unknown identity (killed between making it and naming it): any
	// directory there, removed only if as empty as the run left it.
	return fstat(*dir, &at) == 0 &&
	       (!s->ino || (at.st_ino == s->ino && (!s->dev || at.st_dev == s->dev)));
}

// Through descriptors, so that no link swapped into the path since moves
// what is removed; by path alone where none is to be had (a run ended by its
// descriptor limit), once its identity is seen.
static bool undo_rmdir_step(const struct undo_step *s, char *said, size_t size)
{
	struct stat at;
	if (lstat(s->path, &at) != 0)
		return true; // gone already
	int parent_fd, dir_fd;
	const char *leaf;
	int mine = open_made_dir(s, &parent_fd, &dir_fd, &leaf);
	unique_fd parent(parent_fd), dir(dir_fd);
	if (mine < 0)
		mine = S_ISDIR(at.st_mode) &&
		       (!s->ino || (at.st_ino == s->ino && (!s->dev || at.st_dev == s->dev)));
	if (!mine) {
		say_more(said, size, "left %s: not the directory the run made", s->path);
		return true;
	}
	char inner[UNDO_PATH + 40];
	snprintf(inner, sizeof(inner), "%s/%s", s->path, s->inner);
	bool emptied = !s->inner[0] ||
		       (dir.ok() ? unlinkat(dir.get(), s->inner, 0) : unlink(inner)) == 0 ||
		       errno == ENOENT;
	if (emptied &&
	    (parent.ok() ? unlinkat(parent.get(), leaf, AT_REMOVEDIR) : rmdir(s->path)) == 0)
		say_more(said, size, "removed %s", s->path);
	else
		say_more(said, size, "left %s: %s", s->path, strerror(errno));
	return true;
}

// How long the end of a sandbox's processes is waited for: the kernel kills
// them all at once, but one inside a call (a reservation on a slow board)
// ends only when the call does.
#define WAIT_MS 60000

// Nothing the run put back stays put while a process it started can still
// change it: wait until no process of the sandbox runs but its first, which
// the kernel ends after all the rest (its end waits for the machine's init
// to reap the others, which need not be prompt).
static bool undo_wait_step(const struct undo_step *s, char *said, size_t size)
{
	long since = now_ms();
	while (process_start(s->pid) == s->start && pid_ns_runs(s->pid_ns, s->pid)) {
		if (now_ms() - since >= WAIT_MS) {
			say_more(said, size, "the check's processes still ran %d s after the run",
				 WAIT_MS / 1000);
			return false;
		}
		usleep(2000);
	}
	return true;
}

bool undo_one(const struct undo_step *s, char *said, size_t size)
{
	switch (s->kind) {
	case UNDO_WRITE:
		return undo_write_step(s, said, size);
	case UNDO_UNMOUNT:
		return undo_mount_step(s, said, size);
	case UNDO_RMDIR:
		return undo_rmdir_step(s, said, size);
	case UNDO_CALL:
		s->call();
		return true;
	case UNDO_WAIT:
		return undo_wait_step(s, said, size);
	}
	return true;
}
