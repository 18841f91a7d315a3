// SPDX-License-Identifier: GPL-2.0-only
// The undo list in this process: a registration that fails before its
// change is made takes nothing else off the list; undoing the sandbox's step
// waits while a process of the check's pid namespace still runs, other than
// its first (which the kernel ends last; needs root for the namespace).
#include "../run_checks/undo.h"
#include "../run_checks/undo_step.h"
#include "../run_checks/util.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

namespace
{

int calls;

TEST(UndoList, AFailedRegistrationTakesOffOnlyWhatItAdded)
{
	char why[256];
	// No state directory is held: the steps are this process's alone.
	while (undo_count() < UNDO_STEPS)
		ASSERT_EQ(undo_call([] { calls++; }, why, sizeof(why)), 0) << why;
	int steps = undo_count();
	EXPECT_EQ(undo_rmdir("/nowhere", 0, 0, "", why, sizeof(why)), -1) << "the list is full";
	undo_done_since(steps);
	EXPECT_EQ(undo_count(), UNDO_STEPS) << "a step made before went with the failed one";
	undo_all();
	EXPECT_EQ(calls, UNDO_STEPS);
	EXPECT_EQ(undo_count(), 0);
}

TEST(UndoWait, ReturnsOnlyOnceNoProcessOfTheNamespaceRunsButItsFirst)
{
	if (geteuid() != 0)
		GTEST_SKIP() << "a pid namespace needs root";
	int host = open("/proc/self/ns/pid", O_RDONLY | O_CLOEXEC);
	ASSERT_GE(host, 0);
	ASSERT_EQ(unshare(CLONE_NEWPID), 0);
	pid_t first = fork();
	if (first == 0) {
		pause();
		_exit(0);
	}
	pid_t worker = fork();
	if (worker == 0) {
		usleep(300000); // as a check's shell, still at work
		_exit(0);
	}
	ASSERT_EQ(setns(host, CLONE_NEWPID), 0);
	close(host);

	undo_step s = {};
	s.kind = UNDO_WAIT;
	s.pid = first;
	s.start = process_start(first);
	s.pid_ns = pid_ns_of(first);
	ASSERT_GE(s.start, 0);
	ASSERT_NE(s.pid_ns, 0u);
	char said[256] = "";
	EXPECT_TRUE(undo_one(&s, said, sizeof(said))) << said;
	EXPECT_EQ(process_start(worker), -1) << "undone while the namespace's worker ran";
	EXPECT_GE(process_start(first), 0) << "its first process needs no end of its own";
	kill(first, SIGKILL);
	waitpid(worker, nullptr, 0);
	waitpid(first, nullptr, 0);
	EXPECT_EQ(process_start(first), -1);
}

} // namespace
