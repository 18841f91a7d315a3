// SPDX-License-Identifier: GPL-2.0-only
// A mount namespace of the runner's own for a while: what is mounted in it
// no one else sees, and it goes with the namespace whatever ends the run.
// The runner enters it for one check and then goes back to the machine's.
#pragma once

#include <stddef.h>

// Returns 1 inside a new namespace (leaving it is the undo list's last
// step), 0 where none can be had (`how` then says why), -1 with the reason
// in `why` when the descriptors to come back cannot be had.
int mount_ns_enter(char *how, size_t how_size, char *why, size_t size);
// Whether the runner is in its own namespace now.
bool mount_ns_inside(void);
