// SPDX-License-Identifier: GPL-2.0-only
// run_checks: prepares the system for the two checks beside it, runs them with
// a timeout, reports KTAP as kselftest does, and leaves the system as it found
// it, whatever ends the run.
//
// Built in layers, each file including only files below it; the picture and
// what each file holds are in docs/architecture.md:
//   main.cpp                                options, the plan, the checks' order
//   rss_check, rss_report, new_file_check,  the checks: run, report
//   outcome
//   verdict                                 the verdict, a pure function
//   hugepages, environment, kernel_account, rss_map_check's specifics
//   trace, damage, probes.h
//   state_dir, undo, guardian, mount_ns,    mechanisms: the lock, the undo
//   signals, child, ktap                    list, its guardian, a namespace,
//                                           stop signals, children, output
//   util, memory_limits, record, fd.h             readers, the undo list's text

#include "environment.h"
#include "guardian.h"
#include "ktap.h"
#include "new_file_check.h"
#include "options.h"
#include "rss_check.h"
#include "signals.h"
#include "state_dir.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

struct options opt;

static const char usage_text[] =
    "usage: %s [-t SECONDS] [-w SECONDS] [--strict] [-d DIR]...\n"
    "Runs rss_map_check and new_file_read_check (found beside this program)\n"
    "and reports KTAP on standard output.\n"
    "  -t SECONDS  kill a check that runs longer (default %d)\n"
    "  -w SECONDS  wait at most this long while another run holds the huge\n"
    "              pages (default: that run's -t plus 15)\n"
    "  --strict    report failures that the check's design makes on this\n"
    "              kernel (XFAIL) as failures\n"
    "  -d DIR      check a new file in DIR (repeatable; default: the\n"
    "              temporary directory)\n"
    "  -h, --help  this text\n"
    "Exit status: 0 nothing failed (expected failures included), 1 a check\n"
    "failed or the report could not be written, 2 bad usage or no checks to\n"
    "be found, 4 all skipped.\n";

[[noreturn]] static void usage(const char *prog, FILE *to, int status)
{
	fprintf(to, usage_text, prog, DEFAULT_TIMEOUT_S);
	exit(status);
}

static bool seconds(const char *text, int min, int *value)
{
	char *end;
	errno = 0;
	long v = strtol(text, &end, 10);
	if (errno || *end || end == text || v < min || v > 86400)
		return false;
	*value = (int)v;
	return true;
}

// A closed standard descriptor would be the next one opened: a check's
// pipe, the lock, the signal descriptor would land on 0, 1 or 2.
static void open_standard_fds(void)
{
	struct pollfd fds[3] = {{0, 0, 0}, {1, 0, 0}, {2, 0, 0}};
	poll(fds, 3, 0);
	for (int i = 0; i < 3; i++)
		if (fds[i].revents & POLLNVAL && open("/dev/null", O_RDWR) < 0)
			open("/", O_RDONLY);
}

// The folder of this executable, where the checks are; never a guess: a
// check found through the current directory would run as root whatever it is.
static void own_dir(char *dir, size_t size)
{
	ssize_t n = readlink("/proc/self/exe", dir, size - 1);
	char *slash = n > 0 ? (char *)memrchr(dir, '/', (size_t)n) : nullptr;
	if (!slash) {
		const char *why = n < 0 ? strerror(errno) : "not a path";
		fprintf(stderr,
			"run_checks: cannot read /proc/self/exe (%s); not running checks "
			"found anywhere else\n",
			why);
		printf("Bail out! cannot find the checks: /proc/self/exe: %s\n", why);
		exit(2);
	}
	*slash = '\0';
}

int main(int argc, char **argv)
{
	const char *prog = argc > 0 ? argv[0] : "run_checks";
	// The -d values, gathered at the front of argv as it is read: each took
	// two words, so none is written over before it is read. No limit.
	char **dirs = argv + 1;
	int ndirs = 0;
	char bin_dir[PATH_MAX];

	open_standard_fds();
	for (int i = 1; i < argc; i++) {
		const char *a = argv[i];
		if (!strcmp(a, "-h") || !strcmp(a, "--help"))
			usage(prog, stdout, 0);
		if (!strcmp(a, "--strict")) {
			opt.strict = true;
			continue;
		}
		bool value = i + 1 < argc;
		if (!strcmp(a, "-t") && value && seconds(argv[i + 1], 1, &opt.timeout_s))
			i++;
		else if (!strcmp(a, "-w") && value && seconds(argv[i + 1], 0, &opt.wait_s))
			i++;
		else if (!strcmp(a, "-d") && value)
			dirs[ndirs++] = argv[++i];
		else
			usage(prog, stderr, 2);
	}
	signals_init();
	signals_at_stop(ktap_bail_out);
	own_dir(bin_dir, sizeof(bin_dir));

	ktap_plan(1 + (ndirs ? ndirs : 1));
	environment_header();
	check_rss(bin_dir);
	// Its huge pages put back: another run need not wait for the new-file
	// checks, whose directories the guardian still keeps on its list.
	state_release();
	guardian_unlock();
	if (ndirs == 0)
		check_new_file(bin_dir, nullptr);
	for (int i = 0; i < ndirs; i++)
		check_new_file(bin_dir, dirs[i]);
	if (int sig = signals_pending_stop())
		signals_stop(sig);
	state_release();
	guardian_release();
	return ktap_totals();
}
