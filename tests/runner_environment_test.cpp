// SPDX-License-Identifier: GPL-2.0-only
// What the machine puts in the check's way, each a skip that names its
// measured cause: too few free huge pages, limits, a memory cgroup, too few
// descriptors, no root. And hostile starts: descriptors and blocked signals
// the checks must not inherit, signals ignored, standard streams closed, a
// reader that goes away, no /proc.
#include "support/hugepages.h"
#include "support/run.h"
#include "support/runner_bed.h"

#include <cerrno>
#include <csignal>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace checks
{
namespace
{

using testing::Contains;
using testing::ContainsRegex;
using testing::Each;
using testing::HasSubstr;
using testing::MatchesRegex;

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

// A hugetlb cgroup limit below what the check holds failed its growth check
// as if the kernel were at fault.
TEST_F(RunnerOnSystem, AHugetlbCgroupLimitBelowWhatTheCheckHoldsIsASkip)
{
	HugetlbCgroup small(8192);
	if (!small.missing.empty())
		GTEST_SKIP() << small.missing;
	Spawn s = RunnerSpawn();
	s.argv = {"/bin/sh", "-c", small.Enter() + "exec \"$0\"", bed_ / "run_checks"};
	Result r = RunSpawn(s);
	EXPECT_THAT(Lines(r.out), Contains(MatchesRegex(
				      "ok 1 rss_map_check # SKIP the hugetlb cgroup /.* has 8192 "
				      "kB free of its limit of 8192 kB of 2048 kB huge pages; "
				      "the check holds up to 32768 kB of them at once")))
	    << r.out;
	EXPECT_EQ(SystemState(), before_);
}

// Too few descriptors: every reason names the error, the system is put back.
TEST_F(RunnerOnSystem, DescriptorLimitSkipsWithTheErrorAndPutsBack)
{
	for (int limit = 4; limit <= 16; limit++) {
		SCOPED_TRACE(limit);
		TempDir tmp;
		Spawn s = RunnerSpawn({}, {"TMPDIR=" + tmp.path()});
		s.max_fds = limit;
		Result r = RunSpawn(s);
		std::vector<std::string> results;
		for (const std::string &line : Lines(r.out))
			if (line.rfind("ok ", 0) == 0 || line.rfind("not ok ", 0) == 0)
				results.push_back(line);
		ASSERT_EQ(results.size(), 2u) << r.out;
		EXPECT_THAT(results[0],
			    MatchesRegex("ok 1 rss_map_check # SKIP .*Too many open files"))
		    << r.out;
		// The lock's descriptors are let go after the huge-page check:
		// the new-file check may then have what it needs.
		EXPECT_THAT(
		    results[1],
		    MatchesRegex("ok 2 new_file_read_check( # SKIP .*Too many open files)?"))
		    << r.out;
		EXPECT_EQ(SystemState(), before_);
		EXPECT_FALSE(Exists("/run/kernel-checks")) << "the state folder is left";
		EXPECT_TRUE(fs::is_empty(tmp.path())) << "a private directory is left";
	}
}

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

} // namespace
} // namespace checks
