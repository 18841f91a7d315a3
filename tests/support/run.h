// SPDX-License-Identifier: GPL-2.0-only
// Helpers for running the shipped programs from outside, as a tester would.
#pragma once

#include <functional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace checks
{

struct Spawn {
	std::vector<std::string> argv;	     // argv[0] is also the program to run...
	std::string path;		     // ...unless this names another
	std::vector<std::string> env;	     // NAME=VALUE, on top of this process's environment
	std::vector<int> closed_fds;	     // closed in the child just before exec
	std::vector<int> ignored_signals;    // set to SIG_IGN in the child
	int max_fds = -1;		     // RLIMIT_NOFILE, as ulimit -n; -1 keeps it
	int umask = -1;			     // -1 keeps this process's mask
	int timeout_ms = 30000;		     // then the child's process group is killed
	std::function<void(pid_t)> on_start; // called in this process once the child runs
};

struct Result {
	int exit_code = -1; // -1 when killed by a signal
	int signal = 0;	    // the signal that killed it, or 0
	bool timed_out = false;
	std::string out, err;
};

// Runs one program with core dumps off, in a process group of its own. A
// runner's report on its output is kept (KeepReport).
Result RunSpawn(const Spawn &spawn);

// Keeps a runner's report and its exit status (-1: killed) in
// $CHECKS_REPORTS_DIR, where the parsers' agreement test reads them all.
void KeepReport(const std::string &ktap, int exit_code);

// Where the programs under test are: the build tree's folder, or the folder
// of arm64 builds named by CHECKS_CROSS_BIN_DIR, whose programs then run
// under qemu-user (Emulator()).
std::string ProgramPath(const std::string &name);
std::vector<std::string> ProgramArgv(const std::string &name,
				     const std::vector<std::string> &args = {});
bool UnderEmulator();
// The C library the programs under test were built with ("glibc", "musl"),
// from their build's configuration.
std::string ProgramLibc();
std::string Emulator();

// Runs one of the programs under test with `args` and `env` added.
Result RunProgram(const std::string &name, const std::vector<std::string> &args = {},
		  const std::vector<std::string> &env = {});

std::string ReadFile(const std::string &path);
void WriteFile(const std::string &path, const std::string &text);
bool Exists(const std::string &path);

// A fresh directory under $TMPDIR (or /tmp), removed with all it holds.
class TempDir
{
      public:
	TempDir();
	~TempDir();
	TempDir(const TempDir &) = delete;
	TempDir &operator=(const TempDir &) = delete;
	const std::string &path() const
	{
		return path_;
	}
	std::string operator/(const std::string &name) const
	{
		return path_ + "/" + name;
	}

      private:
	std::string path_;
};

// The lines of `text`, a skip's reason put back on its result line:
// "# NAME: SKIP REASON" then "ok N NAME # SKIP" read as "ok N NAME # SKIP
// REASON", the form the tests state results in.
std::vector<std::string> Lines(const std::string &text);
std::vector<std::string> FoldSkipReasons(const std::vector<std::string> &lines);

// The report rss_map_check prints when the check of `expr` in the function
// with text `func` fails; its line number is looked up in the source.
std::string CheckReport(const std::string &func, const std::string &expr);

// Renders a result for failure messages.
std::string Describe(const Result &r);

} // namespace checks
