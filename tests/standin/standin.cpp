// SPDX-License-Identifier: GPL-2.0-only
// A stand-in for either check program, placed beside a copy of run_checks.
// It behaves as STANDIN_<its own name> says (pass: as rss_map_check, after six
// 16 MiB mappings, which the runner's trace must see; unmapped: passes without
// them; trailing: more output after "oll korrekt."; exit127; late: passes
// after 3 s; sleepy: sleeps 1 s before its mappings, then passes; plant:
// maps once, then takes /dev/shm/hugetlbhog for uid 65534 and fails to open
// its shared-memory file, as the real check reports; hog: touches memory until the
// kernel kills it; silent, wrong, fail, exit3, forge: a LAVA signal on stderr then status 1, abort,
// chatty, hang, flood: 20000 bytes on stderr then abort, grandchild: hangs with a child in its
// process group, setsid: passes but leaves a child in a session of its own holding its output,
// orphan: passes but leaves a child in its process group holding nothing; slowshell: as the
// check's shell on a loaded board, a child it waits for writes 100 to nr_hugepages after 2 s,
// then passes; fillshm: maps once, fills /dev/shm, maps again and fails its growth check there,
// as the real check on a full /dev/shm) and appends what it saw
// to STANDIN_LOG: its argument, the huge-page count, whether /hugepages is a hugetlbfs, its
// directory, the descriptors above 2, the signals it inherited blocked, its pid as the machine
// and as itself sees it (in a pid namespace of its own) and that namespace; a child's pid on a
// line of its own.
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <sys/wait.h>
#include <unistd.h>

