// interleave: runs several commands in turn (A B C A B C ...), so that they
// share whatever the machine does meanwhile, and reports per command the
// quartiles of wall time and the median peak RSS from wait4's rusage.
//
// usage: interleave RUNS WARMUP [-e NAME=VALUE]... -- LABEL CMD... [-- LABEL CMD...]...
// The -e variables are set for the commands only. Standard output of the
// commands goes to /dev/null; a command that does not exit 0 is reported.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace {

struct Command {
	std::string label;
	std::vector<char *> argv;
	std::vector<double> ms;
	std::vector<long> rss_kib;
	int failures = 0;
};

double NowMs()
{
	timespec ts;
	clock_gettime(CLOCK_MONOTONIC, &ts);
	return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

void RunOnce(Command &c, bool record)
{
	double start = NowMs();
	pid_t pid = fork();
	if (pid == 0) {
		int null = open("/dev/null", O_WRONLY);
		dup2(null, 1);
		execvp(c.argv[0], c.argv.data());
		_exit(127);
	}
	int status;
	rusage ru;
	wait4(pid, &status, 0, &ru);
	double ms = NowMs() - start;
	if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
		c.failures++;
	if (record) {
		c.ms.push_back(ms);
		c.rss_kib.push_back(ru.ru_maxrss);
	}
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
		fprintf(stderr, "usage: %s RUNS WARMUP [-e NAME=VALUE]... -- LABEL CMD... [-- ...]\n",
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
			commands.push_back({argv[++i], {}, {}, {}, 0});
			continue;
		}
		commands.back().argv.push_back(argv[i]);
	}
	for (auto &c : commands)
		c.argv.push_back(nullptr);

	for (int r = 0; r < warmup + runs; r++)
		for (auto &c : commands)
			RunOnce(c, r >= warmup);

	printf("%-34s %5s %9s %9s %9s %12s\n", "command", "runs", "q1 ms", "median ms", "q3 ms",
	       "peak RSS KiB");
	for (auto &c : commands) {
		printf("%-34s %5d %9.3f %9.3f %9.3f %12ld%s\n", c.label.c_str(), runs,
		       Quantile(c.ms, 0.25), Quantile(c.ms, 0.5), Quantile(c.ms, 0.75),
		       Quantile(c.rss_kib, 0.5), c.failures ? "  (failed runs!)" : "");
	}
	return 0;
}
