// SPDX-License-Identifier: GPL-2.0-only
// The bottom layer: the clock and small readers and writers of files and of
// /proc. Knows nothing of checks, huge pages, signals or output.
#pragma once

#include <stddef.h>
#include <sys/types.h>

// Monotonic milliseconds: every deadline of the runner is reckoned in them.
long now_ms(void);

// Reads at most size - 1 bytes of `path` (relative to `dir_fd`, or AT_FDCWD)
// and ends them with a zero byte; -1 with errno on failure.
ssize_t read_text_at(int dir_fd, const char *path, char *buf, size_t size);
ssize_t read_text(const char *path, char *buf, size_t size);
int read_long(const char *path, long *value);
int write_long(const char *path, long value);

// The number after `key` in a text file such as /proc/meminfo, or -1.
long text_field(const char *path, const char *key);
// The resident field of a statm file (the second), in pages, or -1.
long statm_resident(const char *path);

bool fs_type_is(const char *path, unsigned long magic);
// The id of the mount on top at `path` in this mount namespace, or -1.
long mount_id(const char *path);
// This boot's id, or "unknown".
void boot_id(char *id, size_t size);

// Formats a reason into `why`; returns -1, for "return say_why(...)".
int say_why(char *why, size_t size, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
// Appends ", " and a formatted clause to `said`.
void say_more(char *said, size_t size, const char *fmt, ...) __attribute__((format(printf, 3, 4)));

// A holder of a flock on `fd`'s file, as /proc/locks names them, that is not
// root: its uid, and its pid in `pid`. -1 when root holds it, or when a
// holder cannot be told (another pid namespace).
long flock_holder_not_root(int fd, long *pid);

// When process `pid` started, in clock ticks after boot (its identity with
// the pid), while it runs; -1 once it has ended (or /proc cannot tell).
long long process_start(long pid);

// The inode of process `pid`'s pid namespace, or 0.
unsigned long pid_ns_of(long pid);
// Whether a process of pid namespace `ns` other than `except` still runs
// (a zombie does not: it has let go of all it held).
bool pid_ns_runs(unsigned long ns, long except);

// Closes every descriptor from `from` on (close-on-exec where `cloexec`).
void close_from(int from, bool cloexec);