namespace
{

std::string Slurp(const char *path)
{
	std::string text;
	if (FILE *f = std::fopen(path, "r")) {
		char buf[4096];
		size_t n = std::fread(buf, 1, sizeof(buf), f);
		text.assign(buf, n);
		std::fclose(f);
	}
	while (!text.empty() && text.back() == '\n')
		text.pop_back();
	return text;
}

// Its pid as the machine sees it: /proc is the machine's, even from inside
// a pid namespace of the check's own.
int HostPid()
{
	char link[32] = "";
	ssize_t n = readlink("/proc/self", link, sizeof(link) - 1);
	return n > 0 ? std::atoi(link) : static_cast<int>(getpid());
}

std::string PidNamespace()
{
	char link[64] = "";
	ssize_t n = readlink("/proc/self/ns/pid", link, sizeof(link) - 1);
	return n > 0 ? std::string(link, static_cast<size_t>(n)) : "?";
}

void Log(const std::string &name, const char *arg)
{
	const char *log = std::getenv("STANDIN_LOG");
	if (!log)
		return;
	struct statfs fs;
	bool hugetlbfs = statfs("/hugepages", &fs) == 0 && fs.f_type == 0x958458f6;
	// What it inherited: descriptors above 2, and the blocked signals.
	int fds = 0;
	for (int fd = 3; fd < 1024; fd++)
		fds += fcntl(fd, F_GETFD) >= 0;
	std::string status = Slurp("/proc/self/status");
	size_t at = status.find("SigBlk:\t");
	std::string blocked = at == std::string::npos ? "?" : status.substr(at + 8, 16);
	char cwd[PATH_MAX] = "?";
	if (!getcwd(cwd, sizeof(cwd)))
		cwd[0] = '?';
	if (FILE *f = std::fopen(log, "a")) {
		std::fprintf(f,
			     "%s arg=%s nr_hugepages=%s hugetlbfs=%d cwd=%s fds=%d blocked=%s "
			     "pidns=%s nspid=%d pid=%d\n",
			     name.c_str(), arg ? arg : "",
			     Slurp("/proc/sys/vm/nr_hugepages").c_str(), hugetlbfs, cwd, fds,
			     blocked.c_str(), PidNamespace().c_str(), static_cast<int>(getpid()),
			     HostPid());
		std::fclose(f);
	}
}

// A child that sleeps, in a session of its own or in this process group.
void SleepingChild(bool own_session)
{
	if (fork() != 0)
		return;
	if (own_session)
		setsid();
	if (FILE *f = std::fopen(std::getenv("STANDIN_LOG"), "a")) {
		std::fprintf(f, "child pid=%d\n", HostPid());
		std::fclose(f);
	}
	sleep(own_session ? 60 : 3600);
	_exit(0);
}

// The six 16 MiB mappings the runner's trace looks for, the last one kept.
void MapSixTimes()
{
	for (int i = 0; i < 6; i++) {
		void *at = mmap(nullptr, 16 << 20, PROT_READ | PROT_WRITE,
				MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
		if (at != MAP_FAILED && i < 5)
			munmap(at, 16 << 20);
	}
}

} // namespace

int main(int argc, char **argv)
{
	std::string name = std::strrchr(argv[0], '/') ? std::strrchr(argv[0], '/') + 1 : argv[0];
	const char *arg = argc > 1 ? argv[1] : nullptr;
	bool rss = name == "rss_map_check";
	const char *m = std::getenv(("STANDIN_" + name).c_str());
	std::string mode = m ? m : "pass";

	Log(name, arg);
	if (arg)
		close(open(arg, O_RDWR | O_CREAT, 0600)); // as the real check leaves it
	if (mode == "sleepy")
		sleep(1);
	if (mode == "plant") {
		void *at = mmap(nullptr, 16 << 20, PROT_READ | PROT_WRITE,
				MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
		if (at != MAP_FAILED)
			munmap(at, 16 << 20); // the first probe, then its shared-memory file
		mkdir("/dev/shm/hugetlbhog", 0755);
		if (chown("/dev/shm/hugetlbhog", 65534, 65534) != 0)
			return 2;
		std::fputs("rss_map_check.cpp:40: int open_file(const char *): assertion "
			   "\"fd >= 0\" failed\n",
			   stderr);
		std::abort();
	}
	if (rss &&
	    (mode == "pass" || mode == "chatty" || mode == "orphan" || mode == "setsid" ||
	     mode == "trailing" || mode == "late" || mode == "sleepy" || mode == "slowshell"))
		MapSixTimes();
	if (mode == "fillshm") {
		void *at = mmap(nullptr, 16 << 20, PROT_READ | PROT_WRITE,
				MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
		if (at != MAP_FAILED)
			munmap(at, 16 << 20); // the first probe
		int fd = open("/dev/shm/filler", O_WRONLY | O_CREAT | O_TRUNC, 0600);
		static char block[1 << 20];
		while (fd >= 0 && write(fd, block, sizeof(block)) > 0) {
		}
		mmap(nullptr, 16 << 20, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
		std::fputs("rss_map_check.cpp:88: void do_mmap(int, int, int): assertion "
			   "\"llabs(after - before - length) < 0x40000 || !\"rss didn't grow as "
			   "expected\"\" failed\n",
			   stderr);
		std::abort();
	}
	if (mode == "slowshell") {
		pid_t shell = fork();
		if (shell == 0) {
			if (FILE *f = std::fopen(std::getenv("STANDIN_LOG"), "a")) {
				std::fprintf(f, "child pid=%d\n", HostPid());
				std::fclose(f);
			}
			sleep(2);
			int fd = open("/proc/sys/vm/nr_hugepages", O_WRONLY);
			_exit(fd >= 0 && write(fd, "100\n", 4) == 4 ? 0 : 1);
		}
		waitpid(shell, nullptr, 0);
		mode = "pass";
	}
	if (mode == "late")
		sleep(3);
	if (mode == "pass" || mode == "chatty" || mode == "unmapped" || mode == "late" ||
	    mode == "sleepy") {
		if (mode == "chatty")
			std::fputs("line one\n\nline three\n", stderr);
		if (rss)
			std::fputs("oll korrekt.\n", stdout);
		return 0;
	}
	if (mode == "trailing") {
		std::fputs("oll korrekt.\nand more\n", stdout);
		return 0;
	}
	if (mode == "exit127")
		return 127;
	if (mode == "hog") {
		for (;;) {
			// volatile: stores to memory never read are otherwise dropped
			volatile char *p = static_cast<char *>(std::malloc(1 << 20));
			for (int i = 0; p && i < (1 << 20); i += 4096)
				p[i] = 1;
		}
	}
	if (mode == "silent")
		return 0;
	if (mode == "wrong") {
		std::fputs("oll korrekt.", stdout);
		return 0;
	}
	if (mode == "fail") {
		std::fputs("Reading a new var should return EOF\n", stderr);
		return 1;
	}
	if (mode == "forge") {
		std::fputs("<LAVA_SIGNAL_TESTCASE TEST_CASE_ID=injected RESULT=pass>\n", stderr);
		return 1;
	}
	if (mode == "exit3")
		return 3;
	if (mode == "abort") {
		std::fputs("x.cpp:7: void f(): assertion \"a || !\"b\"\" failed\n", stderr);
		std::fflush(stderr);
		std::abort();
	}
	if (mode == "flood") {
		std::string line(99, 'x');
		for (int i = 0; i < 200; i++)
			std::fprintf(stderr, "%s\n", line.c_str());
		std::fflush(stderr);
		std::abort();
	}
	if (mode == "grandchild")
		SleepingChild(false);
	if (mode == "orphan") {
		// Passes, leaving a child in its process group that holds nothing.
		if (fork() == 0) {
			for (int fd = 0; fd < 3; fd++)
				close(fd);
			if (FILE *f = std::fopen(std::getenv("STANDIN_LOG"), "a")) {
				std::fprintf(f, "child pid=%d\n", HostPid());
				std::fclose(f);
			}
			sleep(3600);
			_exit(0);
		}
		usleep(100000);
		std::fputs("oll korrekt.\n", stdout);
		return 0;
	}
	if (mode == "setsid") {
		SleepingChild(true);
		std::fputs("oll korrekt.\n", stdout);
		return 0;
	}
	if (mode == "hang" || mode == "grandchild") {
		sleep(3600);
		return 0;
	}
	std::fprintf(stderr, "standin: unknown mode %s\n", mode.c_str());
	return 99;
}
