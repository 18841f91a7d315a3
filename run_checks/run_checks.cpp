// run_checks: prepares the system for the two checks beside it, runs them with
// a timeout, reports KTAP (TAP version 13) as kselftest does, and leaves the
// system as it found it: the huge-page count and any hugetlbfs mount it made.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#define MAX_DIRS 32
#define HUGETLBFS_MAGIC_ 0x958458f6
#define HUGEPAGES_DIR "/hugepages"
#define NR_HUGEPAGES "/proc/sys/vm/nr_hugepages"
#define RSS_PAGES 100			// what rss_map_check asks the shell for
#define RSS_LENGTH (16LL * 1024 * 1024) // the size of its mappings

static const char usage_text[] =
    "usage: %s [-t SECONDS] [-d DIR]...\n"
    "Runs rss_map_check and new_file_read_check (found beside this program)\n"
    "and reports KTAP on standard output.\n"
    "  -t SECONDS  kill a check that runs longer (default 30)\n"
    "  -d DIR      check a new file in DIR (repeatable; default: a fresh\n"
    "              temporary directory)\n"
    "  -h, --help  this text\n"
    "Exit status: 0 all run checks passed, 1 a check failed, 4 all skipped,\n"
    "2 bad usage.\n";

// What a child did. Output beyond the buffers is dropped.
struct child_result {
	int status;	// from waitpid, valid when !timed_out && !stopped_by
	int timed_out;	// killed at the timeout
	int stopped_by; // the signal that stopped the runner meanwhile, or 0
	char out[4096];
	size_t out_len;
	char err[8192];
	size_t err_len;
};

// What the runner changed and must put back.
static struct {
	long saved_pages; // -1: not touched
	int mounted;
	int created_dir;
} sys = {-1, 0, 0};

static int timeout_s = 30;
static sigset_t stop_signals; // SIGINT, SIGTERM, SIGHUP, and SIGCHLD
static int sigfd = -1;
static int tests_done, passed, failed, skipped;

static long now_ms(void)
{
	struct timespec ts;
	clock_gettime(CLOCK_MONOTONIC, &ts);
	return ts.tv_sec * 1000L + ts.tv_nsec / 1000000L;
}

// Prints each line of `text` as a KTAP diagnostic, verbatim after "# ".
static void diag_lines(const char *prefix, const char *text, size_t len)
{
	size_t start = 0;
	for (size_t i = 0; i <= len; i++) {
		if (i == len || text[i] == '\n') {
			if (i > start || i < len)
				printf("# %s%.*s\n", prefix, (int)(i - start), text + start);
			start = i + 1;
		}
	}
}

static void result_line(const char *verdict, const char *name, const char *skip_reason)
{
	tests_done++;
	printf("%s %d %s", verdict, tests_done, name);
	if (skip_reason)
		printf(" # SKIP %s", skip_reason);
	printf("\n");
	fflush(stdout);
}

static void pass(const char *name)
{
	passed++;
	result_line("ok", name, nullptr);
}

static void fail(const char *name)
{
	failed++;
	result_line("not ok", name, nullptr);
}

static void skip(const char *name, const char *reason)
{
	skipped++;
	result_line("ok", name, reason);
}

static int read_long(const char *path, long *value)
{
	char buf[64] = {};
	int fd = open(path, O_RDONLY | O_CLOEXEC);
	if (fd < 0)
		return -1;
	ssize_t n = read(fd, buf, sizeof(buf) - 1);
	close(fd);
	if (n <= 0)
		return -1;
	*value = strtol(buf, nullptr, 10);
	return 0;
}

static int write_long(const char *path, long value)
{
	char buf[32];
	int n = snprintf(buf, sizeof(buf), "%ld\n", value);
	int fd = open(path, O_WRONLY | O_CLOEXEC);
	if (fd < 0)
		return -1;
	ssize_t w = write(fd, buf, (size_t)n);
	close(fd);
	return w == n ? 0 : -1;
}

