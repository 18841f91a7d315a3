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
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

static unique_fd runner_end; // the guardian sees it close when the runner ends
static bool runner_is_pipe;  // a pipe where the kernel has no AF_UNIX sockets
// What a dead run left, and what undoing it said: large, so kept here.
static struct record left;
static char said[UNDO_STEPS * (UNDO_PATH + 96)];
// What the runner told: "L N\n" and the list's text in N bytes at each
// change of its undo list; "R\n" once it let the state directory go.
static char heard[2 * UNDO_STEPS * (UNDO_PATH + 96)], list_text[UNDO_STEPS * (UNDO_PATH + 96)];

// Takes the whole messages at the front of `heard` (`*have` bytes): the
// last list told goes to list_text, a release sets `released`.
static void take_messages(size_t *have, bool *listed, bool *released)
{
	size_t at = 0;
	for (;;) {
		char *nl = (char *)memchr(heard + at, '\n', *have - at);
		if (!nl)
			break;
		*nl = '\0';
		size_t body = (size_t)(nl + 1 - heard), n = 0;
		if (heard[at] == 'R')
			*released = true;
		if (heard[at] != 'L' || sscanf(heard + at, "L %zu", &n) != 1 ||
		    n >= sizeof(list_text)) {
			at = body; // a release, or no message: the line alone
			continue;
		}
		if (*have - body < n) {
			*nl = '\n';
			break; // its list is still to come
		}
		memcpy(list_text, heard + body, n);
		list_text[n] = '\0';
		*listed = true;
		at = body + n;
	}
	memmove(heard, heard + at, *have - at);
	*have -= at;
}

// Undoes what the runner left, from the list it told (else from the record,
// while the state directory is held), and says so to the next run.
static void put_back(pid_t runner, bool listed, bool released)
{
	static char note[512], line[sizeof(said) + 100];
	bool read = listed
			? record_parse(list_text, &left)
			: !released && undo_read_record(&left, note, sizeof(note)) == RECORD_READ;
	if (!read || left.steps == 0)
		return;
	// Kept while the check's processes still run: the next run waits too.
	if (undo_steps(&left, said, sizeof(said)) != STILL_RUNNING && !released)
		undo_drop_record();
	if (said[0] && !released) {
		int n = snprintf(line, sizeof(line),
				 "run %ld ended without putting back; its guardian did: %s\n",
				 (long)runner, said);
		// If it fails, the next run merely will not say what it did.
		state_file_replace("guardian", line, (size_t)n);
	}
}

// The guardian: a process of a session of its own, holding nothing of the
// runner's but the lock (so no other run starts before it is done) and the
// state directory, and the undo list as the runner tells it. It waits for
// the runner to end; if the runner ended without undoing (SIGKILL, a
// fault), it does so at once. Once the runner let the state directory go
// (its huge pages put back), it lets it go too and keeps the list alone.
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
	size_t have = 0;
	bool listed = false, released = false, closed = false;
	for (;;) {
		ssize_t n = read(watch, heard + have, sizeof(heard) - have);
		if (n < 0 && errno == EINTR)
			continue;
		if (n <= 0)
			break;
		have += (size_t)n;
		take_messages(&have, &listed, &released);
		if (released && !closed) {
			for (int i = 1; i < 4; i++)
				close(keep[i]);
			closed = true;
		}
		if (have == sizeof(heard))
			have = 0; // no message is this long: drop what cannot be one
	}
	put_back(runner, listed, released);
	_exit(0);
}

// Sends all of `buf` to the guardian. A guardian that is gone is not a stop
// of the runner's: a socket is told so (MSG_NOSIGNAL); on a pipe (kernels
// without AF_UNIX) the SIGPIPE this raised, pending behind the runner's
// mask, is taken back unless one from elsewhere was pending already.
static void send_all(const char *buf, size_t n)
{
	sigset_t pending, pipe_only;
	sigpending(&pending);
	bool pipe_pending = sigismember(&pending, SIGPIPE);
	for (size_t at = 0; at < n && runner_end.ok();) {
		ssize_t sent = runner_is_pipe
				   ? write(runner_end.get(), buf + at, n - at)
				   : send(runner_end.get(), buf + at, n - at, MSG_NOSIGNAL);
		if (sent < 0 && errno == EINTR)
			continue;
		if (sent < 0 && errno == EPIPE && runner_is_pipe && !pipe_pending) {
			struct timespec now = {0, 0};
			sigemptyset(&pipe_only);
			sigaddset(&pipe_only, SIGPIPE);
			sigtimedwait(&pipe_only, nullptr, &now);
		}
		if (sent <= 0)
			return;
		at += (size_t)sent;
	}
}

// Tells the guardian the list, whole, in one message.
static void tell(const char *text, size_t n)
{
	static char message[sizeof(list_text) + 32];
	int head = snprintf(message, sizeof(message), "L %zu\n", n);
	if (n > sizeof(message) - (size_t)head)
		return;
	memcpy(message + head, text, n);
	send_all(message, (size_t)head + n);
}

int guardian_start(char *why, size_t size)
{
	int p[2];
	runner_is_pipe = socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, p) != 0;
	if (runner_is_pipe && pipe2(p, O_CLOEXEC) != 0)
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
	undo_watch(tell);
	return 0;
}

void guardian_unlock(void)
{
	send_all("R\n", 2);
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
	undo_watch(nullptr);
	runner_end.reset();
}
