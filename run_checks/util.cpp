// SPDX-License-Identifier: GPL-2.0-only
#include "util.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/vfs.h>
#include <time.h>
#include <unistd.h>

long now_ms(void)
{
	struct timespec ts;
	clock_gettime(CLOCK_MONOTONIC, &ts);
	return ts.tv_sec * 1000L + ts.tv_nsec / 1000000L;
}

ssize_t read_text_at(int dir_fd, const char *path, char *buf, size_t size)
{
	// Non-blocking, so that a FIFO planted at the name cannot hold the run.
	int fd = openat(dir_fd, path, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
	if (fd < 0) {
		buf[0] = '\0';
		return -1;
	}
	ssize_t n = read(fd, buf, size - 1);
	int saved = errno;
	close(fd);
	buf[n > 0 ? n : 0] = '\0';
	errno = saved;
	return n;
}

ssize_t read_text(const char *path, char *buf, size_t size)
{
	return read_text_at(AT_FDCWD, path, buf, size);
}

int read_long(const char *path, long *value)
{
	char buf[64];
	if (read_text(path, buf, sizeof(buf)) <= 0)
		return -1;
	*value = strtol(buf, nullptr, 10);
	return 0;
}

int write_long(const char *path, long value)
{
	char buf[32];
	int n = snprintf(buf, sizeof(buf), "%ld\n", value);
	int fd = open(path, O_WRONLY | O_CLOEXEC);
	if (fd < 0)
		return -1;
	ssize_t w = write(fd, buf, (size_t)n);
	int saved = errno;
	close(fd);
	errno = saved;
	return w == n ? 0 : -1;
}

long text_field(const char *path, const char *key)
{
	static char text[16384];
	if (read_text(path, text, sizeof(text)) <= 0)
		return -1;
	const char *at = strstr(text, key);
	return at ? strtol(at + strlen(key), nullptr, 10) : -1;
}

long statm_resident(const char *path)
{
	char text[256];
	read_text(path, text, sizeof(text));
	const char *space = strchr(text, ' ');
	return space ? strtol(space + 1, nullptr, 10) : -1;
}

bool fs_type_is(const char *path, unsigned long magic)
{
	struct statfs fs;
	return statfs(path, &fs) == 0 && (unsigned long)fs.f_type == magic;
}

long mount_id(const char *path)
{
	static char text[65536];
	long id = -1;
	read_text("/proc/self/mountinfo", text, sizeof(text));
	size_t len = strlen(path);
	// "ID PARENT MAJ:MIN ROOT MOUNTPOINT ...": the last line wins, the top.
	for (char *line = text; *line;) {
		char *end = strchr(line, '\n');
		long mid;
		char point[256];
		if (sscanf(line, "%ld %*d %*s %*s %255s", &mid, point) == 2 &&
		    strlen(point) == len && !memcmp(point, path, len))
			id = mid;
		if (!end)
			break;
		line = end + 1;
	}
	return id;
}

void boot_id(char *id, size_t size)
{
	if (read_text("/proc/sys/kernel/random/boot_id", id, size) <= 0)
		snprintf(id, size, "unknown");
	id[strcspn(id, "\n")] = '\0';
}

int say_why(char *why, size_t size, const char *fmt, ...)
{
	va_list ap;
	va_start(ap, fmt);
	vsnprintf(why, size, fmt, ap);
	va_end(ap);
	return -1;
}

void say_more(char *said, size_t size, const char *fmt, ...)
{
	size_t n = strlen(said);
	if (n && n + 2 < size) {
		strcpy(said + n, ", ");
		n += 2;
	}
	va_list ap;
	va_start(ap, fmt);
	vsnprintf(said + n, size - n, fmt, ap);
	va_end(ap);
}

void close_from(int from, bool cloexec)
{
#ifdef SYS_close_range
	if (syscall(SYS_close_range, from, ~0U, cloexec ? 4 /* CLOSE_RANGE_CLOEXEC */ : 0) == 0)
		return;
#endif
	// Kernels before 5.11: every descriptor the limit allows.
	struct rlimit lim;
	int max =
	    getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur < 65536 ? (int)lim.rlim_cur : 65536;
	for (int fd = from; fd < max; fd++)
		if (cloexec)
			fcntl(fd, F_SETFD, FD_CLOEXEC);
		else
			close(fd);
}

long long process_start(long pid)
{
	char path[40], text[1024], state;
	unsigned long long start;
	snprintf(path, sizeof(path), "/proc/%ld/stat", pid);
	if (pid <= 0 || read_text(path, text, sizeof(text)) <= 0)
		return -1;
	// The name, in parentheses, may hold anything: the fields follow the
	// last ')'. State is the 3rd field, the start time the 22nd.
	const char *at = strrchr(text, ')');
	if (!at || sscanf(at + 1,
			  " %c %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s "
			  "%*s %*s %*s %llu",
			  &state, &start) != 2)
		return -1;
	return state == 'Z' || state == 'X' ? -1 : (long long)start;
}

unsigned long pid_ns_of(long pid)
{
	char path[40], link[64] = "";
	unsigned long ns = 0;
	snprintf(path, sizeof(path), "/proc/%ld/ns/pid", pid);
	if (readlink(path, link, sizeof(link) - 1) <= 0 || sscanf(link, "pid:[%lu]", &ns) != 1)
		return 0;
	return ns;
}

bool pid_ns_runs(unsigned long ns, long except)
{
	DIR *proc = opendir("/proc");
	if (!proc)
		return false;
	bool runs = false;
	struct dirent *e;
	while (!runs && (e = readdir(proc)) != nullptr) {
		char *end;
		long pid = strtol(e->d_name, &end, 10);
		if (*end || pid <= 0 || pid == except)
			continue;
		runs = pid_ns_of(pid) == ns && process_start(pid) >= 0;
	}
	closedir(proc);
	return runs;
}

// The effective uid of process `pid`, or -1 where it cannot be read.
static long effective_uid(long pid)
{
	char path[40], text[2048];
	snprintf(path, sizeof(path), "/proc/%ld/status", pid);
	if (pid <= 0 || read_text(path, text, sizeof(text)) <= 0)
		return -1;
	const char *at = strstr(text, "\nUid:"); // real, effective, saved, fs
	long real, effective;
	if (!at || sscanf(at + 5, "%ld %ld", &real, &effective) != 2)
		return -1;
	return effective;
}

long flock_holder_not_root(int fd, long *pid)
{
	struct stat s;
	static char locks[65536];
	ssize_t n = fstat(fd, &s) == 0 ? read_text("/proc/locks", locks, sizeof(locks)) : -1;
	if (n <= 0 || (size_t)n >= sizeof(locks) - 1)
		return -1; // not all of it: a holder may be among what was not read
	char *end = strrchr(locks, '\n');
	if (end)
		end[1] = '\0'; // a line cut short is no line
	long uid = -1;
	for (char *line = strtok(locks, "\n"); line; line = strtok(nullptr, "\n")) {
		long holder;
		unsigned int maj, min;
		unsigned long ino;
		// "1: FLOCK  ADVISORY  WRITE 1234 00:15:4026532 0 EOF"; a waiter's
		// line has "->" before FLOCK and does not match.
		if (sscanf(line, "%*d: FLOCK %*s %*s %ld %x:%x:%lu", &holder, &maj, &min, &ino) !=
			4 ||
		    ino != s.st_ino || maj != major(s.st_dev) || min != minor(s.st_dev))
			continue;
		long euid = effective_uid(holder);
		if (euid <= 0)
			return -1;
		uid = euid;
		*pid = holder;
	}
	return uid;
}