// Finds `key` in a small text file and returns the number after it, or -1.
static long field_in(const char *path, const char *key)
{
	static char text[16384];
	int fd = open(path, O_RDONLY | O_CLOEXEC);
	if (fd < 0)
		return -1;
	ssize_t n = read(fd, text, sizeof(text) - 1);
	close(fd);
	text[n > 0 ? n : 0] = '\0';
	const char *at = strstr(text, key);
	return at ? strtol(at + strlen(key), nullptr, 10) : -1;
}

static int is_hugetlbfs(const char *path)
{
	struct statfs fs;
	return statfs(path, &fs) == 0 && (unsigned long)fs.f_type == HUGETLBFS_MAGIC_;
}

// Puts back what the runner changed; safe to call more than once.
static void restore_system(void)
{
	if (sys.saved_pages >= 0) {
		if (write_long(NR_HUGEPAGES, sys.saved_pages) == 0)
			printf("# restored %s to %ld\n", NR_HUGEPAGES, sys.saved_pages);
		else
			printf("# could not restore %s to %ld: %s\n", NR_HUGEPAGES, sys.saved_pages,
			       strerror(errno));
		sys.saved_pages = -1;
	}
	if (sys.mounted) {
		if (umount(HUGEPAGES_DIR) == 0)
			printf("# unmounted %s\n", HUGEPAGES_DIR);
		else
			printf("# could not unmount %s: %s\n", HUGEPAGES_DIR, strerror(errno));
		sys.mounted = 0;
	}
	if (sys.created_dir) {
		rmdir(HUGEPAGES_DIR);
		sys.created_dir = 0;
	}
	fflush(stdout);
}

// Restores the system and leaves with the signal that asked the runner to stop.
[[noreturn]] static void stop(int sig)
{
	restore_system();
	printf("Bail out! stopped by signal %d (%s)\n", sig, strsignal(sig));
	fflush(stdout);
	signal(sig, SIG_DFL);
	sigprocmask(SIG_UNBLOCK, &stop_signals, nullptr);
	raise(sig);
	_exit(128 + sig);
}

// Returns a stop signal that arrived while the runner was busy, or 0.
static int pending_stop(void)
{
	struct signalfd_siginfo si;
	while (read(sigfd, &si, sizeof(si)) == (ssize_t)sizeof(si))
		if (si.ssi_signo != SIGCHLD)
			return (int)si.ssi_signo;
	return 0;
}

static void append(char *buf, size_t size, size_t *len, int fd, int *open_fd)
{
	char scratch[4096];
	ssize_t n = read(fd, scratch, sizeof(scratch));
	if (n <= 0) {
		close(fd);
		*open_fd = -1;
		return;
	}
	size_t room = size - *len;
	size_t take = (size_t)n < room ? (size_t)n : room;
	memcpy(buf + *len, scratch, take);
	*len += take;
}

