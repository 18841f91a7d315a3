// SPDX-License-Identifier: GPL-2.0-only
// new_file_read_check from outside: exact bytes on both streams, the status,
// and what becomes of the file. Runs under CHECKS_EMULATOR too (arm64 builds).
#include "support/run.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace checks
{
namespace
{

constexpr char kEofMessage[] = "Reading a new var should return EOF\n";

// The system's text for `err` in the C library of the programs under test:
// musl words some otherwise than glibc.
std::string ErrorText(int err)
{
	if (ProgramLibc() == "musl" && err == ENAMETOOLONG)
		return "Filename too long";
	return std::strerror(err);
}

std::string OpenError(int err)
{
	return "open(O_WRONLY): " + ErrorText(err) + "\n";
}

struct FileState {
	mode_t mode;
	timespec mtime;
	std::string content;
};

FileState StateOf(const std::string &path)
{
	struct stat st;
	EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
	return {st.st_mode, st.st_mtim, ReadFile(path)};
}

// Backdates a file so that any write by the program would show in its mtime.
void Backdate(const std::string &path)
{
	timespec old[2] = {{1000000000, 0}, {1000000000, 0}};
	ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), old, 0), 0);
}

void ExpectUnchanged(const FileState &before, const std::string &path)
{
	FileState after = StateOf(path);
	EXPECT_EQ(after.mode, before.mode);
	EXPECT_EQ(after.mtime.tv_sec, before.mtime.tv_sec);
	EXPECT_EQ(after.mtime.tv_nsec, before.mtime.tv_nsec);
	EXPECT_EQ(after.content, before.content);
}

void ExpectStatus(const Result &r, int code, const std::string &err)
{
	EXPECT_EQ(r.exit_code, code) << Describe(r);
	EXPECT_EQ(r.out, "");
	EXPECT_EQ(r.err, err);
}

Result Check(const std::vector<std::string> &args, int umask = -1)
{
	Spawn s;
	s.argv = ProgramArgv("new_file_read_check", args);
	s.umask = umask;
	return RunSpawn(s);
}

class NewFileReadCheck : public ::testing::Test
{
      protected:
	TempDir dir_;
};

// Usage.

TEST_F(NewFileReadCheck, NoPathPrintsUsageWithTheInvocationName)
{
	ExpectStatus(Check({}), 1, "usage: " + ProgramPath("new_file_read_check") + " <path>\n");
}

TEST_F(NewFileReadCheck, UsageNamesTheProgramAsInvoked)
{
	Spawn s;
	s.path = ProgramPath("new_file_read_check");
	s.argv = {"nfrc"};
	if (UnderEmulator()) // qemu-user sets argv[0] with -0
		s.argv = {Emulator(), "-0", "nfrc", s.path}, s.path = "";
	ExpectStatus(RunSpawn(s), 1, "usage: nfrc <path>\n");
}

// execve() with an empty argv: Linux 5.18 and later pass an empty argv[0];
// older kernels pass none, and the program then uses its own name rather than
// printing a null pointer.
TEST_F(NewFileReadCheck, EmptyArgvPrintsUsage)
{
	if (UnderEmulator())
		GTEST_SKIP() << "the emulator always passes argv[0]";
	Spawn s;
	s.path = ProgramPath("new_file_read_check");
	Result r = RunSpawn(s);
	EXPECT_EQ(r.exit_code, 1) << Describe(r);
	EXPECT_EQ(r.out, "");
	EXPECT_THAT(r.err,
		    testing::AnyOf("usage:  <path>\n", "usage: new_file_read_check <path>\n"));
}

// A new file.

TEST_F(NewFileReadCheck, NewFileReadsEofAndStaysEmpty)
{
	std::string path = dir_ / "var";
	ExpectStatus(Check({path}), 0, "");
	ASSERT_TRUE(Exists(path));
	EXPECT_EQ(ReadFile(path), "");
	// A second run opens the file the first one left.
	ExpectStatus(Check({path}), 0, "");
}

TEST_F(NewFileReadCheck, NewFileModeIs0600LessTheUmask)
{
	for (auto [mask, mode] : {std::pair{022, 0600}, {077, 0600}, {0277, 0400}, {0, 0600}}) {
		SCOPED_TRACE("umask " + std::to_string(mask));
		std::string path = dir_ / ("var" + std::to_string(mask));
		ExpectStatus(Check({path}, mask), 0, "");
		EXPECT_EQ(StateOf(path).mode, static_cast<mode_t>(S_IFREG | mode));
	}
}

TEST_F(NewFileReadCheck, ExtraArgumentsAreIgnored)
{
	std::string path = dir_ / "var";
	ExpectStatus(Check({path, dir_ / "other", "--help"}), 0, "");
	EXPECT_FALSE(Exists(dir_ / "other"));
}

// An existing file is read as it is and never changed.

TEST_F(NewFileReadCheck, ExistingEmptyFilePassesUnchanged)
{
	std::string path = dir_ / "empty";
	WriteFile(path, "");
	ASSERT_EQ(chmod(path.c_str(), 0644), 0);
	Backdate(path);
	FileState before = StateOf(path);
	ExpectStatus(Check({path}), 0, "");
	ExpectUnchanged(before, path);
}

