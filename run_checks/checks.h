// SPDX-License-Identifier: GPL-2.0-only
// The two checks as the runner runs and judges them.
#pragma once

#define DEFAULT_TIMEOUT_S 30

struct options {
	int timeout_s = DEFAULT_TIMEOUT_S; // per check
	int wait_s = -1;		   // for another run's lock; -1: its -t plus a margin
	bool strict = false;		   // expected failures reported as failures
};
extern struct options opt;

// rss_map_check, with the system prepared for it and put back after.
void check_rss(const char *bin_dir);
// For both: a skip when the program is not there to run.
bool program_missing(const char *name, const char *path);
// The result of a run that could not be started or timed out; false when
// the caller must judge it.
struct child_result;
bool report_unusual(const char *name, const struct child_result *r);
// Says what happened to a run that did not end as its check's verdict.
void diag_outcome(const char *name, const struct child_result *r);

// new_file_read_check on a fresh file in a private directory made inside
// `dir`, or inside the temporary directory when `dir` is null.
void check_new_file(const char *bin_dir, const char *dir);
