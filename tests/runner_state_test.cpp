// SPDX-License-Identifier: GPL-2.0-only
// The system put back, whatever ends the run: its end, a stopping signal,
// SIGKILL (the guardian puts back), a kill of the guardian too (the record
// the next run replays), a reboot (the mark on /hugepages), and a record or
// lock that is not what the runner wrote. Also the suite's own putting back.
#include "support/hugepages.h"
#include "support/run.h"
#include "support/runner_bed.h"

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <string>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace checks
{
namespace
{

using testing::Contains;
using testing::MatchesRegex;
using testing::StartsWith;

TEST_F(RunnerOnSystem, CheckRunsWithHugePagesReservedAndMountedThenAllIsPutBack)
{
	Result r = RunRunner();
	EXPECT_EQ(r.exit_code, 0) << Describe(r);
	std::vector<std::string> log = Lines(ReadFile(log_path()));
	ASSERT_EQ(log.size(), 2u);
	EXPECT_THAT(log[0], StartsWith("rss_map_check arg= nr_hugepages=100 hugetlbfs=1 "));
	EXPECT_THAT(Lines(r.out), Contains(kPrivateMounts));
	EXPECT_THAT(Lines(r.out), Contains(kPutBack));
	EXPECT_EQ(SystemState(), before_);
}

// The new-file check dies with the runner too.
TEST_F(RunnerBed, NewFileCheckDiesWithTheRunner)
{
	RunAndAct(RunnerSpawn({}, {"STANDIN_new_file_read_check=hang"}), 2,
		  [](pid_t runner) { kill(runner, SIGKILL); });
	ExpectNothingLeftRunning();
}

TEST_F(RunnerOnSystem, ExistingHugetlbfsMountIsLeftMounted)
{
	ASSERT_EQ(mkdir("/hugepages", 0755), 0);
	ASSERT_EQ(mount("none", "/hugepages", "hugetlbfs", 0, nullptr), 0);
	SystemState before;
	std::string mount_line = HugetlbfsMountLine();
	Result r = RunRunner();
	EXPECT_EQ(r.exit_code, 0) << Describe(r);
	EXPECT_THAT(Lines(r.out), Contains("# put back: restored nr_hugepages to 3"));
	EXPECT_EQ(SystemState(), before);
	EXPECT_EQ(HugetlbfsMountLine(), mount_line);
	umount("/hugepages");
	rmdir("/hugepages");
}

// Every catchable signal that would end the runner: the check and its whole
// group are killed, the system put back, and the runner dies of the signal.
TEST_F(RunnerOnSystem, StopSignalKillsTheCheckGroupPutsBackAndDies)
{
	// The faults sent by a watchdog's kill, and 32 and 33, which the C
	// library keeps for itself yet which end a program all the same.
	for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGQUIT, SIGUSR1, SIGALRM, SIGPIPE, SIGXCPU,
			SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGTRAP, 32, 33, 64}) {
		SCOPED_TRACE(sig);
		Result r = RunAndSignal("grandchild", sig);
		EXPECT_EQ(r.signal, sig) << Describe(r);
		EXPECT_THAT(Lines(r.out), Contains(kPutBack));
		EXPECT_THAT(Lines(r.out), Contains(StartsWith("Bail out! stopped by signal " +
							      std::to_string(sig))));
		EXPECT_EQ(SystemState(), before_);
		EXPECT_FALSE(Exists("/run/kernel-checks")) << "the state folder is left";
		ExpectNothingLeftRunning();
	}
}

// Every process running the runner's program: the runner and its guardian.
std::vector<pid_t> RunnerProcesses(const std::string &program)
{
	std::vector<pid_t> pids;
	for (const auto &e : fs::directory_iterator("/proc")) {
		std::error_code ec;
		if (fs::read_symlink(e.path() / "exe", ec) == program)
			pids.push_back(std::stoi(e.path().filename()));
	}
	return pids;
}

