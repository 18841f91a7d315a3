// SPDX-License-Identifier: GPL-2.0-only
// run_checks from outside: a copy of the runner beside stand-in checks, so that
// every verdict, the timeout and the exit codes can be driven; the system put
// back from a starting state of the test's own after every way a run can end;
// hostile starts, names and neighbours; and the real runner, whose KTAP an
// independent TAP parser must read the same way.
#include "support/hugepages.h"
#include "support/ktap.h"
#include "support/run.h"

#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sstream>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace checks
{
namespace
{

using testing::AllOf;
using testing::Contains;
using testing::ContainsRegex;
using testing::Each;
using testing::HasSubstr;
using testing::MatchesRegex;
using testing::Not;
using testing::StartsWith;

namespace fs = std::filesystem;

constexpr char kPutBack[] = "# put back: restored nr_hugepages to 3, removed /hugepages";
constexpr char kPrivateMounts[] = "# mounted a tmpfs at /dev/shm and hugetlbfs at /hugepages "
				  "(2048 kB pages) in a mount namespace of the check's own";

// What the runner must leave as it found it.
struct SystemState {
	long pages = ReadHugePageCount();
	bool dir = Exists("/hugepages");
	bool mounted = IsHugetlbfs("/hugepages");

	bool operator==(const SystemState &) const = default;
};

std::ostream &operator<<(std::ostream &os, const SystemState &s)
{
	return os << "{pages " << s.pages << ", dir " << s.dir << ", mounted " << s.mounted << "}";
}

// The pids in a stand-in log ("... pid=N" lines).
std::vector<pid_t> LoggedPids(const std::string &log)
{
	std::vector<pid_t> pids;
	for (const std::string &line : Lines(log))
		if (line.rfind("pid=") != std::string::npos)
			pids.push_back(std::stoi(line.substr(line.rfind("pid=") + 4)));
	return pids;
}

// Running, not merely a zombie waiting for whoever inherited it.
bool Alive(pid_t pid)
{
	std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
	return kill(pid, 0) == 0 && stat.size() > stat.rfind(')') + 2 &&
	       stat[stat.rfind(')') + 2] != 'Z';
}

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
Spawn InPrivateMountNamespace(const std::string &script, const std::vector<std::string> &args)
{
	Spawn s;
	s.argv = {"/usr/bin/unshare", "--mount", "--propagation", "private",
		  "/bin/sh",	      "-c",	 script};
	s.argv.insert(s.argv.end(), args.begin(), args.end());
	return s;
}

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

// Verdicts of rss_map_check, driven by the stand-in.

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

// The system put back, whatever ends the run.

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

// The checks inherit none of the runner's descriptors (a harness's lock)
// and no blocked signal.
TEST_F(RunnerBed, ChecksInheritNoDescriptorAndNoBlockedSignal)
{
	Spawn s = RunnerSpawn();
	s.argv = {"/bin/sh", "-c", "exec 7</dev/null 8>/dev/null; exec \"$0\"",
		  bed_ / "run_checks"};
	RunSpawn(s);
	std::vector<std::string> log = Lines(ReadFile(log_path()));
	ASSERT_EQ(log.size(), 2u);
	EXPECT_THAT(log, Each(HasSubstr(" fds=0 blocked=0000000000000000 ")));
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
	    {"echo 30 > /proc/sys/vm/nr_hugepages && mount -t hugetlbfs her /hugepages",
	     "# recovered from an interrupted run: left nr_hugepages at 30: not the 100 the run "
	     "set (someone changed it since), left /hugepages: not the directory the run made",
	     30},
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
		std::string her = c.pages_after == 30 ? HugetlbfsMountLine() : "";
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

// The check must find enough FREE huge pages after the reservation: pages
// held by another process count in the total but not for the check.
TEST_F(RunnerOnSystem, TooFewFreeHugePagesSkip)
{
	long page_kb = 0;
	std::istringstream(ReadFile("/proc/meminfo")
			       .substr(ReadFile("/proc/meminfo").find("Hugepagesize:") + 13)) >>
	    page_kb;
	long need = 16384 / page_kb;
	for (long free_pages : {0L, need - 1, need}) {
		SCOPED_TRACE(free_pages);
		HugePageSystem().SetCount(100 - free_pages);
		HugePageHolder holder(100 - free_pages);
		ASSERT_TRUE(holder.holding());
		Result r = RunRunner();
		std::string skip = "ok 1 rss_map_check # SKIP only " + std::to_string(free_pages) +
				   " huge pages of " + std::to_string(page_kb) +
				   " kB are free (of 100); the check needs " + std::to_string(need);
		if (free_pages < need)
			EXPECT_THAT(Lines(r.out), Contains(skip)) << r.out;
		else
			EXPECT_THAT(Lines(r.out), Contains("ok 1 rss_map_check")) << r.out;
		EXPECT_EQ(ReadHugePageCount(), 100 - free_pages);
	}
}

// The check's /dev/shm and /hugepages are its own: what others made of the
// machine's no longer matters. A read-only /proc/sys still stands in the way.
TEST_F(RunnerOnSystem, TheMachinesScratchPlacesNoLongerMatterButItsSysctlsDo)
{
	struct Case {
		const char *setup; // shell, in a private mount namespace
		const char *result;
	};
	for (
	    const Case &c : std::vector<Case>{
		{"mkdir /dev/shm/hugetlbhog", "ok 1 rss_map_check"},
		{"ln -s /etc/passwd /dev/shm/hugetlbhog", "ok 1 rss_map_check"},
		{"mount -t tmpfs -o size=8m none /dev/shm && head -c 8m /dev/zero > /dev/shm/f",
		 "ok 1 rss_map_check"},
		{"mkdir /hugepages && mount -t hugetlbfs -o ro none /hugepages",
		 "ok 1 rss_map_check"},
		{"mkdir /hugepages && mount -t hugetlbfs -o size=2M,nr_inodes=2 none /hugepages && "
		 "mkdir /hugepages/hugetlbhog",
		 "ok 1 rss_map_check"},
		{"mount --bind /proc/sys /proc/sys && mount -o remount,bind,ro /proc/sys",
		 "ok 1 rss_map_check # SKIP cannot write /proc/sys/vm/nr_hugepages: Read-only file "
		 "system"},
	    }) {
		SCOPED_TRACE(c.setup);
		std::remove(log_path().c_str());
		Spawn s = InPrivateMountNamespace(std::string(c.setup) + " && exec \"$0\"",
						  {bed_ / "run_checks"});
		s.env = RunnerSpawn().env;
		Result r = RunSpawn(s);
		rmdir("/dev/shm/hugetlbhog");
		unlink("/dev/shm/hugetlbhog");
		rmdir("/hugepages"); // made in the namespace, on the real root
		EXPECT_EQ(r.exit_code, 0) << Describe(r);
		EXPECT_THAT(Lines(r.out), Contains(c.result)) << r.out;
		EXPECT_EQ(SystemState(), before_);
	}
}

// While the check runs, the machine's mount table is as it was; the check
// sees its own hugetlbfs.
TEST_F(RunnerOnSystem, TheMachinesMountTableIsUnchangedWhileTheCheckRuns)
{
	std::string before = ReadFile("/proc/self/mountinfo"), during;
	RunAndAct(RunnerSpawn({}, {"STANDIN_rss_map_check=hang"}), 1, [&](pid_t runner) {
		during = ReadFile("/proc/self/mountinfo");
		kill(runner, SIGTERM);
	});
	EXPECT_EQ(during, before);
	EXPECT_THAT(ReadFile(log_path()), HasSubstr(" hugetlbfs=1 "));
	EXPECT_EQ(SystemState(), before_);
}

// Where no namespace can be had (no CAP_SYS_ADMIN, as in a container), the
// machine's own mounts serve, as one line says; a name another user planted
// there is a skip that names its owner.
TEST_F(RunnerOnSystem, WithoutANamespaceTheMachinesMountsServeAndPlantedNamesAreSkips)
{
	ASSERT_EQ(mkdir("/hugepages", 0755), 0);
	ASSERT_EQ(mount("none", "/hugepages", "hugetlbfs", 0, nullptr), 0);
	auto run = [&] {
		Spawn s = RunnerSpawn();
		s.argv.insert(s.argv.begin(), {"/usr/bin/setpriv", "--bounding-set=-sys_admin",
					       "--inh-caps=-sys_admin"});
		return Lines(RunSpawn(s).out);
	};
	std::vector<std::string> out = run();
	EXPECT_THAT(out, Contains("# no mount namespace for the check (unshare: Operation not "
				  "permitted): it uses the machine's /dev/shm and /hugepages"));
	EXPECT_THAT(out, Contains("ok 1 rss_map_check"));
	EXPECT_EQ(IsHugetlbfs("/hugepages"), true);
	ASSERT_EQ(mkdir("/dev/shm/hugetlbhog", 0755), 0);
	ASSERT_EQ(chown("/dev/shm/hugetlbhog", 65534, 65534), 0);
	out = run();
	rmdir("/dev/shm/hugetlbhog");
	EXPECT_THAT(out, Contains("ok 1 rss_map_check # SKIP /dev/shm/hugetlbhog exists and is "
				  "not a regular file (owner uid 65534)"));
	umount("/hugepages");
	rmdir("/hugepages");
	EXPECT_EQ(SystemState(), before_);
}

// A memory cgroup of the test's own with a limit, entered by a shell line;
// where none can be made, why in `missing`.
class MemoryCgroup
{
      public:
	explicit MemoryCgroup(long limit_kb)
	{
		std::string own = ReadFile("/proc/self/cgroup"), base;
		size_t v1 = own.find(":memory:");
		std::string name =
		    "/run_checks_test." + std::to_string(getpid()) + "." + std::to_string(limit_kb);
		// v1: beside this process's own; v2: under the root, whose
		// subtree has the memory controller and no processes rule.
		if (v1 != std::string::npos)
			dir_ = "/sys/fs/cgroup/memory" +
			       own.substr(v1 + 8, own.find('\n', v1) - v1 - 8) + name;
		else
			dir_ = "/sys/fs/cgroup" + name;
		std::string limit =
		    v1 != std::string::npos ? "memory.limit_in_bytes" : "memory.max";
		if (mkdir(dir_.c_str(), 0755) != 0 || !Exists(dir_ + "/" + limit)) {
			missing = "cannot make a memory cgroup at " + dir_;
			return;
		}
		WriteFile(dir_ + "/" + limit, std::to_string(limit_kb * 1024) + "\n");
	}
	~MemoryCgroup()
	{
		for (int i = 0; i < 100 && rmdir(dir_.c_str()) != 0 && errno == EBUSY; ++i)
			usleep(10000);
	}
	std::string Enter() const
	{
		return "echo $$ > " + dir_ + "/cgroup.procs && ";
	}
	std::string missing;

      private:
	std::string dir_;
};

// Each environment that stands in the check's way is a skip that names it,
// measured, never a kernel failure; where nothing stands in the way the
// stand-in's pass comes through. The shell line runs in a mount namespace of
// the test's own and ends by running the runner ("$0"); NONS runs it without
// CAP_SYS_ADMIN, so that it uses that namespace's /dev/shm and /hugepages.
TEST_F(RunnerOnSystem, TheEnvironmentIsASkipWithItsMeasuredCause)
{
	MemoryCgroup small(12 * 1024), hogged(64 * 1024);
	if (!small.missing.empty())
		GTEST_SKIP() << small.missing;
	const std::string nons =
			      "mkdir -p /hugepages && mount -t hugetlbfs none /hugepages && exec "
			      "/usr/bin/setpriv --bounding-set=-sys_admin --inh-caps=-sys_admin ",
			  dir = bed_ / "full";
	ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
	struct Case {
		std::string script, rss_mode, result; // a regular expression
	};
	for (const Case &c : std::vector<Case>{
		 {"ulimit -d 8000", "pass",
		  "ok 1 rss_map_check # SKIP RLIMIT_DATA is 8000 kB: the check maps 16384 kB of "
		  "private memory at once, besides its own"},
		 {"ulimit -v 16000", "pass",
		  "ok 1 rss_map_check # SKIP RLIMIT_AS is 16000 kB: the check maps 16384 kB at "
		  "once, "
		  "besides its own"},
		 {"ulimit -f 2000", "pass", // dash counts blocks of 512 bytes
		  "ok 1 rss_map_check # SKIP RLIMIT_FSIZE is 1000 kB: the check sizes files to "
		  "16384 "
		  "kB"},
		 {small.Enter() + "true", "pass",
		  "ok 1 rss_map_check # SKIP the memory cgroup /.* has [0-9]+ kB free of its limit "
		  "of "
		  "12288 kB; the check needs about 36864 kB"},
		 {hogged.Enter() + "true", "hog",
		  "ok 1 rss_map_check # SKIP the check was killed by the kernel's OOM killer: the "
		  "memory cgroup /.* \\(limit 65536 kB\\) counts 1 OOM kills, 0 before"},
		 {"mount -t tmpfs -o nr_inodes=1 none /dev/shm && " + nons, "pass",
		  "ok 1 rss_map_check # SKIP /dev/shm has no inode free for the check's file"},
		 {"mount -t tmpfs -o size=16m none /dev/shm && " + nons, "pass",
		  "ok 1 rss_map_check"},
		 {"mount -t tmpfs -o size=16m none /dev/shm && : > /dev/shm/f && echo >> "
		  "/dev/shm/f && " +
		      nons,
		  "pass",
		  "ok 1 rss_map_check # SKIP /dev/shm has 16380 kB free; the check needs 16384 kB"},
		 {"mount -t tmpfs -o ro none /dev/shm && " + nons, "pass",
		  "ok 1 rss_map_check # SKIP /dev/shm is read-only"},
		 {"mount -t tmpfs -o nr_inodes=2 none " + dir + " && set -- -d " + dir, "pass",
		  "ok 2 new_file_read_check/.*/full # SKIP " + dir +
		      " has no inode free for a new file: [0-9]+ kB and 0 inodes free"},
	     }) {
		SCOPED_TRACE(c.script);
		std::string script = c.script;
		if (script.find("exec ") == std::string::npos)
			script += " && exec";
		Spawn s = InPrivateMountNamespace(script + " \"$0\" \"$@\"", {bed_ / "run_checks"});
		s.env = RunnerSpawn({}, {"STANDIN_rss_map_check=" + c.rss_mode}).env;
		Result r = RunSpawn(s);
		rmdir("/hugepages"); // made in the namespace, on the real root
		EXPECT_THAT(Lines(r.out), Contains(ContainsRegex("^" + c.result + "$"))) << r.out;
		EXPECT_NE(r.exit_code, 1) << Describe(r);
		EXPECT_EQ(SystemState(), before_);
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

// Too few descriptors: every reason names the error, the system is put back.
TEST_F(RunnerOnSystem, DescriptorLimitSkipsWithTheErrorAndPutsBack)
{
	for (int limit : {4, 5, 6, 7, 8}) {
		SCOPED_TRACE(limit);
		Spawn s = RunnerSpawn();
		s.max_fds = limit;
		Result r = RunSpawn(s);
		std::vector<std::string> results;
		for (const std::string &line : Lines(r.out))
			if (line.rfind("ok ", 0) == 0 || line.rfind("not ok ", 0) == 0)
				results.push_back(line);
		ASSERT_EQ(results.size(), 2u) << r.out;
		EXPECT_THAT(results,
			    Each(MatchesRegex("ok [12] [a-z_]+ # SKIP .*Too many open files")))
		    << r.out;
		EXPECT_EQ(SystemState(), before_);
	}
}

// One run at a time.

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

// A system without /dev/shm (Android's /dev, a tmpfs of its own here): the
// run makes the mount point for the check's tmpfs and removes it after, and
// so does its guardian when the runner is killed.
TEST_F(RunnerOnSystem, WithoutDevShmTheRunMakesItsMountPointAndRemovesIt)
{
	const std::string android_dev =
	    "mount -t tmpfs -o mode=0755 none /dev && mknod -m 666 /dev/null c 1 3 && "
	    "mknod -m 666 /dev/zero c 1 5 && mknod -m 666 /dev/urandom c 1 9 && "
	    "mknod -m 600 /dev/kmsg c 1 11 && ";
	const std::string after = "; i=0; while [ -d /dev/shm ] && [ $i -lt 200 ]; do "
				  "sleep 0.05; i=$((i + 1)); done; ls /dev/shm 2>&1 | "
				  "sed 's/^/after: /'";
	struct Case {
		const char *what, *run, *mode;
		std::string result;
	} cases[] = {
	    {"a run", "\"$0\" \"$@\"", "pass", "ok 1 rss_map_check"},
	    {"a killed run", "\"$0\" \"$@\" & sleep 2; kill -9 $!", "hang", ""},
	};
	for (const Case &c : cases) {
		SCOPED_TRACE(c.what);
		Spawn s =
		    InPrivateMountNamespace(android_dev + c.run + after, {bed_ / "run_checks"});
		s.env = RunnerSpawn({}, {std::string("STANDIN_rss_map_check=") + c.mode}).env;
		Result r = RunSpawn(s);
		rmdir("/hugepages"); // made in the namespace, on the real root
		if (!c.result.empty()) {
			EXPECT_THAT(Lines(r.out), Contains(c.result)) << r.out;
			EXPECT_THAT(Lines(r.out),
				    Contains("# made /dev/shm, which this system lacks, for the "
					     "check's tmpfs"));
			EXPECT_THAT(r.out, HasSubstr(", removed /dev/shm\n"));
		}
		EXPECT_THAT(Lines(r.out),
			    Contains(HasSubstr("after: ls: cannot access '/dev/shm'")))
		    << r.out;
		for (int i = 0; i < 500 && !(SystemState() == before_); ++i)
			usleep(10000); // the guardian's count
		EXPECT_EQ(SystemState(), before_);
	}
	Result next = RunRunner();
	EXPECT_THAT(Lines(next.out), Contains(MatchesRegex("# run [0-9]+ ended without putting "
							   "back; its guardian did: .*removed "
							   "/dev/shm")));
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

// Hostile starts.

TEST_F(RunnerOnSystem, StartedWithSignalsIgnoredOrDescriptorsClosed)
{
	// SIGCHLD ignored would have the kernel reap the check unseen.
	Spawn s = RunnerSpawn({"-t", "3"});
	s.ignored_signals = {SIGCHLD};
	std::vector<std::string> reaped = Lines(RunSpawn(s).out);
	EXPECT_THAT(reaped, Contains("ok 1 rss_map_check"));
	EXPECT_THAT(reaped, Contains("ok 2 new_file_read_check"));

	// Under nohup a SIGHUP must not stop the run.
	Spawn nohup = RunnerSpawn({"-t", "2"}, {"STANDIN_rss_map_check=hang"});
	nohup.ignored_signals = {SIGHUP};
	std::thread hup;
	nohup.on_start = [&](pid_t runner) {
		hup = std::thread([runner] {
			usleep(500000);
			kill(runner, SIGHUP);
		});
	};
	Result r = RunSpawn(nohup);
	hup.join();
	EXPECT_EQ(r.exit_code, 1) << Describe(r);
	EXPECT_THAT(Lines(r.out), Contains("not ok 1 rss_map_check # TIMEOUT 2 seconds"));
	EXPECT_EQ(SystemState(), before_);

	// A reader that goes away, or a full disk: the system is put back all
	// the same, and the status says the report was not written.
	for (int round = 0; round < 20; ++round) {
		Spawn head;
		head.argv = {"/bin/sh", "-c", "\"$0\" | head -n 2 >/dev/null",
			     ProgramPath("run_checks")};
		RunSpawn(head);
		EXPECT_EQ(SystemState(), before_) << "round " << round;
	}
	// Checks that pass: the status comes from the report alone.
	Spawn full = RunnerSpawn();
	full.argv = {"/bin/sh", "-c", "trap '' PIPE; \"$0\" >/dev/full", bed_ / "run_checks"};
	EXPECT_EQ(RunSpawn(full).exit_code, 1);
	EXPECT_EQ(SystemState(), before_);

	// The real checks with a standard descriptor closed: the same verdict.
	std::string alone = RunProgram("run_checks").out;
	auto results = [](const std::string &out) {
		std::vector<std::string> lines;
		for (const std::string &line : Lines(out))
			if (line.find("ok ") != std::string::npos && line[0] != '#')
				lines.push_back(line);
		return lines;
	};
	for (int fd : {0, 2}) {
		SCOPED_TRACE(fd);
		Spawn closed;
		closed.argv = {ProgramPath("run_checks")};
		closed.closed_fds = {fd};
		EXPECT_EQ(results(RunSpawn(closed).out), results(alone));
		EXPECT_FALSE(Exists("/dev/shm/hugetlbhog"));
		EXPECT_EQ(SystemState(), before_);
	}
}

TEST_F(RunnerBed, WithoutProcItNeverRunsChecksFromTheCurrentDirectory)
{
	if (geteuid() != 0)
		GTEST_SKIP() << "needs root for a private mount namespace";
	TempDir cwd;
	for (const char *name : {"rss_map_check", "new_file_read_check"}) {
		WriteFile(cwd / name, "#!/bin/sh\ntouch \"$0.ran\"\n");
		fs::permissions(cwd / name, fs::perms(0755));
	}
	Result r = RunSpawn(
	    InPrivateMountNamespace("cd \"$1\" && mount -t tmpfs none /proc && exec \"$0\"",
				    {bed_ / "run_checks", cwd.path()}));
	EXPECT_EQ(r.exit_code, 2) << Describe(r);
	EXPECT_EQ(r.out, "Bail out! cannot find the checks: /proc/self/exe: No such file or "
			 "directory\n");
	EXPECT_THAT(r.err, HasSubstr("cannot read /proc/self/exe"));
	EXPECT_FALSE(Exists(cwd / "rss_map_check.ran"));
	EXPECT_FALSE(Exists(cwd / "new_file_read_check.ran"));
	EXPECT_EQ(ReadFile(log_path()), "");
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

// new_file_read_check.

TEST_F(RunnerBed, NewFileCheckRunsInAPrivateDirectoryThatIsRemoved)
{
	TempDir tmp;
	Result r = RunRunner({}, {"TMPDIR=" + tmp.path(), "STANDIN_rss_map_check=pass"});
	std::vector<std::string> out = Lines(r.out);
	EXPECT_THAT(out, Contains("ok 2 new_file_read_check")) << r.out;
	std::string line = Lines(ReadFile(log_path())).back();
	EXPECT_THAT(line, ContainsRegex("^new_file_read_check arg=new_file .* cwd=" + tmp.path() +
					"/run_checks\\.[0-9a-f]{8} "));
	size_t at = line.find("cwd=") + 4;
	std::string dir = line.substr(at, line.find(' ', at) - at);
	EXPECT_THAT(out, Contains("# new_file_read_check " + dir + "/new_file"));
	EXPECT_TRUE(fs::is_empty(tmp.path())) << "left behind in " << tmp.path();
}

TEST_F(RunnerBed, EachDirectoryGetsItsOwnTestAndOnlyWhatItMadeIsRemoved)
{
	TempDir a, b;
	WriteFile(a / "keep", "data");
	Result r = RunRunner({"-d", a.path(), "-d", b.path()});
	std::vector<std::string> out = Lines(r.out);
	EXPECT_EQ(out.at(1), "1..3");
	EXPECT_THAT(out, Contains("ok 2 new_file_read_check" + a.path()));
	EXPECT_THAT(out, Contains("ok 3 new_file_read_check" + b.path()));
	EXPECT_THAT(ReadFile(log_path()), AllOf(HasSubstr("cwd=" + a.path() + "/run_checks."),
						HasSubstr("cwd=" + b.path() + "/run_checks.")));
	EXPECT_EQ(ReadFile(a / "keep"), "data");
	EXPECT_EQ(std::distance(fs::directory_iterator(a.path()), fs::directory_iterator()), 1);
	EXPECT_TRUE(fs::is_empty(b.path()));
}

// Two directories whose names clean up alike, or one named twice, are
// distinct tests: results of one name pile up in LAVA and Linaro's parser.
TEST_F(RunnerBed, DirectoriesThatCleanUpAlikeGetUniqueNames)
{
	TempDir parent;
	for (const char *dir : {"a#b", "a_b", "a_b_dup2"})
		fs::create_directory(parent / dir);
	Result r = RunRunner({"-d", parent / "a#b", "-d", parent / "a_b", "-d", parent / "a#b",
			      "-d", parent / "a_b_dup2"});
	std::string name = "new_file_read_check" + parent.path() + "/a_b";
	std::vector<std::string> results;
	for (const std::string &line : Lines(r.out))
		if (line.rfind("ok ", 0) == 0)
			results.push_back(line);
	EXPECT_EQ(results, (std::vector<std::string>{
			       "ok 1 rss_map_check", "ok 2 " + name, "ok 3 " + name + "_dup2",
			       "ok 4 " + name + "_dup3", "ok 5 " + name + "_dup2_dup2"}))
	    << r.out;
}

// As many directories as a lab names, in the order named.
TEST_F(RunnerBed, FortyDirectoriesAreFortyTests)
{
	TempDir top;
	std::vector<std::string> args;
	for (int i = 0; i < 40; ++i) {
		fs::create_directory(top / std::to_string(i));
		args.insert(args.end(), {"-d", top / std::to_string(i)});
	}
	std::vector<std::string> out = Lines(RunRunner(args).out);
	EXPECT_EQ(out.at(1), "1..41");
	for (int i = 0; i < 40; ++i)
		EXPECT_THAT(out, Contains("ok " + std::to_string(i + 2) + " new_file_read_check" +
					  top.path() + "/" + std::to_string(i)));
}

TEST_F(RunnerBed, FailingNewFileCheckQuotesItsMessage)
{
	TempDir dir;
	Result r = RunRunner({"-d", dir.path()}, {"STANDIN_new_file_read_check=fail"});
	EXPECT_EQ(r.exit_code, 1) << Describe(r);
	std::vector<std::string> out = Lines(r.out);
	auto verdict =
	    std::find(out.begin(), out.end(), "not ok 2 new_file_read_check" + dir.path());
	ASSERT_NE(verdict, out.end()) << r.out;
	EXPECT_EQ(verdict[-1], "# Reading a new var should return EOF");
}

TEST_F(RunnerBed, DirectoryThatCannotTakeAFileIsSkippedWithTheError)
{
	Result r = RunRunner({"-d", bed_ / "missing"});
	EXPECT_THAT(Lines(r.out), Contains("ok 2 new_file_read_check" + (bed_ / "missing") +
					   " # SKIP cannot make a private directory in " +
					   (bed_ / "missing") + ": No such file or directory"));
}

// Test names keep letters, digits and "_-./" only: no directive, no new
// line, nothing a KTAP parser or LAVA would cut.
TEST_F(RunnerBed, DirectoryNamesCannotPoseAsDirectivesOrLines)
{
	TempDir dir;
	struct Case {
		std::string leaf, name;
	};
	for (const Case &c : std::vector<Case>{{"a # SKIP b", "a___SKIP_b"},
					       {"x\nok 3 forged", "x_ok_3_forged"},
					       {"with space\t", "with_space_"}}) {
		SCOPED_TRACE(c.name);
		fs::create_directory(dir / c.leaf);
		Result r = RunRunner({"-d", dir / c.leaf}, {"STANDIN_new_file_read_check=fail"});
		EXPECT_THAT(Lines(r.out),
			    Contains("not ok 2 new_file_read_check" + dir.path() + "/" + c.name));
		EXPECT_THAT(Lines(r.out), Not(Contains(StartsWith("ok 3"))));
	}
}

// Another user flips what is in a world-writable directory while root checks
// new files there: no file may ever be made where the attacker points.
TEST_F(RunnerBed, FlippingSymlinksInASharedDirectoryNeverRedirectTheNewFile)
{
	if (geteuid() != 0)
		GTEST_SKIP() << "needs root to race another user";
	fs::remove(bed_ / "rss_map_check");
	fs::copy_file(ProgramPath("new_file_read_check"), bed_ / "new_file_read_check",
		      fs::copy_options::overwrite_existing);
	TempDir shared, target;
	fs::permissions(shared.path(), fs::perms(0777));
	std::string pid_file = shared / ".runner";
	pid_t attacker = fork();
	if (attacker == 0) {
		if (setgid(65534) != 0 || setuid(65534) != 0)
			_exit(1);
		// Replaces whatever root makes with a symlink to the target, and
		// flips one at the name the old runner would have used.
		for (unsigned n = 0;; n++) {
			std::string pid = ReadFile(pid_file);
			std::string guess = shared / ("new_file_read_check." + pid + ".0");
			symlink((target / ("escaped." + pid)).c_str(), guess.c_str());
			DIR *d = opendir(shared.path().c_str());
			while (dirent *e = d ? readdir(d) : nullptr) {
				std::string name = e->d_name;
				if (name[0] == '.' || name.rfind("new_file_read_check.", 0) == 0)
					continue;
				std::string from = shared / name,
					    to = shared / (".m" + std::to_string(n));
				if (rename(from.c_str(), to.c_str()) == 0)
					symlink(target.path().c_str(), from.c_str());
			}
			if (d)
				closedir(d);
			unlink(guess.c_str());
		}
	}
	int rounds = 300, passed = 0;
	for (int i = 0; i < rounds; ++i) {
		Spawn s = RunnerSpawn({"-d", shared.path()});
		s.on_start = [&](pid_t runner) { WriteFile(pid_file, std::to_string(runner)); };
		passed += RunSpawn(s).out.find("\nok 2 ") != std::string::npos;
	}
	kill(attacker, SIGKILL);
	waitpid(attacker, nullptr, 0);
	EXPECT_TRUE(fs::is_empty(target.path()))
	    << "root made a file where another user pointed: "
	    << std::distance(fs::directory_iterator(target.path()), fs::directory_iterator())
	    << " of " << rounds;
	EXPECT_GT(passed, 0);
}

// Exit statuses and options.

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

TEST_F(RunnerBed, WithoutRootRssIsSkipped)
{
	if (geteuid() != 0)
		GTEST_SKIP() << "needs root to become another user";
	Spawn s;
	s.argv = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
		  bed_ / "run_checks"};
	s.env = {"TMPDIR=/tmp"};
	Result r = RunSpawn(s);
	EXPECT_EQ(r.exit_code, 0) << Describe(r);
	EXPECT_THAT(Lines(r.out),
		    Contains("ok 1 rss_map_check # SKIP needs root to mount /hugepages and write "
			     "/proc/sys/vm/nr_hugepages"));
	EXPECT_THAT(Lines(r.out), Contains("ok 2 new_file_read_check"));
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

} // namespace
} // namespace checks
