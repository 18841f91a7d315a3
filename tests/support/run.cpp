// SPDX-License-Identifier: GPL-2.0-only
#include "run.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <ftw.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sstream>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char **environ;

namespace checks
{
namespace
{

long NowMs()
{
	timespec ts;
	clock_gettime(CLOCK_MONOTONIC, &ts);
	return ts.tv_sec * 1000L + ts.tv_nsec / 1000000L;
}

// This process's environment with `extra` laid over it; a later entry of
// `extra` replaces an earlier one of the same name.
std::vector<std::string> MergedEnv(const std::vector<std::string> &extra)
{
	std::vector<std::string> env;
	auto set = [&env](const std::string &entry) {
		std::string name = entry.substr(0, entry.find('=') + 1);
		for (auto &e : env)
			if (e.rfind(name, 0) == 0) {
				e = entry;
				return;
			}
		env.push_back(entry);
	};
	for (char **e = environ; *e; ++e)
		set(*e);
	for (const auto &x : extra)
		set(x);
	return env;
}

[[noreturn]] void ExecChild(const Spawn &s, int out_w, int err_w, char **argv, char **envp)
{
	setpgid(0, 0);
	rlimit no_core = {0, 0};
	setrlimit(RLIMIT_CORE, &no_core);
	signal(SIGPIPE, SIG_DFL);
	int devnull = open("/dev/null", O_RDONLY | O_CLOEXEC);
	dup2(devnull, 0);
	dup2(out_w, 1);
	dup2(err_w, 2);
	if (s.umask >= 0)
		umask(static_cast<mode_t>(s.umask));
	close_range(3, ~0U, 0); // nothing of the test process's leaks in
	for (int fd : s.closed_fds)
		close(fd);
	for (int sig : s.ignored_signals)
		signal(sig, SIG_IGN);
	if (s.max_fds >= 0) {
		rlimit fds = {static_cast<rlim_t>(s.max_fds), static_cast<rlim_t>(s.max_fds)};
		setrlimit(RLIMIT_NOFILE, &fds);
	}
	const std::string &path = s.path.empty() ? s.argv.at(0) : s.path;
	execve(path.c_str(), argv, envp);
	_exit(127);
}

} // namespace

void KeepReport(const std::string &ktap, int exit_code)
{
	const char *dir = std::getenv("CHECKS_REPORTS_DIR");
	if (!dir || !*dir)
		return;
	static int count;
	mkdir(dir, 0755);
	WriteFile(std::string(dir) + "/" + std::to_string(getpid()) + "-" +
		      std::to_string(++count) + ".exit" + std::to_string(exit_code) + ".ktap",
		  ktap);
}

Result RunSpawn(const Spawn &s)
{
	int out[2], err[2];
	if (pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC))
		abort();
	std::vector<std::string> env = MergedEnv(s.env);
	std::vector<char *> argv, envp;
	for (const auto &a : s.argv)
		argv.push_back(const_cast<char *>(a.c_str()));
	argv.push_back(nullptr);
	for (const auto &e : env)
		envp.push_back(const_cast<char *>(e.c_str()));
	envp.push_back(nullptr);

	pid_t pid = fork();
	if (pid < 0)
		abort();
	if (pid == 0)
		ExecChild(s, out[1], err[1], argv.data(), envp.data());
	setpgid(pid, pid);
	if (s.on_start)
		s.on_start(pid);
	close(out[1]);
	close(err[1]);

	Result r;
	pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
	std::string *sinks[2] = {&r.out, &r.err};
	long deadline = NowMs() + s.timeout_ms;
	int open_pipes = 2;
	while (open_pipes > 0) {
		long left = deadline - NowMs();
		if (left <= 0) {
			r.timed_out = true;
			kill(-pid, SIGKILL);
			break;
		}
		if (poll(fds, 2, static_cast<int>(left)) < 0 && errno != EINTR)
			abort();
		for (int i = 0; i < 2; ++i) {
			if (fds[i].fd < 0 || !fds[i].revents)
				continue;
			char buf[4096];
			ssize_t n = read(fds[i].fd, buf, sizeof(buf));
			if (n > 0) {
				sinks[i]->append(buf, static_cast<size_t>(n));
			} else {
				close(fds[i].fd);
				fds[i].fd = -1;
				--open_pipes;
			}
		}
	}
	for (auto &f : fds)
		if (f.fd >= 0)
			close(f.fd);
	int status = 0;
	while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
	}
	if (WIFEXITED(status))
		r.exit_code = WEXITSTATUS(status);
	if (WIFSIGNALED(status))
		r.signal = WTERMSIG(status);
	// Under tests/sanitize.sh, UndefinedBehaviorSanitizer reports on stderr
	// (its log_path has no effect beside ASan's runtime): one from the
	// program, or quoted by the runner from a check, fails the test even
	// where the test expected a failure.
	for (const std::string *text : {&r.out, &r.err})
		if (text->find(": runtime error: ") != std::string::npos)
			ADD_FAILURE() << "a sanitizer's report from " << s.argv.at(0) << ":\n"
				      << *text;
	// A runner's report, and its status: from the first line to the last
	// (a wrapper's own lines after it make the status the wrapper's).
	std::string last = r.out.substr(r.out.rfind('\n', r.out.size() - 2) + 1);
	if (r.out.rfind("TAP version 13\n", 0) == 0 &&
	    (last.rfind("# Totals: ", 0) == 0 || last.rfind("Bail out!", 0) == 0))
		KeepReport(r.out, r.exit_code);
	return r;
}

