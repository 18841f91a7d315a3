// SPDX-License-Identifier: GPL-2.0-only
// Every report the suite's runs produced, read by the parsers fleets use:
// Perl's TAP::Parser (the top level), the kernel's own kunit_parser (which
// counts leaves: the subtests must carry a parent's failure) and the
// project's LAVA converter must agree with the runner's totals and status.
#include "support/run.h"

#include <dirent.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <map>
#include <sstream>

namespace checks
{
namespace
{

struct Totals {
	int pass = 0, fail = 0, xfail = 0, skip = 0;
	// What a whole run comes to: "fail", "skip" (all skipped) or "pass".
	std::string Verdict() const
	{
		return fail ? "fail" : pass + xfail ? "pass" : "skip";
	}
};

// The reports kept, by file name, those with the runner's totals (a run
// stopped by a signal ends in "Bail out!" instead, and none is judged).
std::map<std::string, std::string> Reports(const std::string &dir)
{
	std::map<std::string, std::string> reports;
	if (DIR *d = opendir(dir.c_str())) {
		while (dirent *e = readdir(d)) {
			std::string name = e->d_name;
			if (name.size() > 5 && name.compare(name.size() - 5, 5, ".ktap") == 0) {
				std::string text = ReadFile(dir + "/" + name);
				if (text.find("\n# Totals: ") != std::string::npos)
					reports[name] = text;
			}
		}
		closedir(d);
	}
	return reports;
}

// Runs `argv` with every report's path after it and returns its output
// lines "FILE ...", one per report.
std::map<std::string, std::string> PerReport(std::vector<std::string> argv, const std::string &dir,
					     const std::map<std::string, std::string> &reports)
{
	for (const auto &[name, text] : reports)
		argv.push_back(dir + "/" + name);
	Spawn s;
	s.argv = argv;
	s.timeout_ms = 120000;
	std::map<std::string, std::string> said;
	for (const std::string &line : Lines(RunSpawn(s).out)) {
		if (line.rfind("@@ ", 0) != 0)
			continue;
		std::string path = line.substr(3, line.find(' ', 3) - 3);
		said[path.substr(path.rfind('/') + 1)] = line.substr(line.find(' ', 3) + 1);
	}
	return said;
}

// "pass fail skip broken-parents" at the top level of the LAVA converter's
// output: a parent that failed with no failing subtest is broken.
std::string LavaCounts(const std::string &ktap)
{
	Spawn s;
	s.argv = {"/bin/sh", "-c", "printf '%s' \"$1\" | \"$0\"", LAVA_CONVERTER, ktap};
	int pass = 0, fail = 0, skip = 0, broken = 0;
	std::string parent, parent_result;
	bool subtests = false, sub_failed = false;
	auto close_parent = [&] { broken += parent_result == "fail" && subtests && !sub_failed; };
	for (const std::string &line : Lines(RunSpawn(s).out)) {
		// "name result", or "name result measurement units"
		std::istringstream fields(line);
		std::string name, result;
		fields >> name >> result;
		if (!parent.empty() && name.rfind(parent + ".", 0) == 0) {
			subtests = true;
			sub_failed |= result == "fail";
			continue;
		}
		close_parent();
		parent = name;
		parent_result = result;
		subtests = sub_failed = false;
		pass += result == "pass";
		fail += result == "fail";
		skip += result == "skip";
	}
	close_parent();
	std::ostringstream os;
	os << pass << " " << fail << " " << skip << " " << broken;
	return os.str();
}

TEST(Parsers, AgreeWithTheRunnerOnEveryReportTheSuiteProduced)
{
	const char *dir = std::getenv("CHECKS_REPORTS_DIR");
	if (!dir || !*dir)
		GTEST_SKIP() << "no CHECKS_REPORTS_DIR: run through ctest, after the other tests";
	std::map<std::string, std::string> reports = Reports(dir);
	ASSERT_GE(reports.size(), 20u) << "too few reports in " << dir << " to judge";
	ASSERT_TRUE(Exists(std::string(KUNIT_DIR) + "/kunit_parser.py"))
	    << "no kunit_parser.py in " << KUNIT_DIR << " (scripts/setup.sh --tests unpacks it)";

	std::map<std::string, std::string> tap =
	    PerReport({"/usr/bin/perl", "-MTAP::Parser", "-e",
		       "for my $f (@ARGV) { local $/; open my $h, '<', $f or die; my $tap = <$h>;"
		       "my $p = TAP::Parser->new({tap => $tap}); 1 while $p->next;"
		       "printf \"@@ %s %d %d %d %d\\n\", $f, scalar $p->passed, scalar $p->failed,"
		       "scalar $p->skipped, scalar $p->parse_errors; }"},
		      dir, reports);
	std::map<std::string, std::string> kunit =
	    PerReport({"/usr/bin/python3", "-c",
		       "import sys, io, contextlib; sys.path.insert(0, sys.argv[1]); import "
		       "kunit_parser as k\n"
		       "for f in sys.argv[2:]:\n"
		       "  with contextlib.redirect_stdout(io.StringIO()):\n"
		       "    t = k.parse_run_tests(open(f).read().splitlines())\n"
		       "  print('@@', f, t.status.name, t.counts.failed + t.counts.crashed)",
		       KUNIT_DIR},
		      dir, reports);

	int judged = 0;
	for (const auto &[name, text] : reports) {
		SCOPED_TRACE(name + ":\n" + text);
		Totals t;
		ASSERT_EQ(sscanf(text.substr(text.find("\n# Totals: ") + 1).c_str(),
				 "# Totals: pass:%d fail:%d xfail:%d xpass:0 skip:%d error:0",
				 &t.pass, &t.fail, &t.xfail, &t.skip),
			  4);
		std::ostringstream want_tap;
		want_tap << t.pass + t.xfail + t.skip << " " << t.fail << " " << t.skip << " 0";
		EXPECT_EQ(tap[name], want_tap.str()) << "TAP::Parser: passed failed skipped errors";

		std::string want_kunit = t.Verdict() == "fail"	 ? "FAILURE"
					 : t.Verdict() == "skip" ? "SKIPPED"
								 : "SUCCESS";
		std::istringstream said(kunit[name]);
		std::string status;
		int failed_leaves = -1;
		said >> status >> failed_leaves;
		EXPECT_EQ(status, want_kunit) << "kunit_parser";
		EXPECT_EQ(failed_leaves > 0, t.fail > 0) << "kunit_parser's failed leaves";

		std::ostringstream want_lava;
		want_lava << t.pass + t.xfail << " " << t.fail << " " << t.skip << " 0";
		EXPECT_EQ(LavaCounts(text), want_lava.str())
		    << "LAVA converter: pass fail skip, parents failing without a failing subtest";

		int exit_code = std::stoi(name.substr(name.find(".exit") + 5));
		if (exit_code == 0 || exit_code == 1 || exit_code == 4) {
			EXPECT_EQ(exit_code, t.fail		     ? 1
					     : t.Verdict() == "skip" ? 4
								     : 0)
			    << "the runner's exit status";
		}
		++judged;
	}
	RecordProperty("reports", judged);
}

} // namespace
} // namespace checks
