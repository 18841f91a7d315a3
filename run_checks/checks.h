// The two checks as the runner runs and judges them.
#pragma once

#define DEFAULT_TIMEOUT_S 30

struct options {
	int timeout_s = DEFAULT_TIMEOUT_S; // per check
	int wait_s = -1;		   // for another run's lock; -1: its -t plus a margin
};
extern struct options opt;

// rss_map_check, with the system prepared for it and put back after.
void check_rss(const char *bin_dir);
// new_file_read_check on a fresh file in a private directory made inside
// `dir`, or inside the temporary directory when `dir` is null.
void check_new_file(const char *bin_dir, const char *dir);