// Runs argv[0] with core dumps off in its own process group, collecting its
// output, until it exits, the timeout passes, or a stop signal arrives.
static void run_child(const char *const argv[], struct child_result *r)
{
	int out[2], err[2];
	memset(r, 0, sizeof(*r));
	if (pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC)) {
		r->status = 127 << 8;
		return;
	}
	fflush(stdout);
	pid_t pid = fork();
	if (pid == 0) {
		struct rlimit no_core = {0, 0};
		setpgid(0, 0);
		setrlimit(RLIMIT_CORE, &no_core);
		sigprocmask(SIG_UNBLOCK, &stop_signals, nullptr);
		dup2(out[1], 1);
		dup2(err[1], 2);
		execv(argv[0], (char *const *)argv);
		dprintf(2, "cannot run %s: %s\n", argv[0], strerror(errno));
		_exit(127);
	}
	close(out[1]);
	close(err[1]);
	if (pid < 0) {
		close(out[0]);
		close(err[0]);
		r->status = 127 << 8;
		return;
	}
	setpgid(pid, pid);

	long deadline = now_ms() + timeout_s * 1000L;
	int reaped = 0;
	struct pollfd fds[3] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}, {sigfd, POLLIN, 0}};
	// Wait for the exit and the end of both streams; a grandchild that keeps
	// the streams open (the shell of system()) is bounded by the deadline.
	while (!reaped || fds[0].fd >= 0 || fds[1].fd >= 0) {
		long left = deadline - now_ms();
		if (left <= 0) {
			if (!reaped) {
				r->timed_out = 1;
				kill(-pid, SIGKILL);
				waitpid(pid, &r->status, 0);
				reaped = 1;
			}
			break;
		}
		if (poll(fds, 3, (int)left) < 0 && errno != EINTR)
			break;
		if (fds[0].fd >= 0 && fds[0].revents)
			append(r->out, sizeof(r->out), &r->out_len, fds[0].fd, &fds[0].fd);
		if (fds[1].fd >= 0 && fds[1].revents)
			append(r->err, sizeof(r->err), &r->err_len, fds[1].fd, &fds[1].fd);
		if (fds[2].revents) {
			int sig = pending_stop();
			if (sig && !reaped) {
				kill(-pid, SIGKILL);
				waitpid(pid, &r->status, 0);
				reaped = 1;
			}
			if (sig) {
				r->stopped_by = sig;
				break;
			}
		}
		if (!reaped && waitpid(pid, &r->status, WNOHANG) == pid)
			reaped = 1;
	}
	if (fds[0].fd >= 0)
		close(fds[0].fd);
	if (fds[1].fd >= 0)
		close(fds[1].fd);
}

// Says what happened to a child that did not give the verdict of a pass.
static void diag_outcome(const char *name, const struct child_result *r)
{
	if (r->timed_out)
		printf("# %s: no verdict within %d s; killed\n", name, timeout_s);
	else if (WIFSIGNALED(r->status))
		printf("# %s: killed by signal %d (%s)\n", name, WTERMSIG(r->status),
		       strsignal(WTERMSIG(r->status)));
	else if (WEXITSTATUS(r->status) == 0)
		printf("# %s: exited with status 0 without printing \"oll korrekt.\"\n", name);
	else
		printf("# %s: exited with status %d\n", name, WEXITSTATUS(r->status));
	diag_lines("", r->err, r->err_len);
	diag_lines("stdout: ", r->out, r->out_len);
}

static int kernel_has_hugetlbfs(void)
{
	static char text[8192];
	int fd = open("/proc/filesystems", O_RDONLY | O_CLOEXEC);
	if (fd < 0)
		return 0;
	ssize_t n = read(fd, text, sizeof(text) - 1);
	close(fd);
	text[n > 0 ? n : 0] = '\0';
	return strstr(text, "\thugetlbfs\n") != nullptr;
}

// Mounts the hugetlbfs if need be, saves the huge-page count and reserves the
// pages that rss_map_check asks for. Returns 0 when the system is ready, or
// -1 with the reason to skip in `why`.
static int prepare_hugepages(char *why, size_t size)
{
	long pages;

	if (geteuid() != 0) {
		snprintf(why, size, "needs root to mount %s and write %s", HUGEPAGES_DIR,
			 NR_HUGEPAGES);
		return -1;
	}
	int fd = open(NR_HUGEPAGES, O_WRONLY | O_CLOEXEC);
	if (fd < 0) {
		snprintf(why, size, "%s is %s", NR_HUGEPAGES,
			 errno == ENOENT ? "missing" : "read-only");
		return -1;
	}
	close(fd);
	if (!kernel_has_hugetlbfs()) {
		snprintf(why, size, "the kernel has no hugetlbfs");
		return -1;
	}
	if (read_long(NR_HUGEPAGES, &pages) < 0) {
		snprintf(why, size, "%s cannot be read", NR_HUGEPAGES);
		return -1;
	}
	if (!is_hugetlbfs(HUGEPAGES_DIR)) {
		if (mkdir(HUGEPAGES_DIR, 0755) == 0)
			sys.created_dir = 1;
		if (mount("none", HUGEPAGES_DIR, "hugetlbfs", 0, nullptr) != 0) {
			snprintf(why, size, "cannot mount hugetlbfs at %s: %s", HUGEPAGES_DIR,
				 strerror(errno));
			restore_system();
			return -1;
		}
		sys.mounted = 1;
		printf("# mounted hugetlbfs at %s\n", HUGEPAGES_DIR);
	}
	// Reserve here, so that a missing shell (as on Android) cannot turn
	// into a false failure of the check's own request.
	sys.saved_pages = pages;
	write_long(NR_HUGEPAGES, RSS_PAGES);
	long got = -1, page_kb = field_in("/proc/meminfo", "Hugepagesize:");
	read_long(NR_HUGEPAGES, &got);
	long need = page_kb > 0 ? (long)((RSS_LENGTH / 1024 + page_kb - 1) / page_kb) : 1;
	printf("# %s: %ld, set to %ld for the check (huge page %ld kB)\n", NR_HUGEPAGES, pages, got,
	       page_kb);
	if (got < need) {
		snprintf(why, size,
			 "only %ld of %d huge pages of %ld kB could be reserved; 16 MiB needs %ld",
			 got, RSS_PAGES, page_kb, need);
		restore_system();
		return -1;
	}
	return 0;
}

