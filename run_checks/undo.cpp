// SPDX-License-Identifier: GPL-2.0-only
#include "undo.h"

#include "fd.h"
#include "ktap.h"
#include "signals.h"
#include "state_dir.h"
#include "undo_step.h"
#include "util.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

static struct record list; // this run's
// Large enough for every step's path, so that no step is ever cut short.
static char text[UNDO_STEPS * (UNDO_PATH + 96)];

static void (*watcher)(const char *text, size_t n);

// Tells the list to its watcher (the guardian, which keeps it in memory),
// and writes it where the next run reads it while the state directory is
// held; a list of nothing but local steps leaves no record.
static int keep_record(void)
{
	if (!watcher && !state_held())
		return 0; // no one to keep it: nothing outlives this run
	list.pid = getpid();
	boot_id(list.boot, sizeof(list.boot));
	int n = record_format(&list, text, sizeof(text));
	if (watcher && n >= 0)
		watcher(text, (size_t)n);
	if (!state_held())
		return 0; // no run holds the machine: only the guardian keeps it
	bool any = false;
	for (int i = 0; i < list.steps; i++)
		any |= !list.step[i].local;
	if (!any) {
		undo_drop_record();
		return 0;
	}
	if (n < 0) {
		errno = ENAMETOOLONG;
		return -1;
	}
	return state_file_replace("state", text, (size_t)n) ? 0 : -1;
}

static int record_or_say(char *why, size_t size)
{
	if (keep_record() == 0)
		return 0;
	return say_why(why, size, "cannot record what the run changes in %s: %s", state_dir(),
		       strerror(errno));
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
	return s->local ? 0 : record_or_say(why, size);
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

int undo_made_dir(unsigned long dev, unsigned long ino, char *why, size_t size)
{
	if (list.steps == 0 || list.step[list.steps - 1].kind != UNDO_RMDIR)
		return say_why(why, size, "no directory registered to name");
	list.step[list.steps - 1].dev = dev;
	list.step[list.steps - 1].ino = ino;
	return record_or_say(why, size);
}

int undo_made_mount(long mount_id, char *why, size_t size)
{
	if (list.steps == 0 || list.step[list.steps - 1].kind != UNDO_UNMOUNT)
		return say_why(why, size, "no mount registered to name");
	list.step[list.steps - 1].mount_id = mount_id;
	return record_or_say(why, size);
}

int undo_wait(long pid, long long start, unsigned long pid_ns, char *why, size_t size)
{
	struct undo_step s = new_step(UNDO_WAIT, "/");
	s.pid = pid;
	s.start = start;
	s.pid_ns = pid_ns;
	return undo_add(&s, why, size);
}

void undo_watch(void (*tell)(const char *text, size_t n))
{
	watcher = tell; // told from the next change on: a record left before stays
}

int undo_count(void)
{
	return list.steps;
}

void undo_done_since(int count)
{
	if (list.steps > count) {
		list.steps = count;
		keep_record();
	}
}

void undo_done(void)
{
	if (list.steps > 0) {
		list.steps--;
		keep_record();
	}
}

// Undoes `n` steps in reverse, marking in `failed` what could not be undone.
// While processes the run started still run, nothing before them is undone.
static enum undo_result undo_reverse(const struct undo_step *steps, int n, bool *failed, char *said,
				     size_t size)
{
	enum undo_result result = UNDONE;
	said[0] = '\0';
	for (int i = n - 1; i >= 0; i--) {
		failed[i] = !undo_one(&steps[i], said, size);
		if (failed[i] && steps[i].kind == UNDO_WAIT) {
			for (int j = 0; j < i; j++)
				failed[j] = true;
			return STILL_RUNNING;
		}
		if (failed[i])
			result = PARTLY_UNDONE;
	}
	return result;
}

enum undo_result undo_steps(const struct record *r, char *said, size_t size)
{
	bool failed[UNDO_STEPS];
	return undo_reverse(r->step, r->steps, failed, said, size);
}

void undo_all(void)
{
	static char said[UNDO_STEPS * (UNDO_PATH + 96)];
	bool recorded = false, failed[UNDO_STEPS] = {};
	for (int i = 0; i < list.steps; i++)
		recorded |= !list.step[i].local;
	bool ok = undo_reverse(list.step, list.steps, failed, said, sizeof(said)) == UNDONE;
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
