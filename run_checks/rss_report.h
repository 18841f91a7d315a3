// SPDX-License-Identifier: GPL-2.0-only
// rss_map_check's part of the report: a subtest per probe with what the
// trace saw of it, the figures of the check that failed, what the kernel's
// own account says of them, and the verdict.
#pragma once

#include "verdict.h"

void rss_report(const char *name, const struct rss_verdict *v, const struct rss_run *run,
		const char *damage);
