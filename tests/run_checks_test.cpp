// run_checks from outside: a copy of the runner beside stand-in checks, so that
// every verdict, the timeout and the exit codes can be driven; and the real
// runner, whose KTAP an independent TAP parser must read the same way.
#include "support/hugepages.h"
#include "support/run.h"

#include <csignal>
#include <filesystem>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sstream>
#include <thread>
#include <unistd.h>

namespace checks
{
namespace
{

using testing::AllOf;
using testing::Contains;
using testing::HasSubstr;
using testing::Not;
using testing::StartsWith;

namespace fs = std::filesystem;

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

	Result RunRunner(std::vector<std::string> args = {}, std::vector<std::string> env = {},
			 std::function<void(pid_t)> on_start = nullptr)
	{
		Spawn s;
		s.argv = {bed_ / "run_checks"};
		s.argv.insert(s.argv.end(), args.begin(), args.end());
		s.env = env;
		s.env.push_back("STANDIN_LOG=" + log_path());
		s.on_start = on_start;
		return RunSpawn(s);
	}

	std::string log_path()
	{
		return bed_ / "standin.log";
	}

	void SkipUnlessRoot()
	{
		if (geteuid() != 0)
			GTEST_SKIP()
			    << "needs root: the runner prepares rss_map_check only as root";
	}

	TempDir bed_;
};

// Verdicts of rss_map_check, driven by the stand-in.

struct RssCase {
	const char *mode;
	const char *verdict;
	std::vector<std::string> diagnostics;
	int exit_code;
};

void PrintTo(const RssCase &c, std::ostream *os)
{
	*os << c.mode;
}

class RssVerdict : public RunnerBed, public testing::WithParamInterface<RssCase>
{
};

TEST_P(RssVerdict, IsReportedWithItsDiagnostics)
{
	SkipUnlessRoot();
	const RssCase &c = GetParam();
	SystemState before;
	Result r = RunRunner({"-t", "2"}, {std::string("STANDIN_rss_map_check=") + c.mode});
	EXPECT_EQ(r.exit_code, c.exit_code) << Describe(r);
	EXPECT_EQ(r.err, "");
	std::vector<std::string> out = Lines(r.out);
	ASSERT_GE(out.size(), 3u) << r.out;
	EXPECT_EQ(out[0], "TAP version 13");
	EXPECT_EQ(out[1], "1..2");
	EXPECT_THAT(out, Contains(c.verdict));
	// The check's diagnostics stand just before its result line.
	auto verdict = std::find(out.begin(), out.end(), c.verdict);
	ASSERT_GE(verdict - out.begin(), static_cast<long>(c.diagnostics.size()));
	EXPECT_EQ(
	    std::vector<std::string>(verdict - static_cast<long>(c.diagnostics.size()), verdict),
	    c.diagnostics);
	EXPECT_THAT(out, Contains("ok 2 new_file_read_check"));
	EXPECT_EQ(out.back(), std::string("# Totals: pass:") +
				  (c.exit_code ? "1 fail:1" : "2 fail:0") +
				  " xfail:0 xpass:0 skip:0 error:0");
	EXPECT_EQ(SystemState(), before);
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
	RssCase{"hang",
		"not ok 1 rss_map_check",
		{"# rss_map_check: no verdict within 2 s; killed"},
		1}),
    [](const auto &info) { return std::string(info.param.mode); });

// The "pass" case above only sees the line just before the verdict; the
// restore must also come after the check ran with the pages reserved.
TEST_F(RunnerBed, CheckRunsWithHugePagesReservedAndMountedThenAllIsRestored)
{
	SkipUnlessRoot();
	SystemState before;
	Result r = RunRunner();
	EXPECT_EQ(r.exit_code, 0) << Describe(r);
	std::vector<std::string> log = Lines(ReadFile(log_path()));
	ASSERT_EQ(log.size(), 2u);
	EXPECT_THAT(log[0], StartsWith("rss_map_check arg= nr_hugepages=100 hugetlbfs=1 "));
	EXPECT_EQ(SystemState(), before);
	if (!before.mounted) {
		EXPECT_THAT(Lines(r.out), Contains("# mounted hugetlbfs at /hugepages"));
		EXPECT_THAT(Lines(r.out), Contains("# unmounted /hugepages"));
	}
}

TEST_F(RunnerBed, ExistingHugetlbfsMountIsLeftMounted)
{
	HugePageSystem system;
	if (std::string why = system.Prepare(); !why.empty())
		GTEST_SKIP() << why;
	system.SetCount(3);
	SystemState before;
	ASSERT_TRUE(before.mounted);
	Result r = RunRunner();
	EXPECT_EQ(r.exit_code, 0) << Describe(r);
	EXPECT_THAT(r.out, Not(HasSubstr("mounted")));
	EXPECT_THAT(r.out, HasSubstr("# restored /proc/sys/vm/nr_hugepages to 3\n"));
	EXPECT_EQ(SystemState(), before);
}

