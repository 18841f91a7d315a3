// SPDX-License-Identifier: GPL-2.0-only
// One run at a time: a second run skips or waits its turn, nothing of a run
// stays in /run, and runs with a /run of their own each share the kernel's
// lock on the huge-page count.
#include "support/run.h"
#include "support/runner_bed.h"

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
using testing::MatchesRegex;

TEST_F(RunnerOnSystem, SecondRunnerSkipsWhileAnotherHoldsTheLock)
{
	Spawn first = RunnerSpawn({"-t", "5"}, {"STANDIN_rss_map_check=hang"});
	Result second;
	pid_t holder = -1;
	std::thread waiter;
	first.on_start = [&](pid_t runner) {
		holder = runner;
		waiter = std::thread([&] {
			for (int i = 0; i < 1000 && LoggedPids(ReadFile(log_path())).empty(); ++i)
				usleep(10000);
			second = RunRunner({"-w", "0"});
		});
	};
	Result r = RunSpawn(first);
	waiter.join();
	EXPECT_THAT(r.out, HasSubstr("# TIMEOUT 5 seconds"));
	EXPECT_THAT(Lines(second.out), Contains("ok 1 rss_map_check # SKIP another run holds "
						"/run/kernel-checks/lock (pid " +
						std::to_string(holder) + ")"));
	EXPECT_EQ(SystemState(), before_);
}

// The lock goes as soon as the huge pages are put back: a second run does not
// wait for the first's new-file checks, whose directory the first run's
// guardian still removes if it is killed meanwhile.
TEST_F(RunnerOnSystem, TheLockIsLetGoBeforeTheNewFileChecks)
{
	TempDir dir;
	Result second;
	RunAndAct(RunnerSpawn({"-d", dir.path()}, {"STANDIN_new_file_read_check=hang"}), 2,
		  [&](pid_t runner) {
			  second = RunRunner({"-w", "0"});
			  kill(runner, SIGKILL);
		  });
	EXPECT_THAT(Lines(second.out), Contains("ok 1 rss_map_check")) << second.out;
	for (int i = 0; i < 500 && !fs::is_empty(dir.path()); ++i)
		usleep(10000);
	EXPECT_TRUE(fs::is_empty(dir.path())) << "the private directory is left";
	EXPECT_EQ(SystemState(), before_);
	EXPECT_FALSE(Exists("/run/kernel-checks")) << "the state folder is left";
}

// Nothing of a run stays in /run: the lock file and its folder go with the
// run. A run that waited on that file then takes the lock anew, so a third
// finds the lock held by the second, never a free one beside it.
TEST_F(RunnerOnSystem, ARunLeavesNoStateAndAWaitingRunTakesTheLockAnew)
{
	Result alone = RunRunner();
	EXPECT_EQ(alone.exit_code, 0) << Describe(alone);
	EXPECT_FALSE(Exists("/run/kernel-checks")) << "the state folder is left";

	Spawn first = RunnerSpawn({"-t", "2"}, {"STANDIN_rss_map_check=hang"});
	Result second, third;
	pid_t waiting = -1;
	std::thread waiter, prober;
	first.on_start = [&](pid_t) {
		waiter = std::thread([&] {
			for (int i = 0; i < 1000 && LoggedPids(ReadFile(log_path())).empty(); ++i)
				usleep(10000);
			Spawn s =
			    RunnerSpawn({"-t", "3", "-w", "30"}, {"STANDIN_rss_map_check=hang"});
			s.on_start = [&](pid_t runner) {
				waiting = runner;
				prober = std::thread([&, runner] {
					// The second run holds the lock once its pid is in it.
					std::string mine = std::to_string(runner) + " 3\n";
					for (int i = 0; i < 1000 &&
							ReadFile("/run/kernel-checks/lock") != mine;
					     ++i)
						usleep(10000);
					third = RunRunner({"-w", "0"});
				});
			};
			second = RunSpawn(s);
			prober.join();
		});
	};
	Result r = RunSpawn(first);
	waiter.join();
	EXPECT_THAT(r.out, HasSubstr("# TIMEOUT 2 seconds"));
	EXPECT_THAT(second.out, HasSubstr("# TIMEOUT 3 seconds"));
	EXPECT_THAT(Lines(third.out), Contains("ok 1 rss_map_check # SKIP another run holds "
					       "/run/kernel-checks/lock (pid " +
					       std::to_string(waiting) + ")"))
	    << third.out;
	EXPECT_EQ(SystemState(), before_);
	EXPECT_FALSE(Exists("/run/kernel-checks"));
}

