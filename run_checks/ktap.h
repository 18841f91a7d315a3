// SPDX-License-Identifier: GPL-2.0-only
// KTAP output as kselftest writes it: a plan, results with their directives,
// diagnostics, nested subtests and the totals line. Nothing a check or a user
// supplies can start a line of its own or pose as a directive.
#pragma once

#include <stddef.h>

enum ktap_verdict { KTAP_PASS, KTAP_FAIL, KTAP_SKIP, KTAP_XFAIL, KTAP_TIMEOUT };

void ktap_plan(int tests);
// One diagnostic line; control characters in it are replaced.
void ktap_diag(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
// Each line of `text` as a diagnostic after `prefix`, then a note of the
// `dropped` bytes that did not fit the buffer.
void ktap_quote(const char *prefix, const char *text, size_t len, size_t dropped);
// A result line; `reason` goes with SKIP, XFAIL and TIMEOUT (seconds).
void ktap_result(enum ktap_verdict verdict, const char *name, const char *reason);

// Subtests of the next result, `name`'s: an indented header and plan, then
// the subtests' own lines, indented; they do not count in the totals.
void ktap_subtests_begin(const char *name, int tests);
void ktap_subtests_end(void);

// The last line of a run stopped by `sig`.
void ktap_bail_out(int sig);

// Prints "# Totals" and returns kselftest's exit status: 1 when something
// failed or the report could not be written, 4 when all were skipped, else 0.
int ktap_totals(void);

// `name`, or if a result at the top has had it, name_dup2, name_dup3, ...
// (as Linaro's parser names a repeated test), taken for this result.
void ktap_unique_name(const char *name, char *unique, size_t size);

// `text` as a test name: letters, digits and "_-./" kept, anything else "_".
void ktap_name(char *out, size_t size, const char *text);