TEST_F(RunnerBed, StopSignalMidCheckKillsTheCheckRestoresAndDies)
{
	SkipUnlessRoot();
	for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
		SCOPED_TRACE(sigabbrev_np(sig));
		std::remove(log_path().c_str());
		SystemState before;
		std::thread killer;
		Result r = RunRunner({}, {"STANDIN_rss_map_check=hang"}, [&](pid_t runner) {
			killer = std::thread([this, runner, sig] {
				// Once the stand-in check is running.
				for (int i = 0; i < 1000 && ReadFile(log_path()).empty(); ++i)
					usleep(10000);
				kill(runner, sig);
			});
		});
		killer.join();
		EXPECT_EQ(r.signal, sig) << Describe(r);
		EXPECT_THAT(Lines(r.out), Contains(StartsWith("Bail out! stopped by signal " +
							      std::to_string(sig))));
		EXPECT_EQ(SystemState(), before);
		std::string line = ReadFile(log_path());
		pid_t check = std::stoi(line.substr(line.rfind("pid=") + 4));
		EXPECT_NE(kill(check, 0), 0) << "the stand-in check outlived the runner";
	}
}

TEST_F(RunnerBed, ReadOnlyProcSysSkipsRss)
{
	SkipUnlessRoot();
	Spawn s;
	s.argv = {"/usr/bin/unshare",
		  "--mount",
		  "--propagation",
		  "private",
		  "/bin/sh",
		  "-c",
		  "mount --bind /proc/sys /proc/sys && mount -o remount,bind,ro /proc/sys && "
		  "exec \"$0\"",
		  bed_ / "run_checks"};
	Result r = RunSpawn(s);
	EXPECT_EQ(r.exit_code, 0) << Describe(r);
	EXPECT_THAT(Lines(r.out),
		    Contains("ok 1 rss_map_check # SKIP /proc/sys/vm/nr_hugepages is read-only"));
	EXPECT_THAT(Lines(r.out),
		    Contains("# Totals: pass:1 fail:0 xfail:0 xpass:0 skip:1 error:0"));
	EXPECT_EQ(ReadFile(log_path()).find("rss_map_check"), std::string::npos);
}

