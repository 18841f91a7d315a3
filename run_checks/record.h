// SPDX-License-Identifier: GPL-2.0-only
// The undo list: each change a run made to the machine, with what it takes
// to undo it while the change is still as the run left it, and the list as
// text, as the run records it for its guardian and the next run. Pure text
// and rules: no files.
#pragma once

#include <stddef.h>

enum undo_kind {
	UNDO_WRITE,   // a number written to a file (a sysctl): write back `found`
	UNDO_UNMOUNT, // a mount made at `path`
	UNDO_RMDIR,   // a directory made at `path`
	UNDO_CALL,    // in this process alone: a function to call (leave a namespace)
	UNDO_WAIT,    // processes that can still change the machine: wait for their end
};

#define UNDO_PATH 4096 // PATH_MAX: a path the kernel takes

struct undo_step {
	enum undo_kind kind;
	long found, set;	// UNDO_WRITE: the value found, and the one set
	long mount_id;		// UNDO_UNMOUNT: the mount (0: its id unknown)...
	unsigned long fs_magic; // ...of this file system type...
	char fs[16];		// ...called this
	unsigned long dev, ino; // UNDO_RMDIR: the directory (dev 0: any device)...
	char inner[32];		// ...and a file the run made in it, or ""
	long pid;		// UNDO_WAIT: a namespace's first process...
	long long start;	// ...its start time (ticks since boot: past 2^31 on 32 bits)...
	unsigned long pid_ns;	// ...and the namespace (the inode of its ns/pid)
	char path[UNDO_PATH];
	bool local;	    // dies with the process (a mount in its namespace): never recorded
	void (*call)(void); // UNDO_CALL
};

#define UNDO_STEPS 12

struct record {
	long pid = -1;
	char boot[40] = "";
	int steps = 0;
	struct undo_step step[UNDO_STEPS];
};

// The list as text, one line a step but the local ones; returns its length, or -1 when it does
// not fit.
int record_format(const struct record *r, char *text, size_t size);
// Reads a whole list, nothing missing and nothing after it (and the fixed
// form that runs before the list wrote); false when the text is damaged.
bool record_parse(const char *text, struct record *r);

enum write_action { WRITE_RESTORE, WRITE_UNCHANGED, WRITE_LEAVE };
// What undoing a write does with the file that reads `now`: restore what the
// run found while it reads anything between that and what the run set (the
// run's own work, whole or stopped part way: a write the kernel cut short,
// fewer huge pages granted); nothing where it reads what the run found;
// else leave it, changed by someone else.
enum write_action record_write_action(const struct undo_step *s, long now);
