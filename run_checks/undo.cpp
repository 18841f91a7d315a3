// SPDX-License-Identifier: GPL-2.0-only
#include "undo.h"

#include "fd.h"
#include "ktap.h"
#include "signals.h"
#include "state_dir.h"
#include "util.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

static struct record list; // this run's
// Large enough for every step's path, so that no step is ever cut short.
static char text[UNDO_STEPS * (UNDO_PATH + 96)];

// Writes the list where its guardian and the next run read it; a list of
// nothing but local steps leaves no record.
static int keep_record(void)
{
	if (!state_held())
		return 0; // no run holds the machine: nothing outlives this one
	list.pid = getpid();
	boot_id(list.boot, sizeof(list.boot));
	bool any = false;
	for (int i = 0; i < list.steps; i++)
		any |= !list.step[i].local;
	if (!any) {
		undo_drop_record();
		return 0;
	}
	int n = record_format(&list, text, sizeof(text));
	if (n < 0) {
		errno = ENAMETOOLONG;
		return -1;
	}
	return state_file_replace("state", text, (size_t)n) ? 0 : -1;
}

static void undo_at_stop(int)
{
	undo_all();
}

int undo_add(const struct undo_step *s, char *why, size_t size)
{
	static bool registered;
	if (!registered)
		signals_at_stop(undo_at_stop);
	registered = true;
	if (list.steps == UNDO_STEPS)
		return say_why(why, size, "cannot record what the run changes: %d steps already",
			       UNDO_STEPS);
	list.step[list.steps++] = *s;
	if (s->local || keep_record() == 0)
		return 0;
	return say_why(why, size, "cannot record what the run changes in %s: %s", state_dir(),
		       strerror(errno));
}

static struct undo_step new_step(enum undo_kind kind, const char *path)
{
	struct undo_step s = {};
	s.kind = kind;
	snprintf(s.path, sizeof(s.path), "%s", path);
	return s;
}

int undo_write(const char *path, long found, long set, char *why, size_t size)
{
	struct undo_step s = new_step(UNDO_WRITE, path);
	s.found = found;
	s.set = set;
	return undo_add(&s, why, size);
}

int undo_unmount(const char *path, long mount_id, unsigned long fs_magic, const char *fs, char *why,
		 size_t size)
{
	struct undo_step s = new_step(UNDO_UNMOUNT, path);
	s.mount_id = mount_id;
	s.fs_magic = fs_magic;
	snprintf(s.fs, sizeof(s.fs), "%s", fs);
	return undo_add(&s, why, size);
}

int undo_rmdir(const char *path, unsigned long dev, unsigned long ino, const char *inner, char *why,
	       size_t size)
{
	if (strchr(path, '\n'))
		return say_why(why, size, "cannot record a path with a newline");
	struct undo_step s = new_step(UNDO_RMDIR, path);
	s.dev = dev;
	s.ino = ino;
	snprintf(s.inner, sizeof(s.inner), "%s", inner);
	return undo_add(&s, why, size);
}

int undo_call(void (*call)(void), char *why, size_t size)
{
	struct undo_step s = new_step(UNDO_CALL, "/");
	s.call = call;
	s.local = true;
	return undo_add(&s, why, size);
}

int undo_count(void)
{
	return list.steps;
}

void undo_done(void)
{
	if (list.steps > 0) {
		list.steps--;
		keep_record();
	}
}

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
	return fstat(*dir, &at) == 0 && at.st_ino == s->ino && (!s->dev || at.st_dev == s->dev);
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
		mine =
		    S_ISDIR(at.st_mode) && at.st_ino == s->ino && (!s->dev || at.st_dev == s->dev);
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

static bool undo_one(const struct undo_step *s, char *said, size_t size)
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
	}
	return true;
}

bool undo_steps(const struct record *r, char *said, size_t size)
{
	bool ok = true;
	said[0] = '\0';
	for (int i = r->steps - 1; i >= 0; i--)
		ok &= undo_one(&r->step[i], said, size);
	return ok;
}

void undo_all(void)
{
	static char said[UNDO_STEPS * (UNDO_PATH + 96)];
	bool recorded = false, ok = true, failed[UNDO_STEPS] = {};
	for (int i = 0; i < list.steps; i++)
		recorded |= !list.step[i].local;
	said[0] = '\0';
	for (int i = list.steps - 1; i >= 0; i--)
		ok &= !(failed[i] = !undo_one(&list.step[i], said, sizeof(said)));
	// What could not be undone stays on the list, and so in the record.
	int kept = 0;
	for (int i = 0; i < list.steps; i++)
		if (failed[i])
			list.step[kept++] = list.step[i];
	list.steps = kept;
	if (!recorded)
		return;
	ktap_diag("put back: %s", said);
	keep_record();
	if (!ok)
		ktap_diag("the record stays in %s/state for the next run", state_dir());
}

enum record_found undo_read_record(struct record *r, char *said, size_t size)
{
	char id[64];
	unique_fd fd(state_file_open("state", O_RDONLY, said, size));
	if (!fd.ok() && errno == ENOENT) {
		said[0] = '\0';
		return RECORD_NONE;
	}
	if (!fd.ok()) {
		snprintf(said, size, "%s/state is not a regular file", state_dir());
		return RECORD_UNUSABLE;
	}
	ssize_t n = read(fd.get(), text, sizeof(text) - 1);
	text[n > 0 ? n : 0] = '\0';
	said[0] = '\0';
	if (!record_parse(text, r)) {
		state_file_rename("state", "state.damaged");
		snprintf(said, size,
			 "the record of an interrupted run cannot be read: kept as "
			 "%s/state.damaged, nothing of it put back",
			 state_dir());
		return RECORD_DAMAGED;
	}
	boot_id(id, sizeof(id));
	if (strcmp(id, r->boot) != 0) {
		snprintf(said, size, "dropped the record of run %ld: it is from an earlier boot",
			 r->pid);
		undo_drop_record();
		return RECORD_NONE;
	}
	return RECORD_READ;
}

void undo_drop_record(void)
{
	if (state_held())
		state_file_remove("state");
}
