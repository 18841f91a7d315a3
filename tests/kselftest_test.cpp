// SPDX-License-Identifier: GPL-2.0-only
// The kernel_checks collection under the kernel's own kselftest runner, as
// fleets run it: run_kselftest.sh and kselftest/runner.sh from Debian's
// linux-source-6.1 and -6.12 (kselftest/fetch-runner.sh), the collection
// merged in from its install component, run as a lab runs it. The runner's
// KTAP comes back nested under "# selftests: kernel_checks: run_checks" with
// the top-level result its exit status calls for, and Perl's TAP::Parser,
// python3-tap (tappy, what Linaro's parser uses) and the kernel's
// kunit_parser read the nested report with the runner's own counts.
#include "support/ktap.h"
#include "support/run.h"

#include <filesystem>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sstream>
#include <unistd.h>

namespace checks
{
namespace
{

using testing::Contains;

namespace fs = std::filesystem;

struct Totals {
	int pass = -1, fail = -1, xfail = -1, skip = -1;
};

Totals TotalsOf(const std::string &ktap)
{
	Totals t;
	size_t at = ktap.find("\n# Totals: ");
	if (at != std::string::npos)
		sscanf(ktap.c_str() + at + 1, "# Totals: pass:%d fail:%d xfail:%d xpass:0 skip:%d",
		       &t.pass, &t.fail, &t.xfail, &t.skip);
	return t;
}

// "passed failed skipped" of the top level of `ktap`, as one of the Python
// parsers reads it.
std::string ReadWithPython(const std::string &script, const std::string &ktap)
{
	TempDir tmp;
	WriteFile(tmp / "ktap", ktap);
	Spawn s;
	s.argv = {"/usr/bin/python3", "-c", script, tmp / "ktap", KUNIT_DIR};
	std::vector<std::string> out = Lines(RunSpawn(s).out);
	return out.empty() ? "" : out.back();
}

class Kselftest : public ::testing::TestWithParam<const char *>
{
};

TEST_P(Kselftest, RunsTheCollectionAndNestsTheRunnersReport)
{
	std::string runner = std::string(KSELFTEST_DIR) + "/" + GetParam();
	if (geteuid() != 0)
		GTEST_SKIP() << "needs root: the collection's checks prepare the huge pages";
	if (!Exists(runner + "/run_kselftest.sh"))
		GTEST_SKIP() << "no " << runner << "/run_kselftest.sh (kselftest/fetch-runner.sh)";
	// The install component is a kselftest install with 6.12's runner; this
	// release's runner goes over it.
	TempDir install;
	Spawn cmake;
	cmake.argv = {CMAKE_COMMAND, "--install", BUILD_DIR,	 "--component",
		      "kselftest",   "--prefix",  install.path()};
	ASSERT_EQ(RunSpawn(cmake).exit_code, 0);
	EXPECT_EQ(ReadFile(install / "kselftest-list.txt"), "kernel_checks:run_checks\n");
	EXPECT_EQ(ReadFile(install / "kernel_checks/kselftest-list.txt"),
		  "kernel_checks:run_checks\n");
	fs::copy(runner, install.path(),
		 fs::copy_options::recursive | fs::copy_options::overwrite_existing);
	EXPECT_EQ(ReadFile(install / "kernel_checks/settings"), "timeout=180\n");

	Spawn run;
	run.argv = {install / "run_kselftest.sh", "-c", "kernel_checks"};
	run.timeout_ms = 240000;
	Result r = RunSpawn(run);
	std::vector<std::string> out = Lines(r.out);
	ASSERT_GE(out.size(), 4u) << r.out << r.err;
	EXPECT_EQ(out[0], "TAP version 13");
	EXPECT_EQ(out[1], "1..1");
	auto header = std::find(out.begin(), out.end(), "# selftests: kernel_checks: run_checks");
	ASSERT_NE(header, out.end()) << r.out;
	std::string nested;
	for (auto line = header + 1; line < out.end() - 1; ++line) {
		ASSERT_EQ(line->rfind("# ", 0), 0u) << *line;
		nested += line->substr(2) + "\n";
	}
	Totals t = TotalsOf(nested);
	ASSERT_GE(t.pass, 0) << "no totals in the nested report:\n" << nested;
	EXPECT_EQ(out.back(), t.fail ? "not ok 1 selftests: kernel_checks: run_checks # exit=1"
			      : t.pass + t.xfail
				  ? "ok 1 selftests: kernel_checks: run_checks"
				  : "ok 1 selftests: kernel_checks: run_checks # SKIP");

	std::ostringstream want;
	want << t.pass + t.xfail + t.skip << " " << t.fail << " " << t.skip;
	TapCounts perl = ReadWithTapParser(nested);
	EXPECT_EQ(std::to_string(perl.passed) + " " + std::to_string(perl.failed) + " " +
		      std::to_string(perl.skipped),
		  want.str())
	    << "TAP::Parser";
	EXPECT_EQ(ReadWithPython("import sys\n"
				 "from tap.parser import Parser\n"
				 "p = f = s = 0\n"
				 "for r in Parser().parse_file(sys.argv[1]):\n"
				 "  if r.category != 'test': continue\n"
				 "  p += r.ok; f += not r.ok; s += r.skip\n"
				 "print(p, f, s)",
				 nested),
		  want.str())
	    << "tappy";
	EXPECT_EQ(ReadWithPython("import sys, io, contextlib\n"
				 "sys.path.insert(0, sys.argv[2]); import kunit_parser as k\n"
				 "with contextlib.redirect_stdout(io.StringIO()):\n"
				 "  t = k.parse_run_tests(open(sys.argv[1]).read().splitlines())\n"
				 "print(t.status.name)",
				 nested),
		  t.fail	     ? "FAILURE"
		  : t.pass + t.xfail ? "SUCCESS"
				     : "SKIPPED")
	    << "kunit_parser";
}

INSTANTIATE_TEST_SUITE_P(Kernel, Kselftest, testing::Values("6.1", "6.12"), [](const auto &info) {
	std::string name = std::string("linux_") + info.param;
	std::replace(name.begin(), name.end(), '.', '_');
	return name;
});

} // namespace
} // namespace checks
