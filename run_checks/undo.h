// SPDX-License-Identifier: GPL-2.0-only
// The undo list: whoever changes the machine registers here how to undo the
// change, and this alone undoes it, in reverse, once: at the run's end, on
// a stop signal, or, from the record it keeps in the state directory, the
// run's guardian or the next run. Knows nothing of what was changed or why.
#pragma once

#include "record.h"

#include <stddef.h>

// Registers a step, recorded before this returns where the state directory
// is held (a step that is not local). Returns 0, or -1 with the reason in
// `why` when it cannot be recorded: the step stays on the list, undone with
// the rest; one registered before its change was made goes with undo_done().
int undo_add(const struct undo_step *s, char *why, size_t size);
int undo_write(const char *path, long found, long set, char *why, size_t size);
int undo_unmount(const char *path, long mount_id, unsigned long fs_magic, const char *fs, char *why,
		 size_t size);
int undo_rmdir(const char *path, unsigned long dev, unsigned long ino, const char *inner, char *why,
	       size_t size);
int undo_call(void (*call)(void), char *why, size_t size);
// Intent first: a directory or mount registered before it is made (its
// identity 0: unknown), named once it is made. Replaces the last step, with
// the record, before this returns; so no kill between the change and its
// record leaves the change unrecorded.
int undo_made_dir(unsigned long dev, unsigned long ino, char *why, size_t size);
int undo_made_mount(long mount_id, char *why, size_t size);
// The processes of pid namespace `pid_ns`, whose first process is `pid`
// (started at `start`, as process_start() says): none of the rest is undone
// before they end.
int undo_wait(long pid, long long start, unsigned long pid_ns, char *why, size_t size);

// Someone told the list's text (as the record holds it) at every change:
// the guardian, which keeps it once the state directory is let go.
void undo_watch(void (*tell)(const char *text, size_t n));

// How many steps the list holds.
int undo_count(void);
// The last step's maker undid it itself: it leaves the list.
void undo_done(void);
// What was registered since the list held `count` steps leaves it: a
// registration that failed before its change was made (one that never made
// the list takes nothing else off).
void undo_done_since(int count);
// Undoes the whole list in reverse and says what it did ("# put back: ...");
// the record goes once all is as it was. Safe to call more than once.
void undo_all(void);

enum undo_result {
	UNDONE,	       // all is as it was
	PARTLY_UNDONE, // some step could not be undone; the rest was
	STILL_RUNNING, // processes the run started still run: nothing before them undone
};
// Undoes what `r` lists (a run's that died), in reverse, and says it in
// `said`.
enum undo_result undo_steps(const struct record *r, char *said, size_t size);

enum record_found { RECORD_NONE, RECORD_READ, RECORD_DAMAGED, RECORD_UNUSABLE };
// Reads the record a run left. RECORD_NONE also when it is from an earlier
// boot (then dropped, as `said` says); RECORD_DAMAGED: kept aside for a
// person; RECORD_UNUSABLE: not a regular file. `said` says why.
enum record_found undo_read_record(struct record *r, char *said, size_t size);
void undo_drop_record(void);