// A stalled console (XOFF on a serial line, a logger that stops reading)
// never keeps the runner from putting the machine back when told to stop.
TEST_F(RunnerOnSystem, StalledOutputDoesNotDelayPuttingBackOnAStop)
{
	int master = posix_openpt(O_RDWR | O_NOCTTY);
	ASSERT_GE(master, 0);
	ASSERT_EQ(grantpt(master), 0);
	ASSERT_EQ(unlockpt(master), 0);
	int tty = open(ptsname(master), O_RDWR | O_NOCTTY);
	ASSERT_GE(tty, 0);
	ASSERT_EQ(tcflow(tty, TCOOFF), 0) << "output stopped, as by XOFF";
	std::string program = bed_ / "run_checks", log = "STANDIN_LOG=" + log_path();
	const char *env[] = {"STANDIN_rss_map_check=hang", log.c_str(), "PATH=/usr/bin:/bin",
			     nullptr};
	pid_t runner = fork();
	if (runner == 0) {
		dup2(tty, 1);
		struct rlimit no_core = {0, 0};
		setrlimit(RLIMIT_CORE, &no_core);
		execle(program.c_str(), program.c_str(), nullptr, env);
		_exit(127);
	}
	for (int i = 0; i < 1000 && LoggedPids(ReadFile(log_path())).empty(); ++i)
		usleep(10000);
	EXPECT_FALSE(LoggedPids(ReadFile(log_path())).empty()) << "the check never started";
	kill(runner, SIGTERM);
	int status = 0;
	bool ended = false;
	for (int i = 0; i < 500 && !(ended = waitpid(runner, &status, WNOHANG) == runner); ++i)
		usleep(10000);
	if (!ended) {
		kill(runner, SIGKILL);
		waitpid(runner, &status, 0);
	}
	EXPECT_TRUE(ended) << "SIGTERM did not end a runner whose output had stalled";
	EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
	EXPECT_EQ(SystemState(), before_);
	close(tty);
	close(master);
}

// SIGKILL cannot be caught: the check dies with the runner, and the
// runner's guardian puts the machine back at once, with no later run.
TEST_F(RunnerOnSystem, AfterSigkillItsGuardianPutsBackAtOnce)
{
	std::string lock;
	Result killed =
	    RunAndAct(RunnerSpawn({}, {"STANDIN_rss_map_check=hang"}), 1, [&](pid_t runner) {
		    lock = ReadFile("/run/kernel-checks/lock");
		    kill(runner, SIGKILL);
	    });
	EXPECT_EQ(killed.signal, SIGKILL) << Describe(killed);
	EXPECT_THAT(lock, MatchesRegex("[0-9]+ 30\n")) << "the default -t is 30 s";
	// Bounded only so that a guardian that never acts fails the test.
	for (int i = 0; i < 500 && !(SystemState() == before_); ++i)
		usleep(10000);
	EXPECT_EQ(SystemState(), before_);
	ExpectNothingLeftRunning();
	for (int i = 0; i < 500 && !RunnerProcesses(bed_ / "run_checks").empty(); ++i)
		usleep(10000);
	EXPECT_THAT(RunnerProcesses(bed_ / "run_checks"), testing::IsEmpty())
	    << "the guardian outlived its runner";
	Result next = RunRunner();
	EXPECT_THAT(Lines(next.out),
		    Contains(MatchesRegex("# run [0-9]+ ended without putting back; its guardian "
					  "did: restored nr_hugepages to 3, removed /hugepages")));
}

