// SPDX-License-Identifier: GPL-2.0-only
#include "guardian.h"

#include "fd.h"
#include "ktap.h"
#include "state_dir.h"
#include "undo.h"
#include "util.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

static unique_fd runner_end; // the guardian sees it close when the runner ends
// What a dead run left, and what undoing it said: large, so kept here.
static struct record left;
static char said[UNDO_STEPS * (UNDO_PATH + 96)];

// The guardian: a process of a session of its own, holding nothing of the
// runner's but the lock (so no other run starts before it is done) and the
// state directory. It waits for the runner to end; if the runner ended
// without undoing (SIGKILL, a fault), it does so at once.
[[noreturn]] static void guard(int watch)
{
	pid_t runner = getppid();
	setsid();
	signal(SIGHUP, SIG_IGN);
	signal(SIGINT, SIG_IGN);
	signal(SIGTERM, SIG_IGN);
	signal(SIGPIPE, SIG_IGN);
	sigset_t none;
	sigemptyset(&none);
	sigprocmask(SIG_SETMASK, &none, nullptr);
	int keep[4] = {watch};
	state_fds(keep + 1);
	for (int fd = 0; fd < 3; fd++) {
		close(fd);
		open("/dev/null", O_RDWR);
	}
	for (int fd = 3; fd < 1024; fd++)
		if (fd != keep[0] && fd != keep[1] && fd != keep[2] && fd != keep[3])
			close(fd);
	close_from(1024, false);
	char buf[1];
	while (read(watch, buf, 1) < 0 && errno == EINTR) {
	}
	static char note[512], line[sizeof(said) + 100];
	// Kept while the check's processes still run: the next run waits too.
	if (undo_read_record(&left, note, sizeof(note)) == RECORD_READ &&
	    undo_steps(&left, said, sizeof(said)) != STILL_RUNNING)
		undo_drop_record();
	if (said[0]) {
		int n = snprintf(line, sizeof(line),
				 "run %ld ended without putting back; its guardian did: %s\n",
				 (long)runner, said);
		// If it fails, the next run merely will not say what it did.
		state_file_replace("guardian", line, (size_t)n);
	}
	_exit(0);
}

int guardian_start(char *why, size_t size)
{
	int p[2];
	if (pipe2(p, O_CLOEXEC) != 0)
		return say_why(why, size, "cannot start a guardian: pipe: %s", strerror(errno));
	pid_t pid = fork();
	if (pid == 0) {
		close(p[1]);
		guard(p[0]);
	}
	close(p[0]);
	runner_end.reset(p[1]);
	if (pid < 0) {
		runner_end.reset();
		return say_why(why, size, "cannot start a guardian: fork: %s", strerror(errno));
	}
	return 0;
}

int guardian_recover(char *why, size_t size)
{
	char guarded[512], note[512];
	if (state_file_read("guardian", guarded, sizeof(guarded)) > 0) {
		guarded[strcspn(guarded, "\n")] = '\0';
		ktap_diag("%s", guarded);
		state_file_remove("guardian");
	}
	enum record_found found = undo_read_record(&left, note, sizeof(note));
	if (note[0])
		ktap_diag("%s", note);
	if (found == RECORD_UNUSABLE)
		return say_why(why, size, "%s", note);
	if (found != RECORD_READ)
		return 0;
	enum undo_result result = undo_steps(&left, said, sizeof(said));
	if (result == STILL_RUNNING)
		return say_why(why, size,
			       "the check of an interrupted run (pid %ld) still runs: %s; nothing "
			       "of that run put back yet",
			       left.pid, said);
	if (result == UNDONE)
		ktap_diag("recovered from an interrupted run: %s", said);
	else
		ktap_diag("could not put back all that an interrupted run (pid %ld) changed: %s; "
			  "the rest is left as it is",
			  left.pid, said);
	undo_drop_record();
	return 0;
}

void guardian_release(void)
{
	runner_end.reset();
}
