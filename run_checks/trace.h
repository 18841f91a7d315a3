// SPDX-License-Identifier: GPL-2.0-only
// Follows rss_map_check through its probes with ptrace, without changing it:
// each 16 MiB mmap and munmap it makes, its flags and result, and the
// resident figure the kernel showed before and after. Where the kernel
// allows, a seccomp filter stops the check at those two calls alone.
#pragma once

#include "probes.h"

#include <sys/types.h>

enum trace_mode {
	TRACE_OFF,	// refused (ptrace_scope, seccomp, already traced): untraced
	TRACE_SECCOMP,	// stops at the 16 MiB mmap and munmap calls only
	TRACE_SYSCALLS, // no seccomp filter: stops at every system call
};

struct probe_seen {
	long flags, fd;
	bool returned;	    // mmap returned (a check killed inside it never does)...
	long mapped;	    // ...this: an address, or -errno
	bool unmap_seen;    // munmap was called...
	long unmapped;	    // ...and returned this
	long statm[3];	    // statm's resident pages before mmap, after it, after munmap
	long rss_kb[3];	    // smaps_rollup's Rss (the page tables) at the same stops
	long huge_kb[3];    // status's HugetlbPages at the same stops
	long migrations[3]; // its moves between CPUs so far, at the same stops (-1: unknown)
	long pool_free;	    // a failed mmap: huge pages free then (-1: not read)...
	long pool_resv;	    // ...and of them reserved for others' mappings
};

struct trace {
	enum trace_mode mode;
	int why_errno;	      // why the mode is not TRACE_SECCOMP...
	const char *why_what; // ...and what was refused
	int probes;	      // probes reached (16 MiB mmaps made)
	struct probe_seen probe[PROBES];
	int stops; // how often the check was stopped
	// Where the trace is.
	bool started;
	bool entering; // TRACE_SYSCALLS: the next syscall stop is an entry
	int call;      // the call whose return is awaited, or 0
	int current;   // the probe it belongs to
};

// In the child, before exec: asks to be traced, installs the filter where it
// can, and writes the mode and why to `report_fd`.
void trace_child(int report_fd);
// In the runner, after fork: what the child wrote.
void trace_started(struct trace *t, int report_fd);
// Handles one stop of the traced child and resumes it.
void trace_stop(struct trace *t, pid_t pid, int status);
