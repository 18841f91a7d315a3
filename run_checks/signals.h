// The runner's signals: every catchable signal whose default would end it
// (unless it was ignored when the runner started) is taken through a
// descriptor instead, so that the runner always puts the system back first.
#pragma once

void signals_init(void);
int signals_fd(void); // readable when a stop signal or SIGCHLD is pending
// A stop signal that has arrived, or 0; SIGCHLD is consumed silently.
int signals_pending_stop(void);
// In a child before exec: nothing blocked; what was ignored at start stays so.
void signals_for_child(void);
// Puts the system back, says so and dies of `sig`.
[[noreturn]] void signals_stop(int sig);
