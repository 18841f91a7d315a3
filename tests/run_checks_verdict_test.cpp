// SPDX-License-Identifier: GPL-2.0-only
// run_checks' verdict on rss_map_check, from outside, on this machine: one
// subtest per probe as two parsers nobody here wrote read them, the blame
// moving with a failure injected at each probe, the same verdict untraced,
// and a trace that changes neither the check's figures nor its verdict.
// The other kernels (the positive control, XFAIL) are in guest_kernel_test.
#include "support/hugepages.h"
#include "support/ktap.h"
#include "support/run.h"

#include <filesystem>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

namespace checks
{
namespace
{

using testing::Contains;
using testing::ContainsRegex;
using testing::HasSubstr;
using testing::Not;
using testing::StartsWith;

namespace fs = std::filesystem;

// The subtest result lines for a failure at `probe` (1-based; 0 for a pass).
std::vector<std::string> SubtestsFailingAt(int probe)
{
	std::vector<std::string> lines;
	for (int i = 1; i <= 6; ++i) {
		std::string line = probe == 0 || i < probe ? "  ok "
				   : i == probe		   ? "  not ok "
							   : "  ok ";
		line += std::to_string(i);
		line += ' ';
		line += kProbes[i - 1];
		if (probe && i > probe)
			line += " # SKIP not reached";
		lines.push_back(line);
	}
	return lines;
}

std::vector<std::string> Subtests(const std::string &out)
{
	std::vector<std::string> lines;
	for (const std::string &line : Lines(out))
		if (line.rfind("  ok ", 0) == 0 || line.rfind("  not ok ", 0) == 0)
			lines.push_back(line);
	return lines;
}

// The diagnostics of a subtest: the lines between it and the result before.
std::vector<std::string> DiagnosticsOf(const std::string &out, const std::string &result)
{
	std::vector<std::string> lines = Lines(out), diags;
	auto at = std::find(lines.begin(), lines.end(), result);
	while (at != lines.begin() && (--at)->rfind("  # ", 0) == 0)
		diags.insert(diags.begin(), *at);
	return diags;
}

// statm's resident figure in each "statm" line of a shim log.
std::vector<long> Readings(const std::string &log)
{
	std::vector<long> resident;
	for (const std::string &line : Lines(log))
		if (line.rfind("statm ", 0) == 0)
			resident.push_back(std::stol(line.substr(line.find(' ', 6) + 1)));
	return resident;
}

// The growth the tracer saw at each probe, from its "statm +N pages".
std::vector<long> TracedGrowth(const std::string &out)
{
	std::vector<long> growth;
	for (const std::string &line : Lines(out))
		if (line.rfind("  # ", 0) == 0 && line.find(": mmap flags") != std::string::npos &&
		    line.find("statm ") != std::string::npos)
			growth.push_back(std::stol(line.substr(line.find("statm ") + 6)));
	return growth;
}

// A copy of the runner beside the real checks, with rss_map_check reached
// through a wrapper that preloads the fault shim into it (not the runner).
class Verdicts : public ::testing::Test
{
      protected:
	void SetUp() override
	{
		if (geteuid() != 0)
			GTEST_SKIP()
			    << "needs root: the runner prepares rss_map_check only as root";
		for (const char *name : {"run_checks", "new_file_read_check"})
			fs::copy_file(ProgramPath(name), bed_ / name);
		fs::copy_file(ProgramPath("rss_map_check"), bed_ / "real_rss_map_check");
		// By its full path: the runner runs the script through its
		// descriptor, so $0 is /dev/fd/N.
		WriteFile(bed_ / "rss_map_check", "#!/bin/sh\nexec env LD_PRELOAD=" FAULT_SHIM " " +
						      (bed_ / "real_rss_map_check") + "\n");
		fs::permissions(bed_ / "rss_map_check", fs::perms(0755));
	}

	Result Runner(const std::vector<std::string> &env)
	{
		Spawn s;
		s.argv = {bed_ / "run_checks"};
		s.env = env;
		return RunSpawn(s);
	}

	// The test's own measurement, apart from the runner: 1 if this kernel
	// counts huge pages in statm, 0 if not, -1 (why in skipped_) if it
	// cannot be had.
	int MeasureKernel()
	{
		HugePageSystem system; // pages to measure with, put back at once
		if (std::string why = system.Prepare(); !why.empty()) {
			skipped_ = why;
			return -1;
		}
		system.SetCount(16);
		int counts = KernelCountsHugePagesInStatm();
		if (counts < 0)
			skipped_ = "no 16 MiB of huge pages could be mapped to measure the kernel";
		return counts;
	}

