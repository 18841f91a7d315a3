// SPDX-License-Identifier: GPL-2.0-only
// The runner's options and exit statuses: help on stdout with status 0, a bad
// option's usage on stderr with status 2, and 4 when everything was skipped.
#include "support/run.h"
#include "support/runner_bed.h"

#include <functional>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace checks
{
namespace
{

using testing::HasSubstr;
using testing::StartsWith;

// A check that another user could have written, or put in place, is not run
// as root: a skip that says why. (The file run is the one looked at: the
// runner executes its descriptor.)
TEST_F(RunnerBed, ACheckAnotherUserCouldHaveChangedIsNeverRun)
{
	const std::string check = bed_ / "new_file_read_check";
	struct Row {
		const char *what;
		std::function<void()> change;
		std::string why;
	} rows[] = {
	    {"owned by another user", [&] { ASSERT_EQ(chown(check.c_str(), 2000, 2000), 0); },
	     "owned by uid 2000, neither root nor run_checks' owner"},
	    {"writable by all", [&] { fs::permissions(check, fs::perms(0777)); },
	     "writable by others than its owner (mode 0777)"},
	    {"writable by its group", [&] { fs::permissions(check, fs::perms(0775)); },
	     "writable by others than its owner (mode 0775)"},
	    {"a link to another program",
	     [&] {
		     fs::rename(check, bed_ / "elsewhere");
		     fs::create_symlink(bed_ / "elsewhere", check);
	     },
	     "not a regular file"},
	};
	for (const Row &row : rows) {
		SCOPED_TRACE(row.what);
		row.change();
		Result r = RunRunner();
		EXPECT_THAT(Lines(r.out),
			    testing::Contains("ok 2 new_file_read_check # SKIP cannot run " +
					      check + ": " + row.why))
		    << r.out;
		EXPECT_THAT(ReadFile(log_path()),
			    testing::Not(HasSubstr("new_file_read_check arg=")))
		    << "it ran";
		fs::remove(check);
		fs::remove(bed_ / "elsewhere");
		fs::copy_file(STANDIN, check);
	}
}

TEST_F(RunnerBed, EverythingSkippedExitsFour)
{
	fs::remove(bed_ / "rss_map_check");
	fs::remove(bed_ / "new_file_read_check");
	Result r = RunRunner();
	EXPECT_EQ(r.exit_code, 4) << Describe(r);
	std::string out;
	for (const std::string &line : Lines(r.out))
		if (line.rfind("# uname", 0) != 0 && line.rfind("# base page", 0) != 0 &&
		    line.rfind("# limits", 0) != 0 && line.rfind("# memory cgroup", 0) != 0)
			out += line + "\n"; // the environment header
	EXPECT_EQ(out, "TAP version 13\n1..2\n"
		       "ok 1 rss_map_check # SKIP cannot run " +
			   (bed_ / "rss_map_check") +
			   ": No such file or directory\n"
			   "ok 2 new_file_read_check # SKIP cannot run " +
			   (bed_ / "new_file_read_check") +
			   ": No such file or directory\n"
			   "# Totals: pass:0 fail:0 xfail:0 xpass:0 skip:2 error:0\n");
}

TEST_F(RunnerBed, HelpGoesToStdoutWithStatusZeroAndGivesTheDefaultTimeout)
{
	for (const char *opt : {"-h", "--help"}) {
		Result r = RunRunner({"-t", "5", opt});
		EXPECT_EQ(r.exit_code, 0) << Describe(r);
		EXPECT_THAT(r.out,
			    StartsWith("usage: " + (bed_ / "run_checks") +
				       " [-t SECONDS] [-w SECONDS] [--strict] [-d DIR]...\n"));
		EXPECT_THAT(r.out, HasSubstr("(default 30)"));
		EXPECT_EQ(r.err, "");
	}
	EXPECT_EQ(ReadFile(log_path()), "") << "help ran a check";
}

TEST_F(RunnerBed, BadOptionsGiveUsageOnStderrWithStatusTwo)
{
	for (std::vector<std::string> args : std::vector<std::vector<std::string>>{{"-x"},
										   {"-t"},
										   {"-t", "0"},
										   {"-t", "abc"},
										   {"-t", "5s"},
										   {"-w", "-1"},
										   {"-d"},
										   {"extra"}}) {
		SCOPED_TRACE(args[0] + (args.size() > 1 ? " " + args[1] : ""));
		Result r = RunRunner(args);
		EXPECT_EQ(r.exit_code, 2) << Describe(r);
		EXPECT_EQ(r.out, "");
		EXPECT_THAT(r.err, StartsWith("usage: "));
	}
	EXPECT_EQ(ReadFile(log_path()), "") << "a bad option ran a check";
}

} // namespace
} // namespace checks
