// SPDX-License-Identifier: GPL-2.0-only
// The check's sandbox: it and all it starts run in a pid namespace of their
// own, which the kernel ends with the runner, whatever ends the runner; the
// check is not that namespace's first process; where the kernel refuses a
// namespace the run says so and goes on as before.
#include "support/hugepages.h"
#include "support/run.h"
#include "support/runner_bed.h"

#include <csignal>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace checks
{
namespace
{

using testing::Contains;
using testing::HasSubstr;

// The value of `key=` in the stand-in's log line for `check`.
std::string Logged(const std::string &log, const std::string &check, const std::string &key)
{
	for (const std::string &line : Lines(log)) {
		if (line.rfind(check + " ", 0) != 0)
			continue;
		size_t at = line.find(" " + key + "=");
		if (at == std::string::npos)
			return "";
		at += key.size() + 2;
		return line.substr(at, line.find(' ', at) - at);
	}
	return "";
}

std::string OwnPidNamespace()
{
	char link[64] = "";
	ssize_t n = readlink("/proc/self/ns/pid", link, sizeof(link) - 1);
	return n > 0 ? std::string(link, static_cast<size_t>(n)) : "";
}

TEST_F(RunnerOnSystem, TheCheckRunsInAPidNamespaceOfItsOwnNotAsItsFirstProcess)
{
	Result r = RunRunner();
	EXPECT_EQ(r.exit_code, 0) << Describe(r);
	std::string log = ReadFile(log_path());
	std::string ns = Logged(log, "rss_map_check", "pidns");
	EXPECT_THAT(ns, HasSubstr("pid:[")) << log;
	EXPECT_NE(ns, OwnPidNamespace()) << log;
	// Its first process dies of no signal it has no handler for: the
	// check must not be that one, to die of its own SIGABRT.
	EXPECT_NE(Logged(log, "rss_map_check", "nspid"), "1") << log;
	EXPECT_EQ(SystemState(), before_);
}

// Its shell, slowed as on a loaded board, reserved its pages after the
// guardian had put the count back, and the next run took them for the
// machine's own.
TEST_F(RunnerOnSystem, NothingTheCheckStartedOutlivesAKilledRunner)
{
	RunAndAct(RunnerSpawn({}, {"STANDIN_rss_map_check=slowshell"}), 2, [](pid_t runner) {
		usleep(300000); // its shell asleep
		kill(runner, SIGKILL);
	});
	sleep(3); // past the shell's 2 s
	EXPECT_EQ(SystemState(), before_);
	ExpectNothingLeftRunning();
}

TEST_F(RunnerOnSystem, WhereTheKernelRefusesAPidNamespaceTheRunSaysSoAndGoesOn)
{
	Result r = RunRunner(
	    {}, {std::string("LD_PRELOAD=") + FAULT_SHIM, "SHIM_FAIL_UNSHARE=0x20000000"});
	EXPECT_EQ(r.exit_code, 0) << Describe(r);
	EXPECT_THAT(Lines(r.out), Contains("# no pid namespace for the check (unshare: Operation "
					   "not permitted): a process it starts that leaves its "
					   "process group can outlive a killed runner"));
	EXPECT_THAT(Lines(r.out), Contains("ok 1 rss_map_check"));
	EXPECT_EQ(Logged(ReadFile(log_path()), "rss_map_check", "pidns"), OwnPidNamespace());
	EXPECT_EQ(SystemState(), before_);
}

// Where no pid namespace can be had, a process the check started that left
// its process group still dies with the run: it is in the check's cgroup.
TEST_F(RunnerOnSystem, WithoutAPidNamespaceTheChecksCgroupEndsWhatItStarted)
{
	HugetlbCgroup offered;
	if (!offered.missing.empty())
		GTEST_SKIP() << offered.missing;
	Result r = RunRunner({}, {std::string("LD_PRELOAD=") + FAULT_SHIM,
				  "SHIM_FAIL_UNSHARE=0x20000000", "STANDIN_rss_map_check=setsid"});
	EXPECT_THAT(Lines(r.out), Contains("ok 1 rss_map_check")) << r.out;
	EXPECT_THAT(r.out, testing::MatchesRegex("(.|\n)*# put back: removed "
						 "[^,]*/kernel-checks\\.[0-9]+,(.|\n)*"))
	    << r.out;
	ExpectNothingLeftRunning();
	EXPECT_EQ(SystemState(), before_);
}

} // namespace
} // namespace checks
