// SPDX-License-Identifier: GPL-2.0-only
// What both checks report alike: a program that is not there, one that could
// not be started or timed out, and a run that did not end as its verdict.
#pragma once

struct child_result;

// Opens the program at `path` to run it, if root may run it: executable, a
// regular file (not a link), owned by root or by run_checks' own owner, and
// writable by no one else. The descriptor is what runs, so nothing can be
// swapped in after the look. Else a skip that says why, and -1.
int program_open(const char *name, const char *path);
// The result of a run that could not be started or timed out; false when
// the caller must judge it.
bool report_unusual(const char *name, const struct child_result *r);
// Says what happened to a run that did not end as its check's verdict.
void diag_outcome(const char *name, const struct child_result *r);
