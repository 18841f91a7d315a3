// SPDX-License-Identifier: GPL-2.0-only
// The runner's signals: every catchable signal whose default would end it
// (unless it was ignored when the runner started) is taken through a
// descriptor instead, so that whoever changed the machine can put it back
// before the runner dies. Knows nothing of what was changed: the one who
// changes the machine registers how to undo it.
#pragma once

void signals_init(void);
int signals_fd(void); // readable when a stop signal or SIGCHLD is pending
// The first stop signal that has arrived, or 0; SIGCHLD is consumed silently.
int signals_pending_stop(void);
// In a child before exec: nothing blocked, the defaults back; what was
// ignored at start stays so.
void signals_for_child(void);
// Runs `fn` when the runner stops on a signal, the last registered first.
void signals_at_stop(void (*fn)(int sig));
// Runs the registered functions and dies of `sig`.
[[noreturn]] void signals_stop(int sig);