// A kill between a change and its record, made certain by the fault shim:
// the change was on the record before it was made, so the guardian puts it
// back all the same.
TEST_F(RunnerOnSystem, AKillBetweenAChangeAndItsRecordLeavesNothing)
{
	struct Case {
		const char *kill_after;
		const char *refused; // namespaces refused, as a container may
	} cases[] = {
	    {"mkdir:/hugepages", "0"},
	    // No mount namespace: hugetlbfs on the machine's own /hugepages.
	    {"mount:/hugepages", "0x20000"},
	};
	for (const Case &c : cases) {
		SCOPED_TRACE(c.kill_after);
		Result killed = RunRunner({}, {std::string("LD_PRELOAD=") + FAULT_SHIM,
					       std::string("SHIM_KILL_AFTER=") + c.kill_after,
					       std::string("SHIM_FAIL_UNSHARE=") + c.refused});
		EXPECT_EQ(killed.signal, SIGKILL) << Describe(killed);
		for (int i = 0; i < 500 && !(SystemState() == before_); ++i)
			usleep(10000);
		EXPECT_EQ(SystemState(), before_);
		umount("/hugepages");
		unlink("/hugepages/.made-by-run_checks");
		rmdir("/hugepages");
	}
}

// Killed during the new-file check: its private directory goes too.
TEST_F(RunnerOnSystem, AfterSigkillDuringTheNewFileCheckItsDirectoryIsRemoved)
{
	TempDir dir;
	RunAndAct(RunnerSpawn({"-d", dir.path()}, {"STANDIN_new_file_read_check=hang"}), 2,
		  [](pid_t runner) { kill(runner, SIGKILL); });
	ASSERT_EQ(LoggedPids(ReadFile(log_path())).size(), 2u);
	for (int i = 0; i < 500 && !fs::is_empty(dir.path()); ++i)
		usleep(10000);
	EXPECT_TRUE(fs::is_empty(dir.path())) << "the private directory is left";
	EXPECT_EQ(SystemState(), before_);
}

// What kills the guardian too (a cgroup kill, as a harness does) leaves the
// record, which the next run puts back before anything else; then it saves
// the true original. What someone changed since is left as it is.
TEST_F(RunnerOnSystem, WhatKillsTheGuardianTooIsPutBackByTheNextRunWhereStillAsLeft)
{
	struct Case {
		const char *changed_since; // shell, after the kill
		const char *recovered;
		long pages_after;
	} cases[] = {
	    {"true",
	     "# recovered from an interrupted run: restored nr_hugepages to 3, removed "
	     "/hugepages",
	     3},
	    {"echo 130 > /proc/sys/vm/nr_hugepages && mount -t hugetlbfs her /hugepages",
	     "# recovered from an interrupted run: left nr_hugepages at 130: not between the 3 "
	     "the run found and the 100 it set (someone changed it since), left /hugepages: not "
	     "the directory the run made",
	     130},
	    // Between what it found and what it set: the run's own work, stopped
	    // part way (a write the kernel cut short, fewer pages granted).
	    {"echo 30 > /proc/sys/vm/nr_hugepages",
	     "# recovered from an interrupted run: restored nr_hugepages to 3, removed "
	     "/hugepages",
	     3},
	};
	for (const Case &c : cases) {
		SCOPED_TRACE(c.changed_since);
		RunAndAct(RunnerSpawn({}, {"STANDIN_rss_map_check=hang"}), 1, [&](pid_t) {
			// Stopped first, so that neither acts on the other's death.
			std::vector<pid_t> all = RunnerProcesses(bed_ / "run_checks");
			for (pid_t pid : all)
				kill(pid, SIGSTOP);
			for (pid_t pid : all)
				kill(pid, SIGKILL);
		});
		usleep(100000);
		EXPECT_EQ(SystemState().pages, 100);
		Spawn change;
		change.argv = {"/bin/sh", "-c", c.changed_since};
		ASSERT_EQ(RunSpawn(change).exit_code, 0);
		std::string her = c.pages_after == 130 ? HugetlbfsMountLine() : "";
		Result next = RunRunner();
		EXPECT_EQ(next.exit_code, 0) << Describe(next);
		std::vector<std::string> out = Lines(next.out);
		auto recovered = std::find(out.begin(), out.end(), c.recovered);
		EXPECT_NE(recovered, out.end()) << next.out;
		EXPECT_LT(recovered, std::find(out.begin(), out.end(), kPrivateMounts))
		    << "put back before anything else";
		EXPECT_EQ(ReadHugePageCount(), c.pages_after);
		EXPECT_EQ(HugetlbfsMountLine(), her) << "her mount is hers";
		while (umount("/hugepages") == 0) {
		}
		unlink("/hugepages/.made-by-run_checks"); // the run's mark, left with the directory
		rmdir("/hugepages");
		HugePageSystem().SetCount(3);
	}
}

