// SPDX-License-Identifier: GPL-2.0-only
// The runner's exit status from its results, in-process: kselftest reads
// 0, 1 and 4 only, so an expected failure must never read as all skipped,
// and a report that could not be written must never read as a pass.
#include "../run_checks/ktap.h"
#include "../run_checks/signals.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace
{

// The exit status of a run with these results, its report written to `out`.
int StatusOf(const std::vector<ktap_verdict> &results, const char *out = "/dev/null")
{
	pid_t pid = fork();
	if (pid == 0) {
		int fd = open(out, O_WRONLY);
		dup2(fd, 1);
		signals_init();
		ktap_plan(static_cast<int>(results.size()));
		for (ktap_verdict v : results)
			ktap_result(v, "a_test", v == KTAP_PASS || v == KTAP_FAIL ? nullptr : "2");
		_exit(ktap_totals());
	}
	int status = 0;
	waitpid(pid, &status, 0);
	return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(KtapStatus, FollowsKselftest)
{
	struct Case {
		std::vector<ktap_verdict> results;
		int status;
	};
	for (const Case &c : std::vector<Case>{
		 {{KTAP_PASS}, 0},
		 {{KTAP_XFAIL}, 0},
		 {{KTAP_XFAIL, KTAP_SKIP}, 0},
		 {{KTAP_SKIP, KTAP_SKIP}, 4},
		 {{KTAP_PASS, KTAP_FAIL}, 1},
		 {{KTAP_TIMEOUT, KTAP_SKIP}, 1},
		 {{KTAP_XFAIL, KTAP_FAIL}, 1},
	     }) {
		SCOPED_TRACE(c.results.size());
		EXPECT_EQ(StatusOf(c.results), c.status);
	}
}

TEST(KtapStatus, AReportThatCannotBeWrittenIsAFailure)
{
	EXPECT_EQ(StatusOf({KTAP_PASS, KTAP_PASS}, "/dev/full"), 1);
	EXPECT_EQ(StatusOf({KTAP_SKIP}, "/dev/full"), 1);
}

// Names at the top level are unique, as Linaro's parser would name a
// repeated one; names past the plan go through as they are.
TEST(KtapNames, ARepeatedNameGetsTheNextFreeDupSuffix)
{
	struct Row {
		int plan;
		std::vector<std::string> given, reported;
	} rows[] = {
	    {5, {"a", "a", "a_dup2", "b", "a"}, {"a", "a_dup2", "a_dup2_dup2", "b", "a_dup3"}},
	    {2, {"x", "y"}, {"x", "y"}},
	    {1, {"x", "x", "x"}, {"x", "x_dup2", "x"}},
	};
	for (const Row &row : rows) {
		char path[] = "/tmp/ktap_test.XXXXXX";
		int fd = mkstemp(path);
		ASSERT_GE(fd, 0);
		pid_t pid = fork();
		if (pid == 0) {
			dup2(fd, 1);
			signals_init();
			ktap_plan(row.plan);
			for (const std::string &name : row.given)
				ktap_result(KTAP_PASS, name.c_str(), nullptr);
			_exit(ktap_totals());
		}
		waitpid(pid, nullptr, 0);
		std::vector<std::string> reported;
		char text[4096] = "";
		ssize_t n = pread(fd, text, sizeof(text) - 1, 0);
		text[n > 0 ? n : 0] = '\0';
		for (char *line = strtok(text, "\n"); line; line = strtok(nullptr, "\n")) {
			char name[256];
			if (sscanf(line, "ok %*d %255s", name) == 1)
				reported.push_back(name);
		}
		close(fd);
		unlink(path);
		EXPECT_EQ(reported, row.reported);
	}
}

} // namespace
