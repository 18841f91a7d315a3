// SPDX-License-Identifier: GPL-2.0-only
// What outlives a run that dies without undoing its changes (SIGKILL, a
// fault): its guardian, a process that undoes them at once from the
// record, and the next run, which undoes what a guardian killed too could
// not. Both read the undo list's record in the state directory.
#pragma once

#include <stddef.h>

// Starts the guardian; with the state directory held. Returns 0, or -1 with
// the reason in `why`.
int guardian_start(char *why, size_t size);
// Undoes what an interrupted run left, and says what its guardian did.
// Returns -1 with the reason in `why` when the record cannot be used.
int guardian_recover(char *why, size_t size);
// The runner let the state directory and its locks go: the guardian does
// too, and keeps the undo list alone.
void guardian_unlock(void);
// Lets the guardian go, at the end of the run.
void guardian_release(void);
