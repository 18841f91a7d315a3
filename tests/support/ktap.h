// SPDX-License-Identifier: GPL-2.0-only
// What KTAP should become in LAVA, worked out here apart from the project's
// converter (lava/ktap-results.sh) so that the tests judge it.
#pragma once

#include <string>
#include <vector>

namespace checks
{

// rss_map_check's probes, as run_checks names its subtests.
inline const char *const kProbes[] = {"anonymous",
				      "shm_file",
				      "anonymous_hugetlb",
				      "hugetlbfs_file",
				      "hugetlbfs_file_map_hugetlb",
				      "anonymous_hugetlb_kept"};

// How Perl's TAP::Parser reads a report.
struct TapCounts {
	std::string plan;
	int run = -1, passed = -1, failed = -1, skipped = -1, errors = -1;
};
TapCounts ReadWithTapParser(const std::string &ktap);

// One "name result" per result line, subtests after their parent as
// "parent.name"; pass, fail or skip, XFAIL counting as pass and TIMEOUT as
// fail; "/" and anything but letters, digits, "_", "." and "-" as "_".
// A probe of rss_map_check is followed by its measurements from the
// "# kernel:" lines, each a case of its own: "name.statm_kb pass 16152 kB"
// (statm's growth) and "name.kernel_kb pass 16384 kB" (Rss plus
// HugetlbPages), or skip where it measured none. A name met before gets
// "_dup2", "_dup3"...
std::vector<std::string> LavaCases(const std::vector<std::string> &ktap);

// What Linaro's kselftest.sh records for the collection from a run of
// run_checks with these result lines (subtests' included, skip reasons
// folded back) and exit status: "shardfile-kernel_checks pass", each result
// as "kernel_checks_run_checks_NAME RESULT" in the report's order (its parser
// reads the nesting of "# " alone), then run_kselftest.sh's own
// "kernel_checks_run_checks RESULT".
std::vector<std::string> LinaroExpected(const std::vector<std::string> &results, int status);

} // namespace checks
