// SPDX-License-Identifier: GPL-2.0-only
// What the runner reports of each check: every verdict of rss_map_check the
// stand-in can drive, with its diagnostics and subtests; a check that cannot
// start, a timeout that is none, and the real runner, whose KTAP an
// independent TAP parser must read as its own totals say.
#include "support/ktap.h"
#include "support/run.h"
#include "support/runner_bed.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace checks
{
namespace
{

using testing::Contains;
using testing::HasSubstr;

struct RssCase {
	const char *mode;
	const char *verdict;
	std::vector<std::string> diagnostics; // just before the verdict
	int exit_code;
};

void PrintTo(const RssCase &c, std::ostream *os)
{
	*os << c.mode;
}

class RssVerdict : public RunnerOnSystem, public testing::WithParamInterface<RssCase>
{
};

TEST_P(RssVerdict, IsReportedWithItsDiagnostics)
{
	const RssCase &c = GetParam();
	Result r = RunRunner({"-t", "2"}, {std::string("STANDIN_rss_map_check=") + c.mode});
	EXPECT_EQ(r.exit_code, c.exit_code) << Describe(r);
	EXPECT_EQ(r.err, "");
	std::vector<std::string> out = Lines(r.out);
	ASSERT_GE(out.size(), 3u) << r.out;
	EXPECT_EQ(out[0], "TAP version 13");
	EXPECT_EQ(out[1], "1..2");
	auto verdict = std::find(out.begin(), out.end(), c.verdict);
	ASSERT_NE(verdict, out.end()) << r.out;
	ASSERT_GE(verdict - out.begin(), static_cast<long>(c.diagnostics.size()));
	EXPECT_EQ(
	    std::vector<std::string>(verdict - static_cast<long>(c.diagnostics.size()), verdict),
	    c.diagnostics);
	EXPECT_THAT(out, Contains("ok 2 new_file_read_check"));
	EXPECT_EQ(out.back(), std::string("# Totals: pass:") +
				  (c.exit_code ? "1 fail:1" : "2 fail:0") +
				  " xfail:0 xpass:0 skip:0 error:0");
	EXPECT_THAT(out, Contains(kPutBack));
	EXPECT_EQ(SystemState(), before_);
	ExpectNothingLeftRunning();
}

INSTANTIATE_TEST_SUITE_P(
    Runner, RssVerdict,
    testing::Values(
	RssCase{"pass", "ok 1 rss_map_check", {}, 0},
	RssCase{"chatty", "ok 1 rss_map_check", {"# line one", "# ", "# line three"}, 0},
	RssCase{"silent",
		"not ok 1 rss_map_check",
		{"# rss_map_check: exited with status 0 without printing \"oll korrekt.\""},
		1},
	RssCase{"wrong",
		"not ok 1 rss_map_check",
		{"# rss_map_check: exited with status 0 without printing \"oll korrekt.\"",
		 "# stdout: oll korrekt."},
		1},
	RssCase{"forge",
		"not ok 1 rss_map_check",
		{"# rss_map_check: exited with status 1",
		 "# <LAVA-SIGNAL_TESTCASE TEST_CASE_ID=injected RESULT=pass>"},
		1},
	RssCase{"trailing",
		"not ok 1 rss_map_check",
		{"# rss_map_check: exited with status 0 but printed more than \"oll korrekt.\"",
		 "# stdout: oll korrekt.", "# stdout: and more"},
		1},
	RssCase{"unmapped",
		"not ok 1 rss_map_check",
		{"# rss_map_check: printed \"oll korrekt.\" but made 0 of its 6 mappings"},
		1},
	RssCase{"exit3", "not ok 1 rss_map_check", {"# rss_map_check: exited with status 3"}, 1},
	RssCase{"fail",
		"not ok 1 rss_map_check",
		{"# rss_map_check: exited with status 1", "# Reading a new var should return EOF"},
		1},
	RssCase{"abort",
		"not ok 1 rss_map_check",
		{"# rss_map_check: a check failed (SIGABRT):",
		 "# x.cpp:7: void f(): assertion \"a || !\"b\"\" failed"},
		1},
	RssCase{"flood",
		"not ok 1 rss_map_check",
		{"# " + std::string(8192 % 100, 'x'), "# ... 11808 more bytes not shown"},
		1},
	RssCase{"hang",
		"not ok 1 rss_map_check # TIMEOUT 2 seconds",
		{"# rss_map_check: no verdict within 2 s; killed"},
		1},
	RssCase{"orphan", "ok 1 rss_map_check", {}, 0},
	RssCase{"grandchild",
		"not ok 1 rss_map_check # TIMEOUT 2 seconds",
		{"# rss_map_check: no verdict within 2 s; killed"},
		1}),
    [](const auto &info) { return std::string(info.param.mode); });

// Parsers that count only leaves (the kernel's kunit_parser) must read the
// parent's failure: a failure that blames no probe is a subtest of its own,
// and a pass without the six mappings the trace saw is no pass.
TEST_F(RunnerOnSystem, SubtestsCarryTheParentsVerdict)
{
	struct Case {
		const char *mode, *last;
		size_t count;
	};
	for (const Case &c : {Case{"pass", "  ok 6 anonymous_hugetlb_kept", 6},
			      Case{"unmapped", "  not ok 7 before_probes", 7},
			      Case{"exit3", "  not ok 7 before_probes", 7},
			      Case{"hang", "  not ok 7 before_probes # TIMEOUT 2 seconds", 7}}) {
		SCOPED_TRACE(c.mode);
		Result r = RunRunner({"-t", "2"}, {std::string("STANDIN_rss_map_check=") + c.mode});
		std::vector<std::string> subtests;
		for (const std::string &line : Lines(r.out))
			if (line.rfind("  ok ", 0) == 0 || line.rfind("  not ok ", 0) == 0)
				subtests.push_back(line);
		ASSERT_EQ(subtests.size(), c.count) << r.out;
		EXPECT_EQ(subtests.back(), c.last);
		EXPECT_THAT(Lines(r.out), Contains("  1.." + std::to_string(c.count)));
	}
}

// A check that cannot be executed is a skip with the error; a check that
// runs and exits with 127 itself is a failure.
TEST_F(RunnerBed, ACheckThatCannotStartIsASkipButItsOwnStatus127IsNot)
{
	struct Case {
		const char *content, *mode, *result;
	};
	for (const Case &c : {
		 Case{"\x7f"
		      "ELF garbage",
		      "",
		      "ok 2 new_file_read_check # SKIP cannot start the check: Exec format error"},
		 Case{"#!/nonexistent/interpreter\n", "",
		      "ok 2 new_file_read_check # SKIP cannot start the check: No such file or "
		      "directory"},
		 Case{nullptr, "exit127", "not ok 2 new_file_read_check"},
	     }) {
		SCOPED_TRACE(c.result);
		fs::remove(bed_ / "new_file_read_check");
		if (c.content)
			WriteFile(bed_ / "new_file_read_check", c.content);
		else
			fs::copy_file(STANDIN, bed_ / "new_file_read_check");
		fs::permissions(bed_ / "new_file_read_check", fs::perms(0755));
		Result r = RunRunner({}, {std::string("STANDIN_new_file_read_check=") + c.mode});
		EXPECT_THAT(Lines(r.out), Contains(c.result)) << r.out;
		if (!c.content) {
			EXPECT_THAT(Lines(r.out),
				    Contains("# new_file_read_check: exited with status 127"));
		}
	}
}

// A check that ended in time is judged on its end, however late the runner
// itself comes to look (stopped, or on a frozen VM).
TEST_F(RunnerBed, ACheckThatEndedInTimeIsNotATimeoutWhenTheRunnerWasStopped)
{
	Result r = RunAndAct(RunnerSpawn({"-t", "1"}), 2, [](pid_t runner) {
		kill(runner, SIGSTOP);
		sleep(2);
		kill(runner, SIGCONT);
	});
	EXPECT_THAT(Lines(r.out), Contains("ok 2 new_file_read_check")) << r.out;
	EXPECT_EQ(r.exit_code, 0) << Describe(r);
}

// A traced check waits at its next stop while the runner is stopped: that
// time is not the check's. It sleeps 1 s, then maps; the runner is stopped
// from 0.3 s to 3.3 s of a -t of 2.
TEST_F(RunnerOnSystem, ATracedCheckIsNotTimedOutForTimeTheRunnerWasStopped)
{
	Result r = RunAndAct(RunnerSpawn({"-t", "2"}, {"STANDIN_rss_map_check=sleepy"}), 1,
			     [](pid_t runner) {
				     usleep(300000);
				     kill(runner, SIGSTOP);
				     sleep(3);
				     kill(runner, SIGCONT);
			     });
	EXPECT_THAT(Lines(r.out), Contains("ok 1 rss_map_check")) << r.out;
	EXPECT_EQ(r.exit_code, 0) << Describe(r);
	EXPECT_EQ(SystemState(), before_);
}

// The check has exited; a grandchild in a session of its own holding the
// streams must not keep the runner waiting for the whole -t.
TEST_F(RunnerBed, StreamsHeldByAnEscapedGrandchildDoNotHoldTheVerdict)
{
	Spawn s = RunnerSpawn({"-t", "600"}, {"STANDIN_rss_map_check=setsid"});
	s.timeout_ms = 20000;
	Result r = RunSpawn(s);
	EXPECT_FALSE(r.timed_out) << Describe(r);
	EXPECT_THAT(Lines(r.out), Contains("ok 1 rss_map_check"));
}

// The real runner with the real checks. Its KTAP must read the same to
// Perl's TAP::Parser as its own totals say, and leave the system as it was.
TEST(RealRunner, KtapAgreesWithAnIndependentTapParser)
{
	SystemState before;
	Result r = RunProgram("run_checks");
	EXPECT_EQ(SystemState(), before);
	TapCounts tap = ReadWithTapParser(r.out);

	std::vector<std::string> out = Lines(r.out);
	ASSERT_FALSE(out.empty());
	int pass = -1, fail = -1, skip = -1;
	ASSERT_EQ(sscanf(out.back().c_str(),
			 "# Totals: pass:%d fail:%d xfail:0 xpass:0 skip:%d error:0", &pass, &fail,
			 &skip),
		  3)
	    << out.back();
	// TAP counts a skip as passed.
	EXPECT_EQ(tap.plan, "1..2");
	EXPECT_EQ(tap.run, 2);
	EXPECT_EQ(tap.passed, pass + skip);
	EXPECT_EQ(tap.failed, fail);
	EXPECT_EQ(tap.skipped, skip);
	EXPECT_EQ(tap.errors, 0);
	EXPECT_EQ(r.exit_code, fail ? 1 : pass ? 0 : 4);
	if (geteuid() == 0 &&
	    ReadFile("/proc/filesystems").find("hugetlbfs") != std::string::npos) {
		EXPECT_EQ(fail + pass, 2) << "as root both checks run";
	}
}

// Any user may name a task "mm/hugetlb" and make it fault: the kernel then
// logs "mm/hugetlb[PID]: segfault at ..." as its own (facility 0). Only
// records that begin with the kernel's own formats are damage.
TEST_F(RunnerOnSystem, AUserTaskNamedLikeTheKernelThatFaultsIsNotKernelDamage)
{
	if (ReadFile("/proc/sys/debug/exception-trace") != "1\n")
		GTEST_SKIP() << "the kernel does not log user faults (debug.exception-trace)";
	Result faulted;
	Result r =
	    RunAndAct(RunnerSpawn({"-t", "20"}, {"STANDIN_rss_map_check=late"}), 1, [&](pid_t) {
		    Spawn f;
		    f.argv = {"/usr/bin/python3", "-c",
			      "import ctypes; ctypes.CDLL(None).prctl(15, "
			      "b'mm/hugetlb'); ctypes.string_at(0)"};
		    faulted = RunSpawn(f);
	    });
	EXPECT_EQ(faulted.signal, SIGSEGV) << Describe(faulted);
	EXPECT_EQ(r.exit_code, 0) << Describe(r);
	EXPECT_THAT(Lines(r.out), Contains("ok 1 rss_map_check")) << r.out;
	EXPECT_THAT(r.out, testing::Not(testing::HasSubstr("kernel_damage")));
	EXPECT_EQ(SystemState(), before_);
}

// Another user's process that holds one default huge page in an unmapped
// MFD_HUGETLB memfd (in no process's HugetlbPages) for 30 s; its pid goes to
// `pid` once it starts.
Spawn MemfdHugePageHolder(pid_t *pid)
{
	Spawn h;
	h.argv = {"/usr/bin/python3", "-c",
		  "import mmap, os, time\n"
		  "fd = os.memfd_create('held', os.MFD_HUGETLB)\n"
		  "os.ftruncate(fd, 2 << 20)\n"
		  "m = mmap.mmap(fd, 2 << 20)\n"
		  "m[0] = 1\n"
		  "m.close()\n"
		  "time.sleep(30)\n"};
	h.on_start = [pid](pid_t started) { *pid = started; };
	return h;
}

// Huge pages in use before the check by someone else (an unmapped memfd is
// in no process's HugetlbPages) and given back while it runs move the pool:
// said, never judged as the kernel's damage.
TEST_F(RunnerOnSystem, HugePagesSomeoneElseHeldBeforeTheCheckAreNotKernelDamage)
{
	auto in_use = [] {
		long total = -1, free = -1;
		for (const std::string &line : Lines(ReadFile("/proc/meminfo"))) {
			sscanf(line.c_str(), "HugePages_Total: %ld", &total);
			sscanf(line.c_str(), "HugePages_Free: %ld", &free);
		}
		return total - free;
	};
	pid_t holder = -1;
	Spawn h = MemfdHugePageHolder(&holder);
	std::thread held([&] { RunSpawn(h); });
	for (int i = 0; i < 500 && in_use() < 1; ++i)
		usleep(10000);
	ASSERT_EQ(in_use(), 1) << "the memfd holds no huge page";
	Result r = RunAndAct(RunnerSpawn({"-t", "20"}, {"STANDIN_rss_map_check=late"}), 1,
			     [&](pid_t) { kill(holder, SIGKILL); });
	held.join();
	EXPECT_THAT(Lines(r.out), Contains("ok 1 rss_map_check")) << r.out;
	EXPECT_THAT(r.out, HasSubstr("(others use the pool: not judged)"));
	EXPECT_THAT(r.out, testing::Not(HasSubstr("kernel_damage")));
	EXPECT_EQ(SystemState(), before_);
}

// Taken by someone else while the check ran and held after it: the pool did
// not come back, yet nothing of it is the check's. With a cgroup of its own
// the check is judged on its own pages alone.
TEST_F(RunnerOnSystem, HugePagesSomeoneElseTakesDuringTheCheckAreNotItsDamage)
{
	HugetlbCgroup offered;
	if (!offered.missing.empty())
		GTEST_SKIP() << offered.missing;
	pid_t holder = -1;
	std::thread held;
	Spawn h = MemfdHugePageHolder(&holder);
	Result r =
	    RunAndAct(RunnerSpawn({"-t", "20"}, {"STANDIN_rss_map_check=late"}), 1, [&](pid_t) {
		    held = std::thread([&] { RunSpawn(h); });
		    usleep(1500000); // it holds its page
	    });
	kill(holder, SIGKILL);
	held.join();
	EXPECT_THAT(Lines(r.out), Contains("ok 1 rss_map_check")) << r.out;
	EXPECT_THAT(r.out, HasSubstr("(not judged: the check's own cgroup counts its pages)"))
	    << r.out;
	EXPECT_THAT(r.out, testing::Not(HasSubstr("kernel_damage")));
	EXPECT_EQ(SystemState(), before_);
}

} // namespace
} // namespace checks
