// SPDX-License-Identifier: GPL-2.0-only
// The runner's root-only state directory (/run/kernel-checks, or
// /dev/kernel-checks where there is no /run) and the locks that keep one
// run at a time: the lock file there, and a lock on a file of the kernel's
// that the caller names, one per kernel. Knows nothing of what is locked.
#pragma once

#include <stddef.h>
#include <sys/types.h>

// Opens the directory and takes both locks, waiting for another run at most
// `wait_s` seconds (-1: that run's -t plus a margin). Returns 0, or -1 with
// the reason in `why`.
int state_lock(const char *kernel_file, int wait_s, int timeout_s, char *why, size_t size);
// Whether the directory is open (the locks held).
bool state_held(void);
// "/run/kernel-checks", or "" before state_lock.
const char *state_dir(void);

// Small files of the directory, never followed through a link nor blocked
// on a FIFO. Open: -1 with the reason in `why` unless it is a regular file.
int state_file_open(const char *name, int flags, char *why, size_t size);
ssize_t state_file_read(const char *name, char *text, size_t size);
// Writes whole through a new name and a rename: false if it could not.
bool state_file_replace(const char *name, const char *text, size_t n);
void state_file_remove(const char *name);
void state_file_rename(const char *from, const char *to);

// The descriptors the guardian keeps: the directory and both locks.
int state_fds(int fds[3]);
// Once the huge pages are put back, and at the run's end: the lock file and
// the directory go, still locked, unless a file the next run needs is left
// there; the locks are let go. Once only: later calls do nothing.
void state_release(void);
