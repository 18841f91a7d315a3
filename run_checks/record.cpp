// SPDX-License-Identifier: GPL-2.0-only
#include "record.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

int record_format(const struct record *r, char *text, size_t size)
{
	size_t at = 0;
	int n = snprintf(text, size, "pid %ld\nboot %s\n", r->pid, r->boot);
	for (int i = 0; n >= 0 && i < r->steps; i++) {
		const struct undo_step *s = &r->step[i];
		at += (size_t)n;
		n = 0;
		if (s->local)
			continue;
		if (at >= size)
			return -1;
		if (s->kind == UNDO_WRITE)
			n = snprintf(text + at, size - at, "write %ld %ld %s\n", s->found, s->set,
				     s->path);
		else if (s->kind == UNDO_UNMOUNT)
			n = snprintf(text + at, size - at, "unmount %ld %lx %s %s\n", s->mount_id,
				     s->fs_magic, s->fs, s->path);
		else if (s->kind == UNDO_RMDIR)
			n = snprintf(text + at, size - at, "rmdir %lu %lu %s %s\n", s->dev, s->ino,
				     s->inner[0] ? s->inner : "-", s->path);
		else if (s->kind == UNDO_WAIT)
			n = snprintf(text + at, size - at, "wait %ld %lld %lu\n", s->pid, s->start,
				     s->pid_ns);
	}
	at += n >= 0 ? (size_t)n : size;
	return at < size ? (int)at : -1;
}

// One step's line, `line` without its newline; false if it is damaged.
static bool parse_step(const char *line, struct undo_step *s)
{
	char kind[16], fs[16] = "", inner[32] = "";
	int path_at = -1;
	*s = undo_step();
	if (sscanf(line, "%15s ", kind) != 1)
		return false;
	if (!strcmp(kind, "write")) {
		s->kind = UNDO_WRITE;
		if (sscanf(line, "write %ld %ld %n", &s->found, &s->set, &path_at) != 2 ||
		    s->found < 0 || s->set < 0)
			return false;
	} else if (!strcmp(kind, "unmount")) {
		s->kind = UNDO_UNMOUNT;
		if (sscanf(line, "unmount %ld %lx %15s %n", &s->mount_id, &s->fs_magic, fs,
			   &path_at) != 3 ||
		    s->mount_id < 0)
			return false;
	} else if (!strcmp(kind, "rmdir")) {
		s->kind = UNDO_RMDIR;
		// Inode 0 on device 0: registered before it was made, its
		// identity not known.
		if (sscanf(line, "rmdir %lu %lu %31s %n", &s->dev, &s->ino, inner, &path_at) != 3 ||
		    (s->ino == 0 && s->dev != 0))
			return false;
	} else if (!strcmp(kind, "wait")) {
		s->kind = UNDO_WAIT;
		int end = -1;
		return sscanf(line, "wait %ld %lld %lu%n", &s->pid, &s->start, &s->pid_ns, &end) ==
			   3 &&
		       end > 0 && line[end] == '\0' && s->pid > 0 && s->start >= 0 && s->pid_ns;
	} else {
		return false;
	}
	const char *path = line + path_at;
	if (path_at < 0 || path[0] != '/' || strlen(path) >= sizeof(s->path))
		return false;
	snprintf(s->fs, sizeof(s->fs), "%s", fs);
	snprintf(s->inner, sizeof(s->inner), "%s", strcmp(inner, "-") ? inner : "");
	snprintf(s->path, sizeof(s->path), "%s", path);
	return true;
}

static struct undo_step *legacy_step(struct record *r, enum undo_kind kind, const char *path)
{
	struct undo_step *s = &r->step[r->steps++];
	*s = undo_step();
	s->kind = kind;
	snprintf(s->path, sizeof(s->path), "%s", path);
	return s;
}

// The fixed form runs wrote before the list: the huge-page count, the
// hugetlbfs mount, /hugepages and /dev/shm, by name.
static bool parse_legacy(const char *text, struct record *r)
{
	long found = -1, set = -1, mount = -1;
	unsigned long dir_ino = 0, shm_ino = 0;
	int end = -1, shm_end = -1;
	if (sscanf(text, "pid %ld\nboot %39s\nnr_hugepages %ld %ld\nmount %ld\nmade_dir %lu\n%n",
		   &r->pid, r->boot, &found, &set, &mount, &dir_ino, &end) != 6 ||
	    end < 0)
		return false;
	if (text[end] != '\0' &&
	    (sscanf(text + end, "made_shm %lu\n%n", &shm_ino, &shm_end) != 1 || shm_end < 0))
		return false;
	end += shm_end > 0 ? shm_end : 0;
	if (text[end] != '\0' || text[end - 1] != '\n' || found < -1 || mount < -1 ||
	    (found >= 0) != (set >= 0))
		return false;
	// Undone in reverse: /dev/shm after /hugepages, as those runs did.
	if (shm_ino)
		legacy_step(r, UNDO_RMDIR, "/dev/shm")->ino = shm_ino;
	if (dir_ino) {
		struct undo_step *s = legacy_step(r, UNDO_RMDIR, "/hugepages");
		s->ino = dir_ino;
		snprintf(s->inner, sizeof(s->inner), ".made-by-run_checks");
	}
	if (mount >= 0) {
		struct undo_step *s = legacy_step(r, UNDO_UNMOUNT, "/hugepages");
		s->mount_id = mount;
		s->fs_magic = 0x958458f6;
		snprintf(s->fs, sizeof(s->fs), "hugetlbfs");
	}
	if (found >= 0) {
		struct undo_step *s = legacy_step(r, UNDO_WRITE, "/proc/sys/vm/nr_hugepages");
		s->found = found;
		s->set = set;
	}
	return true;
}

static bool parse(const char *text, struct record *r)
{
	int end = -1;
	if (strstr(text, "\nnr_hugepages "))
		return parse_legacy(text, r);
	if (sscanf(text, "pid %ld\nboot %39s\n%n", &r->pid, r->boot, &end) != 2 || end < 0)
		return false;
	for (const char *line = text + end; *line; r->steps++) {
		const char *nl = strchr(line, '\n');
		char one[UNDO_PATH + 96];
		if (!nl || r->steps == UNDO_STEPS || (size_t)(nl - line) >= sizeof(one))
			return false;
		memcpy(one, line, (size_t)(nl - line));
		one[nl - line] = '\0';
		if (!parse_step(one, &r->step[r->steps]))
			return false;
		line = nl + 1;
	}
	return true;
}

static struct record got; // large: a step holds a path

bool record_parse(const char *text, struct record *r)
{
	got = record();
	if (!parse(text, &got) || got.pid <= 0)
		return false;
	*r = got;
	return true;
}

enum write_action record_write_action(const struct undo_step *s, long now)
{
	long low = s->found < s->set ? s->found : s->set;
	long high = s->found < s->set ? s->set : s->found;
	if (now == s->set)
		return WRITE_RESTORE; // what it set, also where that was what it found
	if (now == s->found)
		return WRITE_UNCHANGED;
	return now >= low && now <= high ? WRITE_RESTORE : WRITE_LEAVE;
}
