// SPDX-License-Identifier: GPL-2.0-only
// Undoing one step of the undo list, of each kind, only where the machine is
// still as the run left it; what was done, or left, is said.
#pragma once

#include "record.h"

#include <stddef.h>

// Undoes `s` and says what it did in `said`; false where it could not.
bool undo_one(const struct undo_step *s, char *said, size_t size);
