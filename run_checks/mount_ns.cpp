// SPDX-License-Identifier: GPL-2.0-only
#include "mount_ns.h"

#include "fd.h"
#include "undo.h"
#include "util.h"

#include <errno.h>
#include <fcntl.h>
#include <sched.h>
#include <stdio.h>
#include <string.h>
#include <sys/mount.h>
#include <unistd.h>

static struct {
	unique_fd host_ns, root_fd, cwd_fd; // the way back
	bool inside;
} ns;

static void leave(void)
{
	if (ns.inside) {
		// setns() puts the root and the working directory at the
		// namespace's; both go back to what they were (a chroot too).
		if (setns(ns.host_ns.get(), CLONE_NEWNS) != 0 || fchdir(ns.root_fd.get()) != 0 ||
		    chroot(".") != 0 || fchdir(ns.cwd_fd.get()) != 0)
			_exit(2); // cannot happen to root; never go on in the wrong place
		ns.inside = false;
	}
	ns.host_ns.reset();
	ns.root_fd.reset();
	ns.cwd_fd.reset();
}

int mount_ns_enter(char *how, size_t how_size, char *why, size_t size)
{
	ns.host_ns.reset(open("/proc/self/ns/mnt", O_RDONLY | O_CLOEXEC));
	int e = errno;
	ns.root_fd.reset(open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
	ns.cwd_fd.reset(open(".", O_PATH | O_DIRECTORY | O_CLOEXEC));
	if (!ns.root_fd.ok() || !ns.cwd_fd.ok() ||
	    (!ns.host_ns.ok() && (e == EMFILE || e == ENFILE))) {
		e = ns.host_ns.ok() ? errno : e;
		leave();
		return say_why(why, size, "cannot open a mount namespace for the check: %s",
			       strerror(e));
	}
	const char *what = "/proc/self/ns/mnt";
	if (ns.host_ns.ok()) {
		what = "unshare";
		if (unshare(CLONE_NEWNS) == 0) {
			ns.inside = true;
			if (undo_call(leave, why, size) < 0) {
				leave();
				return -1;
			}
			what = "private propagation";
			if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0)
				return 1;
		}
		e = errno;
	}
	snprintf(how, how_size, "%s: %s", what, strerror(e));
	bool registered = ns.inside;
	leave();
	if (registered)
		undo_done();
	return 0;
}

bool mount_ns_inside(void)
{
	return ns.inside;
}