static void check_rss(const char *bin_dir)
{
	static const char name[] = "rss_map_check";
	char path[PATH_MAX + 32], why[PATH_MAX + 64];
	struct child_result r;

	snprintf(path, sizeof(path), "%s/%s", bin_dir, name);
	if (access(path, X_OK) != 0) {
		snprintf(why, sizeof(why), "%s not found", path);
		skip(name, why);
		return;
	}
	if (prepare_hugepages(why, sizeof(why)) < 0) {
		skip(name, why);
		return;
	}
	if (int sig = pending_stop())
		stop(sig);
	const char *const args[] = {path, nullptr};
	run_child(args, &r);
	if (r.stopped_by)
		stop(r.stopped_by);
	restore_system();
	int ok = !r.timed_out && WIFEXITED(r.status) && WEXITSTATUS(r.status) == 0 &&
		 r.out_len == 13 && !memcmp(r.out, "oll korrekt.\n", 13);
	if (ok) {
		diag_lines("", r.err, r.err_len);
		pass(name);
		return;
	}
	if (!r.timed_out && WIFSIGNALED(r.status) && WTERMSIG(r.status) == SIGABRT) {
		printf("# %s: a check failed (SIGABRT):\n", name);
		diag_lines("", r.err, r.err_len);
		diag_lines("stdout: ", r.out, r.out_len);
	} else {
		diag_outcome(name, &r);
	}
	fail(name);
}

// Appends " text" to a test name, with '#' escaped so that a directory name
// cannot pose as a TAP directive.
static void tap_name(char *name, size_t size, const char *text)
{
	size_t n = strlen(name);
	if (n + 1 < size)
		name[n++] = ' ';
	for (; *text && n + 2 < size; text++) {
		if (*text == '#')
			name[n++] = '\\';
		name[n++] = *text;
	}
	name[n] = '\0';
}

// A fresh name in `dir`: one that does not exist yet.
static int fresh_path(const char *dir, char *path, size_t size)
{
	struct stat st;
	for (int i = 0; i < 1000; i++) {
		snprintf(path, size, "%s/new_file_read_check.%d.%d", dir, (int)getpid(), i);
		if (lstat(path, &st) != 0 && errno == ENOENT)
			return 0;
	}
	return -1;
}