// After a reboot no record is left in /run, but a /hugepages the runner made
// holds its mark: the next run removes it; a directory of anyone else stays.
TEST_F(RunnerOnSystem, ADirectoryLeftByARunBeforeARebootIsRemovedByItsMark)
{
	for (bool marked : {true, false}) {
		SCOPED_TRACE(marked);
		ASSERT_EQ(mkdir("/hugepages", 0755), 0);
		if (marked)
			WriteFile("/hugepages/.made-by-run_checks", "");
		Result r = RunRunner();
		EXPECT_EQ(r.exit_code, 0) << Describe(r);
		EXPECT_EQ(Exists("/hugepages"), !marked) << r.out;
		rmdir("/hugepages");
		EXPECT_EQ(SystemState(), before_);
	}
}

// A record or lock that is not what the runner wrote: a damaged record is
// kept for a person and never replayed; anything but a regular file at
// either name is refused at once, never waited on.
TEST_F(RunnerOnSystem, DamagedRecordOrStrangeFilesAtItsNamesAreRefusedNotReplayed)
{
	struct Case {
		const char *plant; // shell, in /run/kernel-checks
		const char *line;
	} cases[] = {
	    {"printf 'pid 1\\nboot x\\nnr_hugepages' > state",
	     "# the record of an interrupted run cannot be read: kept as "
	     "/run/kernel-checks/state.damaged, nothing of it put back"},
	    {"mkfifo state", "ok 1 rss_map_check # SKIP /run/kernel-checks/state is not a regular "
			     "file"},
	    {"mkdir state", "ok 1 rss_map_check # SKIP /run/kernel-checks/state is not a regular "
			    "file"},
	    {"rm -f lock && mkfifo lock",
	     "ok 1 rss_map_check # SKIP /run/kernel-checks/lock is not a regular file"},
	};
	for (const Case &c : cases) {
		SCOPED_TRACE(c.plant);
		Spawn plant;
		plant.argv = {"/bin/sh", "-c",
			      std::string("mkdir -p -m 700 /run/kernel-checks && cd "
					  "/run/kernel-checks && ") +
				  c.plant};
		ASSERT_EQ(RunSpawn(plant).exit_code, 0);
		Spawn s = RunnerSpawn({"-w", "1"});
		s.timeout_ms = 20000;
		Result r = RunSpawn(s);
		EXPECT_FALSE(r.timed_out) << Describe(r);
		EXPECT_THAT(Lines(r.out), Contains(c.line)) << r.out;
		EXPECT_EQ(SystemState(), before_);
		Spawn clean;
		clean.argv = {"/bin/sh", "-c",
			      "cd /run/kernel-checks && rm -rf state state.damaged lock"};
		RunSpawn(clean);
	}
}

// The suite itself puts back a hugetlbfs it found at /hugepages with the
// same flags and options, which hugetlbfs takes only as mount(2) gives them.
TEST(TestSupport, OwnStartStatePutsBackAMountAsItWas)
{
	if (geteuid() != 0 || Exists("/hugepages"))
		GTEST_SKIP() << "needs root and a machine without /hugepages";
	ASSERT_EQ(mkdir("/hugepages", 0755), 0);
	ASSERT_EQ(mount("admin", "/hugepages", "hugetlbfs", MS_NOSUID | MS_NODEV,
			"pagesize=2M,size=64M,mode=0750"),
		  0);
	std::string before = HugetlbfsMountLine();
	{
		OwnStartState start;
		ASSERT_EQ(start.Set(), "");
		EXPECT_FALSE(Exists("/hugepages"));
	}
	EXPECT_EQ(HugetlbfsMountLine(), before);
	umount("/hugepages");
	rmdir("/hugepages");
}

} // namespace
} // namespace checks
