// SPDX-License-Identifier: GPL-2.0-only
// A test guest's own view of its kernel, taken apart from the checks, so
// that the tests can tell what verdict run_checks must give there.
//
//   guest_probe measure      page size, huge page size, whether a hugetlbfs
//                            file can be sized to 16 MiB, and the statm growth
//                            (statm pages times 4096, as the check counts) of
//                            populated 16 MiB mappings of anonymous memory, a
//                            /dev/shm file and anonymous huge pages (-1: the
//                            mapping failed)
//   guest_probe trace PROG   runs PROG under ptrace and counts its 16 MiB
//                            mmap calls, which tells the probe it died in
//
// Each prints one "@@" marker line for the serial console.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <elf.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/ptrace.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <sys/user.h>
#include <sys/wait.h>
#include <unistd.h>

namespace
{

constexpr size_t kLength = 16 << 20;

long long ResidentBytes()
{
	char buf[256] = {};
	int fd = open("/proc/self/statm", O_RDONLY);
	ssize_t n = read(fd, buf, sizeof(buf) - 1);
	close(fd);
	const char *space = n > 0 ? strchr(buf, ' ') : nullptr;
	return space ? atoll(space + 1) * 4096 : -1;
}

long long Growth(int fd, int flags)
{
	long long before = ResidentBytes();
	void *p = mmap(nullptr, kLength, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_POPULATE | flags,
		       fd, 0);
	if (p == MAP_FAILED)
		return -1;
	long long grown = ResidentBytes() - before;
	munmap(p, kLength);
	return grown;
}

void WriteText(const char *path, const char *text)
{
	int fd = open(path, O_WRONLY);
	if (fd >= 0) {
		ssize_t n = write(fd, text, strlen(text));
		(void)n;
		close(fd);
	}
}

long HugePageKib()
{
	char text[4096] = {};
	int fd = open("/proc/meminfo", O_RDONLY);
	ssize_t n = read(fd, text, sizeof(text) - 1);
	close(fd);
	const char *at = n > 0 ? strstr(text, "Hugepagesize:") : nullptr;
	return at ? atol(at + 13) : -1;
}

// Can a file on a fresh hugetlbfs be sized to 16 MiB?
int HugetlbfsTakes16MiB()
{
	mkdir("/tmp/probe-huge", 0700);
	if (mount("none", "/tmp/probe-huge", "hugetlbfs", 0, nullptr) != 0)
		return -1;
	int fd = open("/tmp/probe-huge/f", O_CREAT | O_RDWR, 0600);
	int ok = fd >= 0 && ftruncate(fd, kLength) == 0;
	close(fd);
	unlink("/tmp/probe-huge/f");
	umount("/tmp/probe-huge");
	return ok;
}

int Measure()
{
	Growth(-1, MAP_ANONYMOUS); // the first run faults in this code: not counted
	long long anon = Growth(-1, MAP_ANONYMOUS);
	int shm = open("/dev/shm/guest_probe", O_CREAT | O_RDWR | O_TRUNC, 0600);
	unlink("/dev/shm/guest_probe");
	long long shm_growth = shm >= 0 && ftruncate(shm, kLength) == 0 ? Growth(shm, 0) : -1;
	WriteText("/proc/sys/vm/nr_hugepages", "16");
	long long huge = Growth(-1, MAP_ANONYMOUS | MAP_HUGETLB);
	WriteText("/proc/sys/vm/nr_hugepages", "0");
	printf("@@PROBE page_size=%ld huge_kib=%ld truncate_ok=%d anon=%lld shm=%lld huge=%lld\n",
	       sysconf(_SC_PAGESIZE), HugePageKib(), HugetlbfsTakes16MiB(), anon, shm_growth, huge);
	return 0;
}

int Trace(char *prog)
{
	pid_t pid = fork();
	if (pid == 0) {
		ptrace(PTRACE_TRACEME, 0, nullptr, nullptr);
		char *argv[] = {prog, nullptr};
		execv(prog, argv);
		_exit(127);
	}
	int status, mmaps = 0, entering = 1, sig = 0;
	waitpid(pid, &status, 0); // stopped at exec
	ptrace(PTRACE_SETOPTIONS, pid, nullptr, PTRACE_O_TRACESYSGOOD);
	for (;;) {
		ptrace(PTRACE_SYSCALL, pid, nullptr, sig);
		sig = 0;
		if (waitpid(pid, &status, 0) < 0 || WIFEXITED(status) || WIFSIGNALED(status))
			break;
		if (WSTOPSIG(status) != (SIGTRAP | 0x80)) {
			sig = WSTOPSIG(status); // a signal for the program: pass it on
			continue;
		}
		if (entering) {
			user_regs_struct regs;
			iovec io = {&regs, sizeof(regs)};
			ptrace(PTRACE_GETREGSET, pid, NT_PRSTATUS, &io);
#if defined(__x86_64__)
			if (regs.orig_rax == __NR_mmap && regs.rsi == kLength)
				mmaps++;
#else
			if (regs.regs[8] == __NR_mmap && regs.regs[1] == kLength)
				mmaps++;
#endif
		}
		entering = !entering;
	}
	printf("@@TRACE mmaps=%d exit=%d signal=%d\n", mmaps,
	       WIFEXITED(status) ? WEXITSTATUS(status) : -1,
	       WIFSIGNALED(status) ? WTERMSIG(status) : 0);
	return 0;
}

} // namespace

int main(int argc, char **argv)
{
	if (argc == 2 && !strcmp(argv[1], "measure"))
		return Measure();
	if (argc == 3 && !strcmp(argv[1], "trace"))
		return Trace(argv[2]);
	fprintf(stderr, "usage: guest_probe measure | trace PROGRAM\n");
	return 2;
}