// Two real runners at once, round after round: each waits its turn, so each
// gives the verdict it gives alone and the system ends as it started.
TEST_F(RunnerOnSystem, TwoRealRunnersAtOnceGiveTheVerdictOfOneAlone)
{
	auto verdict = [](const Result &r) {
		for (const std::string &line : Lines(r.out))
			if (line.find(" 1 rss_map_check") != std::string::npos)
				return line;
		return std::string("no verdict:\n") + r.out;
	};
	std::string alone = verdict(RunProgram("run_checks"));
	for (int round = 0; round < 20; ++round) {
		SCOPED_TRACE(round);
		Result a, b;
		std::thread other([&] { b = RunProgram("run_checks"); });
		a = RunProgram("run_checks");
		other.join();
		EXPECT_EQ(verdict(a), alone);
		EXPECT_EQ(verdict(b), alone);
		EXPECT_EQ(SystemState(), before_);
	}
}

// Two runs with a /run of their own each (two containers on one kernel):
// the count is the kernel's, and so is the lock on it.
TEST_F(RunnerOnSystem, TwoRunsWithTheirOwnRunShareTheKernelsLock)
{
	auto own_run = [&](std::vector<std::string> args, const std::string &mode) {
		args.insert(args.begin(), bed_ / "run_checks");
		Spawn s = InPrivateMountNamespace(
		    "mount -t tmpfs -o mode=755 none /run && exec \"$0\" \"$@\"", args);
		s.env = RunnerSpawn({}, {"STANDIN_rss_map_check=" + mode}).env;
		return s;
	};
	Spawn first = own_run({"-t", "3"}, "hang");
	Result second;
	std::thread waiter;
	first.on_start = [&](pid_t) {
		waiter = std::thread([&] {
			for (int i = 0; i < 1000 && LoggedPids(ReadFile(log_path())).empty(); ++i)
				usleep(10000);
			second = RunSpawn(own_run({"-w", "0"}, "pass"));
		});
	};
	Result r = RunSpawn(first);
	waiter.join();
	EXPECT_THAT(r.out, HasSubstr("# TIMEOUT 3 seconds"));
	EXPECT_THAT(
	    Lines(second.out),
	    Contains("ok 1 rss_map_check # SKIP another run holds "
		     "/proc/sys/vm/nr_hugepages (its lock is not in this /run/kernel-checks)"))
	    << second.out;
	EXPECT_EQ(SystemState(), before_);
}

// Anyone may flock the kernel's file, readable by all: a lock that no root
// process holds is not another run's, and never a skip that hides a verdict.
TEST_F(RunnerOnSystem, AKernelLockThatOnlyAnotherUserHoldsIsNotAnotherRun)
{
	Spawn s;
	s.argv = {"/bin/sh", "-c",
		  "setpriv --reuid=65534 --regid=65534 --clear-groups flock --no-fork "
		  "/proc/sys/vm/nr_hugepages sleep 30 & "
		  "while flock -n /proc/sys/vm/nr_hugepages true; do sleep 0.05; done; "
		  "\"$0\" -w 2; status=$?; kill $!; exit $status",
		  bed_ / "run_checks"};
	s.env = RunnerSpawn().env;
	Result r = RunSpawn(s);
	EXPECT_EQ(r.exit_code, 0) << Describe(r);
	EXPECT_THAT(Lines(r.out), Contains("ok 1 rss_map_check")) << r.out;
	EXPECT_THAT(Lines(r.out),
		    Contains(MatchesRegex("# /proc/sys/vm/nr_hugepages is locked by pid [0-9]+ "
					  "of uid 65534, not root: not another run; going on "
					  "without that lock")));
	EXPECT_EQ(SystemState(), before_);
}

} // namespace
} // namespace checks
