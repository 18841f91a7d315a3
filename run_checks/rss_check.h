// SPDX-License-Identifier: GPL-2.0-only
// rss_map_check as the runner runs it: the machine readied and put back,
// the check traced, the kernel's account and its damage taken, then judged
// (verdict.h) and reported (rss_report.h).
#pragma once

void check_rss(const char *bin_dir);
