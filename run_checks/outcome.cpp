// SPDX-License-Identifier: GPL-2.0-only
#include "outcome.h"

#include "child.h"
#include "fd.h"
#include "ktap.h"
#include "options.h"
#include "probes.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

// Says what happened to a run that did not end as a pass or a plain failure.
void diag_outcome(const char *name, const struct child_result *r)
{
	if (r->timed_out)
		ktap_diag("%s: no verdict within %d s; killed", name, opt.timeout_s);
	else if (WIFSIGNALED(r->status))
		ktap_diag("%s: killed by signal %d (%s)", name, WTERMSIG(r->status),
			  strsignal(WTERMSIG(r->status)));
	else if (WEXITSTATUS(r->status) == 0 && r->out_len > PASS_LEN &&
		 !memcmp(r->out, PASS_TEXT, PASS_LEN))
		ktap_diag("%s: exited with status 0 but printed more than \"oll korrekt.\"", name);
	else if (WEXITSTATUS(r->status) == 0)
		ktap_diag("%s: exited with status 0 without printing \"oll korrekt.\"", name);
	else
		ktap_diag("%s: exited with status %d", name, WEXITSTATUS(r->status));
	ktap_quote("", r->err, r->err_len, r->err_dropped);
	ktap_quote("stdout: ", r->out, r->out_len, r->out_dropped);
}

// The result of a run that could not be started, timed out, or did not
// end as `passed` says; returns false when the caller must judge it.
bool report_unusual(const char *name, const struct child_result *r)
{
	char why[128];
	if (r->start_errno) {
		if (!strcmp(r->start_what, "exec"))
			snprintf(why, sizeof(why), "cannot start the check: %s",
				 strerror(r->start_errno));
		else
			snprintf(why, sizeof(why), "cannot start the check: %s: %s", r->start_what,
				 strerror(r->start_errno));
		ktap_result(KTAP_SKIP, name, why);
		return true;
	}
	if (r->timed_out) {
		diag_outcome(name, r);
		snprintf(why, sizeof(why), "%d", opt.timeout_s);
		ktap_result(KTAP_TIMEOUT, name, why);
		return true;
	}
	return false;
}

// The uid that owns run_checks itself: whoever installed it may own the checks.
static long own_owner(void)
{
	struct stat s;
	return stat("/proc/self/exe", &s) == 0 ? (long)s.st_uid : 0;
}

int program_open(const char *name, const char *path)
{
	char why[PATH_MAX + 128];
	struct stat s;
	unique_fd fd(open(path, O_PATH | O_NOFOLLOW | O_CLOEXEC));
	if (access(path, X_OK) != 0 || !fd.ok() || fstat(fd.get(), &s) != 0)
		snprintf(why, sizeof(why), "cannot run %s: %s", path, strerror(errno));
	else if (!S_ISREG(s.st_mode))
		snprintf(why, sizeof(why), "cannot run %s: not a regular file", path);
	else if (s.st_uid != 0 && (long)s.st_uid != own_owner())
		snprintf(why, sizeof(why),
			 "cannot run %s: owned by uid %u, neither root nor "
			 "run_checks' owner",
			 path, (unsigned)s.st_uid);
	else if (s.st_mode & 022)
		snprintf(why, sizeof(why),
			 "cannot run %s: writable by others than its owner "
			 "(mode %04o)",
			 path, (unsigned)(s.st_mode & 07777));
	else
		return fd.release();
	ktap_result(KTAP_SKIP, name, why);
	return -1;
}