// Runs new_file_read_check on a fresh path in `dir`, or in a temporary
// directory of its own when `dir` is null; removes only what it made.
static void check_new_file(const char *bin_dir, const char *dir)
{
	char name[PATH_MAX + 32], prog[PATH_MAX + 32], tmp[PATH_MAX], path[PATH_MAX + 64];
	char why[PATH_MAX + 64];
	struct child_result r;
	struct stat st;

	snprintf(name, sizeof(name), "new_file_read_check");
	if (dir)
		tap_name(name, sizeof(name), dir);
	snprintf(prog, sizeof(prog), "%s/new_file_read_check", bin_dir);
	if (access(prog, X_OK) != 0) {
		snprintf(why, sizeof(why), "%s not found", prog);
		skip(name, why);
		return;
	}
	if (!dir) {
		const char *base = getenv("TMPDIR");
		if (!base || !*base)
			base = access("/tmp", W_OK) == 0 ? "/tmp" : "/data/local/tmp";
		snprintf(tmp, sizeof(tmp), "%s/run_checks.XXXXXX", base);
		if (!mkdtemp(tmp)) {
			printf("# cannot make a directory in %s: %s\n", base, strerror(errno));
			fail(name);
			return;
		}
	}
	const char *in = dir ? dir : tmp;
	if (stat(in, &st) != 0 || !S_ISDIR(st.st_mode) || fresh_path(in, path, sizeof(path))) {
		printf("# %s is not a directory to create a file in\n", in);
		fail(name);
		return;
	}
	printf("# new_file_read_check %s\n", path);
	const char *const args[] = {prog, path, nullptr};
	run_child(args, &r);
	unlink(path);
	if (!dir)
		rmdir(tmp);
	if (r.stopped_by)
		stop(r.stopped_by);
	if (!r.timed_out && WIFEXITED(r.status) && WEXITSTATUS(r.status) == 0) {
		diag_lines("", r.err, r.err_len);
		pass(name);
	} else if (!r.timed_out && WIFEXITED(r.status) && WEXITSTATUS(r.status) == 1) {
		diag_lines("", r.err, r.err_len);
		fail(name);
	} else {
		diag_outcome(name, &r);
		fail(name);
	}
}

[[noreturn]] static void usage(const char *prog, FILE *to, int status)
{
	fprintf(to, usage_text, prog);
	exit(status);
}

// The folder of this executable, where the checks are.
static void own_dir(char *dir, size_t size)
{
	ssize_t n = readlink("/proc/self/exe", dir, size - 1);
	dir[n > 0 ? n : 0] = '\0';
	char *slash = strrchr(dir, '/');
	if (slash)
		*slash = '\0';
	else
		snprintf(dir, size, ".");
}

int main(int argc, char **argv)
{
	const char *prog = argc > 0 ? argv[0] : "run_checks";
	const char *dirs[MAX_DIRS];
	int ndirs = 0;
	char bin_dir[PATH_MAX];

	for (int i = 1; i < argc; i++) {
		const char *a = argv[i];
		if (!strcmp(a, "-h") || !strcmp(a, "--help"))
			usage(prog, stdout, 0);
		if (!strcmp(a, "-t") && i + 1 < argc) {
			char *end;
			long t = strtol(argv[++i], &end, 10);
			if (*end || end == argv[i] || t < 1 || t > 86400)
				usage(prog, stderr, 2);
			timeout_s = (int)t;
		} else if (!strcmp(a, "-d") && i + 1 < argc && ndirs < MAX_DIRS) {
			dirs[ndirs++] = argv[++i];
		} else {
			usage(prog, stderr, 2);
		}
	}
	own_dir(bin_dir, sizeof(bin_dir));

	// Stop signals are taken through a descriptor, so that the runner
	// always gets to restore the system before it goes.
	sigemptyset(&stop_signals);
	sigaddset(&stop_signals, SIGINT);
	sigaddset(&stop_signals, SIGTERM);
	sigaddset(&stop_signals, SIGHUP);
	sigaddset(&stop_signals, SIGCHLD);
	sigprocmask(SIG_BLOCK, &stop_signals, nullptr);
	sigfd = signalfd(-1, &stop_signals, SFD_NONBLOCK | SFD_CLOEXEC);

	printf("TAP version 13\n1..%d\n", 1 + (ndirs ? ndirs : 1));
	fflush(stdout);
	check_rss(bin_dir);
	if (ndirs == 0)
		check_new_file(bin_dir, nullptr);
	for (int i = 0; i < ndirs; i++)
		check_new_file(bin_dir, dirs[i]);
	if (int sig = pending_stop())
		stop(sig);

	printf("# Totals: pass:%d fail:%d xfail:0 xpass:0 skip:%d error:0\n", passed, failed,
	       skipped);
	if (failed)
		return 1;
	return passed ? 0 : 4;
}
