// SPDX-License-Identifier: GPL-2.0-only
// The record of what a run changed on the machine: what it found and what
// it set, so that a replay puts back only what is still as the run left it.
// Pure text and rules: no files, no huge pages.
#pragma once

#include <stddef.h>

struct record {
	long pid = -1;
	char boot[40] = "";
	long found_pages = -1;	   // the count it found; -1: the count is not touched
	long set_pages = -1;	   // the count it set
	long mount_id = -1;	   // the mount it made (0: id unknown), or -1
	unsigned long dir_ino = 0; // the directory it made, or 0
	unsigned long shm_ino = 0; // /dev/shm, made where there was none (Android), or 0
};

// The record as text; returns its length, or -1 when it does not fit.
int record_format(const struct record *r, char *text, size_t size);
// Reads a whole record, nothing missing and nothing after it (a record
// without made_shm, as runs before it wrote, too); false when the text is
// damaged.
bool record_parse(const char *text, struct record *r);

enum count_action { COUNT_UNTOUCHED, COUNT_RESTORE, COUNT_LEAVE };
// What a replay does with the count that reads `now`: restore what the run
// found only while it is still what the run set; else leave it as it is.
enum count_action record_count_action(const struct record *r, long now);
