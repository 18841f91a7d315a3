// SPDX-License-Identifier: GPL-2.0-only
// interleave: runs several commands in turn, one round after another, so
// that they share whatever the machine does meanwhile; the order alternates
// each round (A B C, then C B A), so that no command always follows the same
// one. Reports per command the quartiles of wall time, the median of its
// per-round ratios to the first command (the floor, the baseline) with a 95%
// bootstrap interval, and the program's own peak RSS: VmHWM at its exit,
// from one run under ptrace apart from the timed ones (wait4's ru_maxrss
// would count the forked driver's memory before the exec).
//
// usage: interleave RUNS WARMUP [-e NAME=VALUE]... -- LABEL CMD... [-- LABEL CMD...]...
// The -e variables are set for the commands only. An argument "@FRESH@"
// becomes a path that no run has used ($BENCH_FRESH_DIR/fresh.N, or under
// /tmp). The commands' output goes to /dev/null; how each ended (exit status
// or signal) is reported, and flagged when it was not the same in every run.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <signal.h>
#include <string>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace
{

struct Command {
	std::string label;
	std::vector<char *> argv;
	std::vector<std::string> fresh; // argv[i] == "@FRESH@": a new path each run
	std::vector<double> ms;
	long peak_kb = -1;
	std::string ended;
	bool inconsistent = false;
};

double NowMs()
{
	timespec ts;
	clock_gettime(CLOCK_MONOTONIC, &ts);
	return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

[[noreturn]] void Exec(Command &c, bool traced)
{
	int null = open("/dev/null", O_WRONLY);
	dup2(null, 1);
	dup2(null, 2);
	if (traced)
		ptrace(PTRACE_TRACEME, 0, nullptr, nullptr);
	execvp(c.argv[0], c.argv.data());
	_exit(127);
}

// The program's own high-water mark, read at its exit stop.
void MeasurePeak(Command &c)
{
	pid_t pid = fork();
	if (pid == 0)
		Exec(c, true);
	int status;
	waitpid(pid, &status, 0); // at the exec
	ptrace(PTRACE_SETOPTIONS, pid, nullptr, PTRACE_O_TRACEEXIT | PTRACE_O_EXITKILL);
	long deliver = 0;
	for (;;) {
		ptrace(PTRACE_CONT, pid, nullptr, deliver);
		if (waitpid(pid, &status, 0) < 0 || !WIFSTOPPED(status))
			break;
		deliver = 0;
		if (status >> 8 == (SIGTRAP | (PTRACE_EVENT_EXIT << 8))) {
			FILE *f = fopen(("/proc/" + std::to_string(pid) + "/status").c_str(), "r");
			char line[256];
			while (f && fgets(line, sizeof(line), f))
				sscanf(line, "VmHWM: %ld", &c.peak_kb);
			if (f)
				fclose(f);
		} else {
			deliver = WSTOPSIG(status);
		}
	}
}

// A path no run has used, in place of each "@FRESH@".
void Freshen(Command &c)
{
	static long n;
	const char *dir = getenv("BENCH_FRESH_DIR");
	for (size_t i = 0; i < c.fresh.size(); i++) {
		if (c.fresh[i].empty())
			continue;
		c.fresh[i] = std::string(dir ? dir : "/tmp") + "/fresh." +
			     std::to_string(getpid()) + "." + std::to_string(++n);
		c.argv[i] = c.fresh[i].data();
	}
}

void RunOnce(Command &c, bool record)
{
	Freshen(c);
	double start = NowMs();
	pid_t pid = fork();
	if (pid == 0)
		Exec(c, false);
	int status;
	waitpid(pid, &status, 0);
	double ms = NowMs() - start;
	std::string ended = WIFEXITED(status) ? "exit " + std::to_string(WEXITSTATUS(status))
					      : std::string(sigabbrev_np(WTERMSIG(status)));
	if (!c.ended.empty() && c.ended != ended)
		c.inconsistent = true;
	c.ended = ended;
	if (record)
		c.ms.push_back(ms);
}

template <typename T> T Quantile(std::vector<T> v, double q)
{
	std::sort(v.begin(), v.end());
	return v[static_cast<size_t>(q * static_cast<double>(v.size() - 1) + 0.5)];
}

// The median of the per-round ratios a[k] / b[k], and its 95% bootstrap
// interval (rounds resampled with replacement, 2000 times, a fixed seed).
void PairedRatio(const std::vector<double> &a, const std::vector<double> &b, double *median,
		 double *lo, double *hi)
{
	std::vector<double> ratios, medians, sample(a.size());
	for (size_t k = 0; k < a.size(); k++)
		ratios.push_back(a[k] / b[k]);
	*median = Quantile(ratios, 0.5);
	unsigned long long seed = 0x9e3779b97f4a7c15ULL;
	for (int i = 0; i < 2000; i++) {
		for (double &x : sample) {
			seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
			x = ratios[(seed >> 33) % ratios.size()];
		}
		medians.push_back(Quantile(sample, 0.5));
	}
	*lo = Quantile(medians, 0.025);
	*hi = Quantile(medians, 0.975);
}

} // namespace

int main(int argc, char **argv)
{
	if (argc < 5) {
		fprintf(stderr,
			"usage: %s RUNS WARMUP [-e NAME=VALUE]... -- LABEL CMD... [-- ...]\n",
			argv[0]);
		return 2;
	}
	int runs = atoi(argv[1]), warmup = atoi(argv[2]);
	std::vector<Command> commands;
	int i = 3;
	for (; i < argc && strcmp(argv[i], "--"); i += 2)
		if (!strcmp(argv[i], "-e") && i + 1 < argc)
			putenv(argv[i + 1]);
	for (; i < argc; i++) {
		if (!strcmp(argv[i], "--")) {
			if (i + 1 >= argc)
				break;
			commands.push_back({argv[++i], {}, {}, {}, -1, "", false});
			continue;
		}
		commands.back().argv.push_back(argv[i]);
		commands.back().fresh.push_back(strcmp(argv[i], "@FRESH@") ? "" : "@FRESH@");
	}
	for (auto &c : commands)
		c.argv.push_back(nullptr);

	for (auto &c : commands) {
		Freshen(c);
		MeasurePeak(c);
	}
	size_t n = commands.size();
	for (int r = 0; r < warmup + runs; r++)
		for (size_t k = 0; k < n; k++)
			RunOnce(commands[r % 2 ? n - 1 - k : k], r >= warmup);

	printf("| %-36s | %5s | %8s | %9s | %8s | %8s | %-15s | %12s | %-8s |\n", "command", "runs",
	       "q1 ms", "median ms", "q3 ms", "x first", "95% interval", "peak RSS kB", "ended");
	printf("|%s|------:|---------:|----------:|---------:|---------:|-----------------|--------"
	       "-----:|----------|\n",
	       std::string(38, '-').c_str());
	for (auto &c : commands) {
		double ratio, lo, hi;
		PairedRatio(c.ms, commands[0].ms, &ratio, &lo, &hi);
		char interval[32];
		snprintf(interval, sizeof(interval), "%.3f-%.3f", lo, hi);
		printf("| %-36s | %5d | %8.3f | %9.3f | %8.3f | %8.3f | %-15s | %12ld | %-8s |%s\n",
		       c.label.c_str(), runs, Quantile(c.ms, 0.25), Quantile(c.ms, 0.5),
		       Quantile(c.ms, 0.75), ratio, interval, c.peak_kb, c.ended.c_str(),
		       c.inconsistent ? " (not the same every run!)" : "");
	}
	return 0;
}
