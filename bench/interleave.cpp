// interleave: runs several commands in turn (A B C A B C ...), so that they
// share whatever the machine does meanwhile, and reports per command the
// quartiles of wall time, the median against the first command's (the
// floor), and the program's own peak RSS: VmHWM at its exit, from one run
// under ptrace apart from the timed ones (wait4's ru_maxrss would count the
// forked driver's memory before the exec).
//
// usage: interleave RUNS WARMUP [-e NAME=VALUE]... -- LABEL CMD... [-- LABEL CMD...]...
// The -e variables are set for the commands only. The commands' output goes to
// /dev/null; how each ended (exit status or signal) is reported, and flagged
// when it was not the same in every run.
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

void RunOnce(Command &c, bool record)
{
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
			commands.push_back({argv[++i], {}, {}, -1, "", false});
			continue;
		}
		commands.back().argv.push_back(argv[i]);
	}
	for (auto &c : commands)
		c.argv.push_back(nullptr);

	for (auto &c : commands)
		MeasurePeak(c);
	for (int r = 0; r < warmup + runs; r++)
		for (auto &c : commands)
			RunOnce(c, r >= warmup);

	printf("| %-32s | %5s | %8s | %9s | %8s | %8s | %12s | %-8s |\n", "command", "runs",
	       "q1 ms", "median ms", "q3 ms", "x floor", "peak RSS kB", "ended");
	printf(
	    "|%s|------:|---------:|----------:|---------:|---------:|-------------:|----------|\n",
	    std::string(34, '-').c_str());
	double floor = Quantile(commands[0].ms, 0.5);
	for (auto &c : commands) {
		printf("| %-32s | %5d | %8.3f | %9.3f | %8.3f | %8.3f | %12ld | %-8s |%s\n",
		       c.label.c_str(), runs, Quantile(c.ms, 0.25), Quantile(c.ms, 0.5),
		       Quantile(c.ms, 0.75), Quantile(c.ms, 0.5) / floor, c.peak_kb,
		       c.ended.c_str(), c.inconsistent ? " (not the same every run!)" : "");
	}
	return 0;
}
