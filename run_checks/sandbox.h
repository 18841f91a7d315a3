// SPDX-License-Identifier: GPL-2.0-only
// A pid namespace for the processes the runner starts next (the check and
// all it starts in turn), whose first process is a fork of the runner that
// only waits and dies with it: when the runner dies for any reason, the
// kernel kills every process of the namespace. The check is never that
// first process, so signals reach it as they would anywhere.
#pragma once

#include <stddef.h>

// Returns 1 inside a namespace, on the undo list (ended, and its end waited
// for, before what was done before it is undone); 0 where the kernel refuses
// one, with why in `how`; -1 with the reason in `why` when it cannot be
// recorded.
int sandbox_enter(char *how, size_t how_size, char *why, size_t size);