TEST_F(RunnerBed, WithoutRootRssIsSkipped)
{
	SkipUnlessRoot(); // to become another user
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

// new_file_read_check.

TEST_F(RunnerBed, NewFileCheckRunsInAFreshTemporaryDirectoryThatIsRemoved)
{
	TempDir tmp;
	Result r = RunRunner({}, {"TMPDIR=" + tmp.path(), "STANDIN_rss_map_check=pass"});
	EXPECT_THAT(Lines(r.out), Contains("ok 2 new_file_read_check")) << r.out;
	std::vector<std::string> log = Lines(ReadFile(log_path()));
	ASSERT_FALSE(log.empty());
	std::string line = log.back();
	ASSERT_THAT(line, StartsWith("new_file_read_check arg=" + tmp.path() + "/run_checks."));
	EXPECT_TRUE(fs::is_empty(tmp.path())) << "left behind in " << tmp.path();
}

TEST_F(RunnerBed, EachDirectoryGetsItsOwnTestAndOnlyTheNewFileIsRemoved)
{
	TempDir a, b;
	WriteFile(a / "keep", "data");
	Result r = RunRunner({"-d", a.path(), "-d", b.path()});
	std::vector<std::string> out = Lines(r.out);
	EXPECT_EQ(out.at(1), "1..3");
	EXPECT_THAT(out, Contains("ok 2 new_file_read_check " + a.path()));
	EXPECT_THAT(out, Contains("ok 3 new_file_read_check " + b.path()));
	EXPECT_THAT(ReadFile(log_path()),
		    AllOf(HasSubstr("arg=" + a.path() + "/new_file_read_check."),
			  HasSubstr("arg=" + b.path() + "/new_file_read_check.")));
	EXPECT_EQ(ReadFile(a / "keep"), "data");
	EXPECT_EQ(std::distance(fs::directory_iterator(a.path()), fs::directory_iterator()), 1);
	EXPECT_TRUE(fs::is_empty(b.path()));
}

TEST_F(RunnerBed, FailingNewFileCheckQuotesItsMessage)
{
	TempDir dir;
	Result r = RunRunner({"-d", dir.path()}, {"STANDIN_new_file_read_check=fail"});
	EXPECT_EQ(r.exit_code, 1) << Describe(r);
	std::vector<std::string> out = Lines(r.out);
	auto verdict =
	    std::find(out.begin(), out.end(), "not ok 2 new_file_read_check " + dir.path());
	ASSERT_NE(verdict, out.end()) << r.out;
	EXPECT_EQ(verdict[-1], "# Reading a new var should return EOF");
}

TEST_F(RunnerBed, MissingDirectoryFailsTheNewFileCheck)
{
	Result r = RunRunner({"-d", bed_ / "missing"});
	EXPECT_EQ(r.exit_code, 1) << Describe(r);
	EXPECT_THAT(Lines(r.out), Contains("not ok 2 new_file_read_check " + (bed_ / "missing")));
}

TEST_F(RunnerBed, TapDirectiveCharactersInADirectoryAreEscaped)
{
	TempDir dir;
	std::string odd = dir / "a # SKIP b";
	fs::create_directory(odd);
	Result r = RunRunner({"-d", odd});
	EXPECT_THAT(Lines(r.out),
		    Contains("ok 2 new_file_read_check " + dir.path() + "/a \\# SKIP b"));
}

// Exit statuses and totals.

TEST_F(RunnerBed, EverythingSkippedExitsFour)
{
	fs::remove(bed_ / "rss_map_check");
	fs::remove(bed_ / "new_file_read_check");
	Result r = RunRunner();
	EXPECT_EQ(r.exit_code, 4) << Describe(r);
	EXPECT_EQ(r.out, "TAP version 13\n1..2\n"
			 "ok 1 rss_map_check # SKIP " +
			     (bed_ / "rss_map_check") +
			     " not found\n"
			     "ok 2 new_file_read_check # SKIP " +
			     (bed_ / "new_file_read_check") +
			     " not found\n"
			     "# Totals: pass:0 fail:0 xfail:0 xpass:0 skip:2 error:0\n");
}

// Options.

TEST_F(RunnerBed, HelpGoesToStdoutWithStatusZero)
{
	for (const char *opt : {"-h", "--help"}) {
		Result r = RunRunner({opt});
		EXPECT_EQ(r.exit_code, 0) << Describe(r);
		EXPECT_THAT(r.out, StartsWith("usage: " + (bed_ / "run_checks") +
					      " [-t SECONDS] [-d DIR]...\n"));
		EXPECT_EQ(r.err, "");
	}
	EXPECT_EQ(ReadFile(log_path()), "") << "help ran a check";
}

TEST_F(RunnerBed, BadOptionsGiveUsageOnStderrWithStatusTwo)
{
	for (std::vector<std::string> args : std::vector<std::vector<std::string>>{
		 {"-x"}, {"-t"}, {"-t", "0"}, {"-t", "abc"}, {"-t", "5s"}, {"-d"}, {"extra"}}) {
		SCOPED_TRACE(args[0] + (args.size() > 1 ? " " + args[1] : ""));
		Result r = RunRunner(args);
		EXPECT_EQ(r.exit_code, 2) << Describe(r);
		EXPECT_EQ(r.out, "");
		EXPECT_THAT(r.err, StartsWith("usage: "));
	}
	EXPECT_EQ(ReadFile(log_path()), "") << "a bad option ran a check";
}

// The real runner with the real checks. Its KTAP must read the same to
// Perl's TAP::Parser as its own totals say, and leave the system as it was.
TEST(RealRunner, KtapAgreesWithAnIndependentTapParser)
{
	TempDir tmp;
	SystemState before;
	Result r = RunProgram("run_checks");
	EXPECT_EQ(SystemState(), before);
	WriteFile(tmp / "ktap", r.out);
	Spawn perl;
	perl.argv = {"/usr/bin/perl", "-MTAP::Parser", "-e",
		     "local $/; open my $f, '<', $ARGV[0] or die; my $tap = <$f>;"
		     "my $p = TAP::Parser->new({tap => $tap}); 1 while $p->next;"
		     "printf \"plan:%s run:%d passed:%d failed:%d skipped:%d errors:%d\\n\","
		     "$p->plan, $p->tests_run, scalar $p->passed, scalar $p->failed,"
		     "scalar $p->skipped, scalar $p->parse_errors;",
		     tmp / "ktap"};
	Result parsed = RunSpawn(perl);
	ASSERT_EQ(parsed.exit_code, 0) << Describe(parsed);

	std::vector<std::string> out = Lines(r.out);
	ASSERT_FALSE(out.empty());
	int pass = -1, fail = -1, skip = -1;
	ASSERT_EQ(sscanf(out.back().c_str(),
			 "# Totals: pass:%d fail:%d xfail:0 xpass:0 skip:%d error:0", &pass, &fail,
			 &skip),
		  3)
	    << out.back();
	// TAP counts a skip as passed.
	EXPECT_EQ(parsed.out, "plan:1..2 run:2 passed:" + std::to_string(pass + skip) +
				  " failed:" + std::to_string(fail) +
				  " skipped:" + std::to_string(skip) + " errors:0\n");
	EXPECT_EQ(r.exit_code, fail ? 1 : pass ? 0 : 4);
	if (geteuid() == 0 &&
	    ReadFile("/proc/filesystems").find("hugetlbfs") != std::string::npos) {
		EXPECT_EQ(fail + pass, 2) << "as root both checks run";
	}
}

} // namespace
} // namespace checks