// CHECKS_CROSS_BIN_DIR names a folder of arm64 builds, run under qemu-user.
static const char *CrossBinDir()
{
	const char *dir = getenv("CHECKS_CROSS_BIN_DIR");
	return dir && *dir ? dir : nullptr;
}

std::string ProgramPath(const std::string &name)
{
	return std::string(CrossBinDir() ? CrossBinDir() : CHECKS_BUILD_BIN_DIR) + "/" + name;
}

bool UnderEmulator()
{
	return CrossBinDir() != nullptr;
}

std::string ProgramLibc()
{
	std::string program = ProgramPath("x");
	std::string dir = program.substr(0, program.rfind('/'));
	std::string cache = ReadFile(dir.substr(0, dir.rfind('/')) + "/CMakeCache.txt");
	size_t at = cache.find("\nCHECKS_LIBC:STRING=");
	return at == std::string::npos ? "glibc"
				       : cache.substr(at + 20, cache.find('\n', at + 1) - at - 20);
}

std::string Emulator()
{
	return CHECKS_EMULATOR;
}

std::vector<std::string> ProgramArgv(const std::string &name, const std::vector<std::string> &args)
{
	std::vector<std::string> argv;
	if (UnderEmulator())
		argv.push_back(Emulator());
	argv.push_back(ProgramPath(name));
	argv.insert(argv.end(), args.begin(), args.end());
	return argv;
}

Result RunProgram(const std::string &name, const std::vector<std::string> &args,
		  const std::vector<std::string> &env)
{
	Spawn s;
	s.argv = ProgramArgv(name, args);
	s.env = env;
	return RunSpawn(s);
}

std::string ReadFile(const std::string &path)
{
	std::ifstream in(path, std::ios::binary);
	std::stringstream ss;
	ss << in.rdbuf();
	return ss.str();
}

void WriteFile(const std::string &path, const std::string &text)
{
	std::ofstream(path, std::ios::binary) << text;
}

bool Exists(const std::string &path)
{
	struct stat st;
	return lstat(path.c_str(), &st) == 0;
}

TempDir::TempDir()
{
	const char *tmp = getenv("TMPDIR");
	std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/checks-test.XXXXXX";
	if (!mkdtemp(pattern.data()))
		abort();
	path_ = pattern;
}

TempDir::~TempDir()
{
	nftw(
	    path_.c_str(),
	    [](const char *p, const struct stat *, int, FTW *) { return ::remove(p); }, 16,
	    FTW_DEPTH | FTW_PHYS);
}

std::vector<std::string> Lines(const std::string &text)
{
	std::vector<std::string> lines;
	std::istringstream in(text);
	for (std::string line; std::getline(in, line);)
		lines.push_back(line);
	return FoldSkipReasons(lines);
}

std::vector<std::string> FoldSkipReasons(const std::vector<std::string> &lines)
{
	std::vector<std::string> folded;
	for (size_t i = 0; i < lines.size(); i++) {
		const std::string &line = lines[i];
		size_t indent = line.find_first_not_of(' ');
		size_t colon = line.find(": SKIP ");
		if (i + 1 < lines.size() && indent != std::string::npos &&
		    line.compare(indent, 2, "# ") == 0 && colon != std::string::npos) {
			std::string name = line.substr(indent + 2, colon - indent - 2);
			std::string reason = line.substr(colon + 7);
			const std::string &next = lines[i + 1];
			std::string tail = " " + name + " # SKIP";
			if (next.size() > tail.size() &&
			    next.compare(next.size() - tail.size(), tail.size(), tail) == 0 &&
			    next.compare(0, indent + 3, std::string(indent, ' ') + "ok ") == 0) {
				folded.push_back(next + " " + reason);
				i++;
				continue;
			}
		}
		folded.push_back(line);
	}
	return folded;
}

// The line is that of the first check of `expr` after the line that declares
// the function text.
std::string CheckReport(const std::string &func, const std::string &expr)
{
	std::vector<std::string> src = Lines(ReadFile(RSS_MAP_CHECK_SOURCE));
	bool in_func = false;
	for (size_t i = 0; i < src.size(); ++i) {
		if (src[i].find("func[] = \"" + func + "\";") != std::string::npos)
			in_func = true;
		else if (in_func && src[i].find("CHECK(" + expr + ");") != std::string::npos)
			return "rss_map_check.cpp:" + std::to_string(i + 1) + ": " + func +
			       ": assertion \"" + expr + "\" failed\n";
	}
	return "no check of " + expr + " in " + func;
}

std::string Describe(const Result &r)
{
	std::ostringstream os;
	os << "exit " << r.exit_code << ", signal " << r.signal
	   << (r.timed_out ? ", timed out" : "") << "\nstdout: [" << r.out << "]\nstderr: ["
	   << r.err << "]";
	return os.str();
}

} // namespace checks
