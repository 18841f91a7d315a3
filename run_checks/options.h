// SPDX-License-Identifier: GPL-2.0-only
// The runner's options, as main reads them from the command line.
#pragma once

#define DEFAULT_TIMEOUT_S 30

struct options {
	int timeout_s = DEFAULT_TIMEOUT_S; // per check
	int wait_s = -1;		   // for another run's lock; -1: its -t plus a margin
	bool strict = false;		   // expected failures reported as failures
};
extern struct options opt;