TEST_F(NewFileReadCheck, ExistingFileWithDataFailsUnchanged)
{
	for (std::string data : {"x", "four", "more than four bytes\n"}) {
		SCOPED_TRACE(data);
		std::string path = dir_ / "data";
		WriteFile(path, data);
		Backdate(path);
		FileState before = StateOf(path);
		ExpectStatus(Check({path}), 1, kEofMessage);
		ExpectUnchanged(before, path);
	}
}

// A standard descriptor closed at start must not become the file's: with
// fd 2 closed, the open would get 2 and the EOF message would be written
// into the file under test.
TEST_F(NewFileReadCheck, ClosedStandardDescriptorsNeverTouchTheFile)
{
	for (std::vector<int> closed : std::vector<std::vector<int>>{{0}, {1}, {2}, {0, 1, 2}}) {
		SCOPED_TRACE(testing::PrintToString(closed));
		std::string path = dir_ / "data";
		WriteFile(path, "0123456789abcdefghijklmnopqrstuvwxyz0123456789");
		Backdate(path);
		FileState before = StateOf(path);
		Spawn s;
		s.argv = ProgramArgv("new_file_read_check", {path});
		s.closed_fds = closed;
		Result r = RunSpawn(s);
		EXPECT_EQ(r.exit_code, 1) << Describe(r);
		ExpectUnchanged(before, path);
	}
}

TEST_F(NewFileReadCheck, OpensReadWriteCreatingWithoutTruncateOrExclusive)
{
	if (UnderEmulator())
		GTEST_SKIP() << "the shim cannot be preloaded into an emulated program";
	std::string path = dir_ / "var";
	Result r = RunProgram("new_file_read_check", {path},
			      {"LD_PRELOAD=" FAULT_SHIM, "SHIM_LOG=" + (dir_ / "log")});
	ExpectStatus(r, 0, "");
	EXPECT_EQ(ReadFile(dir_ / "log"), "open \"" + path + "\" flags=0x42 mode=0600 = 3\n");
}

// Read errors: reported like data, with no system error text.
TEST_F(NewFileReadCheck, ReadErrorFailsWithTheEofMessage)
{
	if (UnderEmulator())
		GTEST_SKIP() << "the shim cannot be preloaded into an emulated program";
	Result r = RunProgram("new_file_read_check", {dir_ / "var"},
			      {"LD_PRELOAD=" FAULT_SHIM, "SHIM_FAIL_READ=1"});
	ExpectStatus(r, 1, kEofMessage);
}

// Opens that fail print the perror line with the system's text.

TEST_F(NewFileReadCheck, PathThroughMissingDirectoryFailsToOpen)
{
	ExpectStatus(Check({dir_ / "missing/var"}), 1, OpenError(ENOENT));
	EXPECT_FALSE(Exists(dir_ / "missing"));
}

TEST_F(NewFileReadCheck, DirectoryFailsToOpen)
{
	ExpectStatus(Check({dir_.path()}), 1, OpenError(EISDIR));
}

TEST_F(NewFileReadCheck, EmptyPathFailsToOpen)
{
	ExpectStatus(Check({""}), 1, OpenError(ENOENT));
}

TEST_F(NewFileReadCheck, PathLongerThanPathMaxFailsToOpen)
{
	ExpectStatus(Check({dir_ / std::string(PATH_MAX, 'a')}), 1, OpenError(ENAMETOOLONG));
}

// Root may create anywhere, so as root the program runs as nobody.
TEST_F(NewFileReadCheck, UnwritableDirectoryFailsToOpen)
{
	std::string locked = dir_ / "locked";
	ASSERT_EQ(mkdir(locked.c_str(), 0555), 0);
	ASSERT_EQ(chmod(dir_.path().c_str(), 0755), 0);
	// A copy that nobody can reach, wherever the build tree is.
	std::string copy = dir_ / "new_file_read_check";
	WriteFile(copy, ReadFile(ProgramPath("new_file_read_check")));
	ASSERT_EQ(chmod(copy.c_str(), 0755), 0);
	Spawn s;
	if (geteuid() == 0)
		s.argv = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
	if (UnderEmulator())
		s.argv.push_back(Emulator());
	s.argv.insert(s.argv.end(), {copy, locked + "/var"});
	ExpectStatus(RunSpawn(s), 1, OpenError(EACCES));
	EXPECT_FALSE(Exists(locked + "/var"));
}

// A FIFO opened for reading and writing has a writer (the program itself),
// so the read waits for data that never comes: the program blocks until it
// is killed. Recorded here with a bounded wait.
TEST_F(NewFileReadCheck, FifoBlocksOnTheRead)
{
	std::string path = dir_ / "fifo";
	ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
	Spawn s;
	s.argv = ProgramArgv("new_file_read_check", {path});
	s.timeout_ms = 500;
	Result r = RunSpawn(s);
	EXPECT_TRUE(r.timed_out) << Describe(r);
	EXPECT_EQ(r.signal, SIGKILL);
	EXPECT_EQ(r.out, "");
	EXPECT_EQ(r.err, "");
}

} // namespace
} // namespace checks
