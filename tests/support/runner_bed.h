// SPDX-License-Identifier: GPL-2.0-only
// The bed that run_checks_test's sources run the runner on: a copy of
// run_checks beside stand-in checks, and the system's state that every run
// must leave as it found it. Shared, so that the tests can be split by subject.
#pragma once

#include "hugepages.h"
#include "run.h"

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <ostream>
#include <string>
#include <sys/types.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace checks
{

namespace fs = std::filesystem;

inline constexpr char kPutBack[] = "# put back: restored nr_hugepages to 3, removed /hugepages";
inline constexpr char kPrivateMounts[] =
    "# mounted a tmpfs at /dev/shm and hugetlbfs at /hugepages "
    "(2048 kB pages) in a mount namespace of the check's own";

// What the runner must leave as it found it.
struct SystemState {
	long pages = ReadHugePageCount();
	bool dir = Exists("/hugepages");
	bool mounted = IsHugetlbfs("/hugepages");

	bool operator==(const SystemState &) const = default;
};

std::ostream &operator<<(std::ostream &os, const SystemState &s);

// The pids in a stand-in log ("... pid=N" lines).
std::vector<pid_t> LoggedPids(const std::string &log);

// Running, not merely a zombie waiting for whoever inherited it.
bool Alive(pid_t pid);

// A folder holding a copy of run_checks and, unless told otherwise, stand-ins
// for both checks.
class RunnerBed : public ::testing::Test
{
      protected:
	void SetUp() override
	{
		fs::permissions(bed_.path(), fs::perms(0755)); // reachable by other users
		fs::copy_file(ProgramPath("run_checks"), bed_ / "run_checks");
		for (const char *name : {"rss_map_check", "new_file_read_check"})
			fs::copy_file(STANDIN, bed_ / name);
	}

	void TearDown() override
	{
		for (pid_t pid : LoggedPids(ReadFile(log_path())))
			kill(pid, SIGKILL); // a setsid child, or what a failed case left
	}

	Spawn RunnerSpawn(const std::vector<std::string> &args = {},
			  const std::vector<std::string> &env = {})
	{
		Spawn s;
		s.argv = {bed_ / "run_checks"};
		s.argv.insert(s.argv.end(), args.begin(), args.end());
		s.env = env;
		s.env.push_back("STANDIN_LOG=" + log_path());
		return s;
	}

	Result RunRunner(const std::vector<std::string> &args = {},
			 const std::vector<std::string> &env = {})
	{
		return RunSpawn(RunnerSpawn(args, env));
	}

	// Runs `s` and, once `started` checks have logged, calls `act` with the
	// runner's pid.
	Result RunAndAct(Spawn s, size_t started, const std::function<void(pid_t)> &act)
	{
		std::remove(log_path().c_str());
		std::thread actor;
		s.on_start = [&](pid_t runner) {
			actor = std::thread([&, runner] {
				for (int i = 0;
				     i < 1000 && LoggedPids(ReadFile(log_path())).size() < started;
				     ++i)
					usleep(10000);
				act(runner);
			});
		};
		Result r = RunSpawn(s);
		actor.join();
		return r;
	}

	// Runs the runner with the rss stand-in in `mode` and sends `sig` to the
	// runner once the stand-in runs.
	Result RunAndSignal(const std::string &mode, int sig,
			    const std::vector<std::string> &args = {})
	{
		return RunAndAct(RunnerSpawn(args, {"STANDIN_rss_map_check=" + mode}), 1,
				 [sig](pid_t runner) {
					 usleep(100000); // and any child it starts
					 kill(runner, sig);
				 });
	}

	std::string log_path()
	{
		return bed_ / "standin.log";
	}

	// The runner has sent SIGKILL to the check's group; a member other than
	// the check (reaped by the runner) dies when the kernel gets to it, so
	// it has a moment. One the runner never killed sleeps for an hour.
	void ExpectNothingLeftRunning()
	{
		std::vector<pid_t> pids = LoggedPids(ReadFile(log_path()));
		EXPECT_FALSE(pids.empty()) << "the stand-in did not run";
		for (pid_t pid : pids) {
			for (int i = 0; i < 500 && Alive(pid); ++i)
				usleep(10000);
			EXPECT_FALSE(Alive(pid)) << "pid " << pid << " outlived the runner";
		}
	}

	TempDir bed_;
};

// Runs `script` in a private mount namespace, then execs `args`: "$0" and
// "$1" in the script.
Spawn InPrivateMountNamespace(const std::string &script, const std::vector<std::string> &args);

// Runs as root from the test's own starting state (3 pages, no /hugepages).
class RunnerOnSystem : public RunnerBed
{
      protected:
	void SetUp() override
	{
		RunnerBed::SetUp();
		if (std::string why = start_.Set(); !why.empty())
			GTEST_SKIP() << why;
		before_ = SystemState();
	}

	OwnStartState start_;
	SystemState before_;
};

} // namespace checks