	TempDir bed_;
	std::string skipped_;
};

TEST_F(Verdicts, ShimModelPassesEveryProbe)
{
	Result r = Runner({"SHIM_STATM=model", "SHIM_SYSTEM=skip"});
	EXPECT_EQ(r.exit_code, 0) << Describe(r);
	EXPECT_EQ(Subtests(r.out), SubtestsFailingAt(0)) << r.out;
	EXPECT_THAT(Lines(r.out), Contains("ok 1 rss_map_check"));
}

// The blamed probe moves with the failure; its diagnostics say which of the
// check's checks failed.
TEST_F(Verdicts, FailureIsBlamedOnTheProbeWhereItHappens)
{
	struct Case {
		std::vector<std::string> env;
		int probe;
		const char *says;
	};
	std::vector<Case> cases;
	for (int k = 1; k <= 6; ++k)
		cases.push_back(
		    {{"SHIM_BIAS_PAGES=64", "SHIM_BIAS_AFTER=mmap:" + std::to_string(k)},
		     k,
		     "  # the growth check failed: statm grew by "});
	cases.push_back({{"SHIM_BIAS_PAGES=64", "SHIM_BIAS_AFTER=munmap:2"},
			 2,
			 "  # the shrink check failed: "});
	cases.push_back({{"SHIM_FAIL_MMAP=4"}, 4, "  # the mmap check failed: "});
	cases.push_back({{"SHIM_FAIL_MUNMAP=5"}, 5, "  # the munmap check failed: "});
	for (Case &c : cases) {
		SCOPED_TRACE(c.env.back());
		c.env.insert(c.env.end(), {"SHIM_STATM=model", "SHIM_SYSTEM=skip"});
		Result r = Runner(c.env);
		EXPECT_EQ(r.exit_code, 1) << Describe(r);
		std::vector<std::string> expected = SubtestsFailingAt(c.probe);
		EXPECT_EQ(Subtests(r.out), expected) << r.out;
		EXPECT_THAT(DiagnosticsOf(r.out, expected[c.probe - 1]),
			    Contains(StartsWith(c.says)))
		    << r.out;
		EXPECT_THAT(Lines(r.out), Contains("not ok 1 rss_map_check"));
	}
}

// A faked page size on a 4 KiB kernel is not the check's design at work:
// the kernel's own measurement does not explain it, so it is no XFAIL.
TEST_F(Verdicts, FailureTheMeasurementDoesNotExplainStaysNotOk)
{
	Result r = Runner({"SHIM_PAGE_KB=16"});
	EXPECT_EQ(r.exit_code, 1) << Describe(r);
	EXPECT_EQ(Subtests(r.out), SubtestsFailingAt(1)) << r.out;
	EXPECT_THAT(r.out, Not(HasSubstr("XFAIL")));
}

// Another process may reserve the huge pages after the runner counted them
// free (no privilege is needed): the check's mmap then fails for the
// environment, a skip with the pool as it was at that moment. Reserved pages
// still count in HugePages_Free, so only free less reserved tells it; with
// enough left, the run is judged as ever.
TEST_F(Verdicts, HugePagesTakenByAnotherProcessAreASkip)
{
	Result r = Runner({"SHIM_HUGE_LEAVE=7"});
	const std::string why =
	    "# SKIP another process took the huge pages: the kernel refused anonymous_hugetlb's "
	    "mmap (Cannot allocate memory) with 7 huge pages of 2048 kB free and unreserved; the "
	    "check needs 8";
	EXPECT_THAT(Lines(r.out), Contains("ok 1 rss_map_check " + why)) << r.out;
	EXPECT_THAT(Lines(r.out), Contains("  ok 3 anonymous_hugetlb " + why)) << r.out;
	EXPECT_NE(r.exit_code, 1) << Describe(r);

	r = Runner({"SHIM_HUGE_LEAVE=8"});
	EXPECT_THAT(r.out, Not(HasSubstr("another process took")));
	EXPECT_THAT(Lines(r.out),
		    Contains(StartsWith("  # anonymous_hugetlb: mmap flags 0x48022 fd -1 ok, ")))
	    << r.out;
}

// Whatever the check says, huge pages that do not go back to the pool are
// the kernel's damage (here a page the shim leaves in a hugetlbfs file, as a
// kernel that leaks would); a line anyone can write to the kernel's log,
// even the check itself, is not the kernel's word and changes nothing.
TEST_F(Verdicts, DamageLeftBehindFailsTheRunButForgedLogLinesDoNot)
{
	long total_before = ReadHugePageCount();
	Result r = Runner({"SHIM_STATM=hugetlb", "SHIM_LEAK_HUGE=1"});
	EXPECT_EQ(r.exit_code, 1) << Describe(r);
	EXPECT_THAT(Lines(r.out), Contains("not ok 1 rss_map_check")) << r.out;
	EXPECT_THAT(Lines(r.out), Contains("  not ok 7 kernel_damage"));
	EXPECT_THAT(
	    Lines(r.out),
	    Contains(ContainsRegex("^# huge-page pool of 2048 kB did not come back: total "
				   "([0-9]+), free [0-9]+, reserved 0, surplus 0; before the check "
				   "[0-9]+, [0-9]+, 0, 0$")));
	EXPECT_EQ(ReadHugePageCount(), total_before);
	// With a cgroup of its own, the page is told as the check's own.
	if (HugetlbCgroup offered; offered.missing.empty()) {
		r = Runner({"SHIM_STATM=hugetlb", "SHIM_LEAK_HUGE=1"});
		EXPECT_THAT(Lines(r.out), Contains("  not ok 7 kernel_damage")) << r.out;
		EXPECT_THAT(Lines(r.out),
			    Contains("# the check's own cgroup still holds 2048 kB of "
				     "huge pages in use and 2048 kB reserved after it "
				     "ended"));
	}

	r = Runner({"SHIM_STATM=hugetlb",
		    "SHIM_KMSG=<3>BUG: Bad rss-counter state mm:00000000deadbeef type:MM_FILEPAGES "
		    "val:4096"});
	EXPECT_THAT(Lines(r.out), Contains("ok 1 rss_map_check")) << r.out;
	EXPECT_THAT(r.out, Not(HasSubstr("rss-counter")));
}

// The real runner on this kernel. Mainline keeps huge pages out of statm, so
// the check rightly fails at the first huge-page probe: the result that Perl's
// TAP::Parser (the top level) and the kernel's own kunit_parser.py (every
// leaf, the subtests included) must both read.
TEST_F(Verdicts, ThisKernelIsReadTheSameByTwoParsers)
{
	int counts = MeasureKernel();
	if (counts < 0)
		GTEST_SKIP() << skipped_;
	Result r = RunProgram("run_checks");
	int failing = counts ? 0 : 3;
	EXPECT_EQ(Subtests(r.out), SubtestsFailingAt(failing)) << r.out;
	if (failing) {
		std::vector<std::string> diags = DiagnosticsOf(r.out, SubtestsFailingAt(3)[2]);
		EXPECT_THAT(diags,
			    Contains(HasSubstr("assertion \"llabs(after - before - length)")));
		EXPECT_THAT(diags, Contains(StartsWith("  # the growth check failed: statm grew")));
		EXPECT_THAT(diags,
			    Contains(StartsWith("  # this kernel keeps huge pages out of the "
						"resident set")));
	}
	TapCounts tap = ReadWithTapParser(r.out);
	EXPECT_EQ(tap.passed, failing ? 1 : 2);
	EXPECT_EQ(tap.failed, failing ? 1 : 0);
	EXPECT_EQ(tap.errors, 0);

	TempDir tmp;
	WriteFile(tmp / "ktap", r.out);
	std::string kunit = std::string(X86_IMAGES) + "/src/linux/tools/testing/kunit";
	if (!Exists(kunit + "/kunit_parser.py"))
		GTEST_SKIP() << "no " << kunit << "/kunit_parser.py (scripts/setup.sh --tests "
			     << "unpacks linux-source-6.1 there)";
	Spawn python;
	python.argv = {"/usr/bin/python3", "-c",
		       "import sys; sys.path.insert(0, sys.argv[1]); import kunit_parser as k\n"
		       "t = k.parse_run_tests(open(sys.argv[2]).read().splitlines())\n"
		       "c = t.counts\n"
		       "print('@@', t.status.name, c.passed, c.failed, c.skipped, c.crashed, "
		       "c.errors)",
		       kunit, tmp / "ktap"};
	std::vector<std::string> said = Lines(RunSpawn(python).out);
	ASSERT_FALSE(said.empty());
	// Leaves: the six probes and new_file_read_check.
	EXPECT_EQ(said.back(), failing ? "@@ FAILURE 3 1 3 0 0" : "@@ SUCCESS 7 0 0 0 0");
}

// The "# kernel:" lines, read by the trace from the check itself, say what
// the test's own separate measurement says of this kernel, within the
// check's tolerance: 16 MiB in statm and Rss for the two plain kinds, and for
// huge pages 16 MiB in HugetlbPages and in statm only where it counts them.
TEST_F(Verdicts, KernelLinesFromTheTraceAgreeWithASeparateMeasurement)
{
	int counts = MeasureKernel();
	if (counts < 0)
		GTEST_SKIP() << skipped_;
	Result r = RunProgram("run_checks");
	int lines = 0;
	for (const std::string &line : Lines(r.out)) {
		char kind[64];
		long statm, rss, huge;
		if (sscanf(line.c_str(),
			   "# kernel: %63s statm %ld kB, smaps Rss %ld kB, HugetlbPages %ld kB",
			   kind, &statm, &rss, &huge) != 4)
			continue;
		SCOPED_TRACE(line);
		bool hugetlb = std::string(kind).find("huge") != std::string::npos;
		EXPECT_NEAR(statm, hugetlb && !counts ? 0 : 16384, 256);
		EXPECT_NEAR(rss, hugetlb ? 0 : 16384, 256);
		EXPECT_NEAR(huge, hugetlb ? 16384 : 0, 256);
		++lines;
	}
	// One line for each probe the check reached: through the first huge
	// page one where statm leaves them out.
	EXPECT_EQ(lines, counts ? 6 : 3) << r.out;
}

// Where tracing is refused (here: the runner is under strace, so its child
// cannot be traced again), the check runs untraced with the same verdict.
TEST_F(Verdicts, RefusedTracingRunsUntracedWithTheSameVerdict)
{
	auto parent = [](const std::string &out) {
		for (const std::string &line : Lines(out))
			if (line.find("ok 1 rss_map_check") != std::string::npos)
				return line;
		return std::string();
	};
	Result traced = RunProgram("run_checks");
	Spawn s;
	s.argv = {"/usr/bin/strace", "-f", "-qq", "-o", "/dev/null", ProgramPath("run_checks")};
	Result untraced = RunSpawn(s);
	EXPECT_THAT(Lines(untraced.out),
		    Contains("# rss_map_check: untraced, so no result per probe: ptrace refused "
			     "(Operation not permitted)"));
	EXPECT_THAT(untraced.out, Not(HasSubstr("KTAP version 1")));
	EXPECT_EQ(parent(untraced.out), parent(traced.out));
	EXPECT_FALSE(parent(traced.out).empty()) << traced.out;
}

// The tracer sees the figures the check reads itself (to a page or two), and
// a traced check reads what an untraced one does and reaches the same verdict.
TEST_F(Verdicts, TracingChangesNeitherTheFiguresNorTheVerdict)
{
	Result traced = Runner({"SHIM_LOG_STATM=1", "SHIM_LOG=" + (bed_ / "traced.log")});
	std::vector<long> seen = TracedGrowth(traced.out);
	std::vector<long> read = Readings(ReadFile(bed_ / "traced.log"));
	ASSERT_FALSE(seen.empty()) << traced.out;
	HugePageSystem system; // as the runner prepares it
	if (std::string why = system.Prepare(); !why.empty())
		GTEST_SKIP() << why;
	system.SetCount(100);
	Result untraced = RunProgram(
	    "rss_map_check", {},
	    {"LD_PRELOAD=" FAULT_SHIM, "SHIM_LOG_STATM=1", "SHIM_LOG=" + (bed_ / "untraced.log")});
	std::vector<long> alone = Readings(ReadFile(bed_ / "untraced.log"));
	ASSERT_EQ(read.size(), alone.size()) << "the traced check read statm as often";
	for (size_t k = 0; k < seen.size(); ++k) {
		SCOPED_TRACE(kProbes[k]);
		ASSERT_LT(3 * k + 1, read.size());
		long check = read[3 * k + 1] - read[3 * k];
		// The check reads after returning from mmap, through code that
		// may fault in a page of its own; the tracer reads at the return.
		EXPECT_LE(std::labs(seen[k] - check), 2);
		EXPECT_LT(std::labs(check - (alone[3 * k + 1] - alone[3 * k])), 64);
	}
	EXPECT_THAT(Lines(traced.out), Contains("  # " + Lines(untraced.err).at(0)));
}

} // namespace
} // namespace checks
