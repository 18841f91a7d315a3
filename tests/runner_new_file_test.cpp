// SPDX-License-Identifier: GPL-2.0-only
// The runner's new-file checks: a private directory in each directory named,
// removed after; a test and a unique, harmless name for each; the check's
// message quoted; and no file ever made where another user's symlink points.
#include "support/run.h"
#include "support/runner_bed.h"

#include <algorithm>
#include <csignal>
#include <dirent.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <iterator>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace checks
{
namespace
{

using testing::AllOf;
using testing::Contains;
using testing::ContainsRegex;
using testing::HasSubstr;
using testing::Not;
using testing::StartsWith;

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
// The same swap made certain: a symlink put at the private directory's name
// between its mkdir and its open is refused, and nothing is made through it.
TEST_F(RunnerBed, ASymlinkSwappedInAfterTheMkdirIsNeverFollowed)
{
	TempDir shared, target;
	Result r = RunRunner({"-d", shared.path()}, {std::string("LD_PRELOAD=") + FAULT_SHIM,
						     "SHIM_SWAP_AFTER_MKDIR=" + target.path()});
	EXPECT_THAT(Lines(r.out), Contains(testing::MatchesRegex(
				      "ok 2 new_file_read_check/.* # SKIP cannot make a "
				      "private directory in .*: Not a directory")))
	    << r.out;
	EXPECT_FALSE(Exists(target / "new_file")) << "the check ran through the symlink";
}

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

} // namespace
} // namespace checks
