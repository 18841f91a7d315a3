// SPDX-License-Identifier: GPL-2.0-only
#include "run_cgroup.h"

#include "fd.h"
#include "memory_limits.h"
#include "undo.h"
#include "util.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

static struct {
	char dir[600];
	unique_fd procs, home;
} cg;

static void forget(void)
{
	cg.procs.reset();
	cg.home.reset();
	cg.dir[0] = '\0';
}

// What is left in it at the end (a process of the check's that left its
// process group where no pid namespace could be had) is killed, so that
// nothing of the check outlives the run and the cgroup can go.
static void empty(void)
{
	char path[700], text[4096];
	snprintf(path, sizeof(path), "%s/cgroup.procs", cg.dir);
	for (int tries = 0; tries < 100 && read_text(path, text, sizeof(text)) > 0 && text[0];
	     tries++) {
		for (char *line = strtok(text, "\n"); line; line = strtok(nullptr, "\n"))
			kill((pid_t)atol(line), SIGKILL);
		usleep(1000);
	}
}

// In v2 a child has a controller only where its parent passes it on.
static bool offered(int version, const char *dir, const char *controller)
{
	char path[700], text[512];
	if (version == 1)
		return true;
	snprintf(path, sizeof(path), "%s/cgroup.subtree_control", dir);
	return read_text(path, text, sizeof(text)) > 0 && strstr(text, controller);
}

int run_cgroup_make(const char *controller, char *how, size_t how_size, char *why, size_t size)
{
	char root[256], path[256], parent[520];
	struct stat s;
	int version = cgroup_of(controller, root, sizeof(root), path, sizeof(path));
	snprintf(parent, sizeof(parent), "%s%s", root, strcmp(path, "/") ? path : "");
	if (!version || !offered(version, parent, controller)) {
		snprintf(how, how_size, "no %s controller offered to %s", controller,
			 version ? parent : "any cgroup of this process");
		return 0;
	}
	snprintf(cg.dir, sizeof(cg.dir), "%s/kernel-checks.%ld", parent, (long)getpid());
	int steps = undo_count();
	if (undo_rmdir(cg.dir, 0, 0, "", why, size) < 0) {
		undo_done_since(steps);
		forget();
		return -1;
	}
	if (mkdir(cg.dir, 0700) != 0 || lstat(cg.dir, &s) != 0) {
		snprintf(how, how_size, "mkdir %s: %s", cg.dir, strerror(errno));
		undo_done();
		forget();
		return 0;
	}
	if (undo_made_dir(s.st_dev, s.st_ino, why, size) < 0 || undo_call(empty, why, size) < 0) {
		forget();
		return -1;
	}
	char procs[700], home[600];
	snprintf(procs, sizeof(procs), "%s/cgroup.procs", cg.dir);
	snprintf(home, sizeof(home), "%s/cgroup.procs", parent);
	cg.procs.reset(open(procs, O_WRONLY | O_CLOEXEC));
	cg.home.reset(open(home, O_WRONLY | O_CLOEXEC));
	if (!cg.procs.ok() || !cg.home.ok()) {
		snprintf(how, how_size, "%s: %s", cg.procs.ok() ? home : procs, strerror(errno));
		cg.procs.reset();
		return 0; // made, and removed with the list
	}
	return 1;
}

int run_cgroup_procs(void)
{
	return cg.procs.get();
}

int run_cgroup_home(void)
{
	return cg.home.get();
}

long run_cgroup_kb(const char *file)
{
	char path[700], text[64];
	unsigned long long bytes;
	snprintf(path, sizeof(path), "%s/%s", cg.dir, file);
	if (!cg.dir[0] || read_text(path, text, sizeof(text)) <= 0 ||
	    sscanf(text, "%llu", &bytes) != 1)
		return -1;
	return (long)(bytes / 1024);
}
