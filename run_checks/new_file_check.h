// SPDX-License-Identifier: GPL-2.0-only
// new_file_read_check as the runner runs and judges it.
#pragma once

// new_file_read_check on a fresh file in a private directory made inside
// `dir`, or inside the temporary directory when `dir` is null.
void check_new_file(const char *bin_dir, const char *dir);
