// SPDX-License-Identifier: GPL-2.0-only
// A cgroup made for the check alone, in the hierarchy of one controller,
// removed after it: what the kernel counts there is the check's own, not
// the machine's. The runner never enables a controller: where none is
// offered for a cgroup of its own, it goes without.
#pragma once

#include <stddef.h>

// Makes the cgroup beside nothing but the runner's own (a child of it), on
// the undo list. Returns 1 when made, 0 where none can be had with
// `controller` (why in `how`), -1 with the reason in `why` when it cannot be
// recorded.
int run_cgroup_make(const char *controller, char *how, size_t how_size, char *why, size_t size);
// Its cgroup.procs and the runner's own, open to join by writing "0" (as
// child_run does around a fork); -1 where there is no cgroup.
int run_cgroup_procs(void);
int run_cgroup_home(void);
// A byte count in one of its files, in kB, or -1.
long run_cgroup_kb(const char *file);
