// SPDX-License-Identifier: GPL-2.0-only
// rss_map_check: does the kernel count pre-populated mappings in the resident set that
// /proc/self/statm reports? Maps 16 MiB six ways (anonymous, a shared-memory file, anonymous
// huge pages, a hugetlbfs file with and without MAP_HUGETLB); growth and shrink within 256 KiB.
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

typedef unsigned long long u64;

static const u64 length = 0x1000000;

// One line in one write() straight to fd 2, so that the report survives
// whatever stdio holds and never interleaves with another writer's output.
[[noreturn]] static void check_failed(const char *file, int line, const char *func,
				      const char *expr)
{
	char report[1024];
	int n = snprintf(report, sizeof(report), "%s:%d: %s: assertion \"%s\" failed\n", file, line,
			 func, expr);
	if (n < 0 || n >= (int)sizeof(report))
		n = (int)sizeof(report) - 1;
	ssize_t written = write(2, report, (size_t)n);
	(void)written;
	abort();
}

// The report names the function by the fixed text in `func`, which each
// function declares (like __func__, but in the form logs expect), and the
// condition by its source text. Keep each check on one line: the report
// carries the line it stands on.
#define CHECK(cond) ((cond) ? (void)0 : check_failed(__FILE_NAME__, __LINE__, func, #cond))

// strtoull(s, nullptr, 10) in the C locale, without the locale machinery
// that made it most of this program's own work: white space, then an optional
// sign, then digits; saturates on overflow; a minus sign negates.
static u64 decimal(const char *s)
{
	u64 value = 0;

	while (*s == ' ' || (*s >= '\t' && *s <= '\r'))
		s++;
	bool negative = *s == '-';
	if (*s == '-' || *s == '+')
		s++;
	for (; *s >= '0' && *s <= '9'; s++) {
		u64 digit = (u64)(*s - '0');
		if (value > (~0ULL - digit) / 10)
			return ~0ULL;
		value = value * 10 + digit;
	}
	return negative ? -value : value;
}

static u64 read_rss(void)
{
	static const char func[] = "u64 read_rss(void)";
	char buf[4096];

	int fd = open("/proc/self/statm", O_RDONLY);
	CHECK(fd > 2);
	// At most 4095 bytes, always followed by a zero byte; a failed or empty
	// read leaves an empty text. (Ending the text is all that zeroing the
	// whole buffer first would do, at 16 times 4 KiB of stores a run.)
	ssize_t n = read(fd, buf, sizeof(buf) - 1);
	buf[n > 0 ? n : 0] = '\0';
	close(fd);
	// The resident page count is the second field. An empty or failed read
	// leaves no space to step past: fail the check rather than crash.
	char *space = strchr(buf, ' ');
	CHECK(space || !"statm has no space before the resident field");
	return decimal(space + 1) << 12; // pages of 4096, whatever the real size
}

static void do_mmap(int fd, int extra, int release)
{
	static const char func[] = "void do_mmap(int, int, int)";
	int flags = MAP_PRIVATE | MAP_POPULATE | extra;

	u64 before = read_rss();
	void *p = mmap(nullptr, length, PROT_READ | PROT_WRITE, flags, fd, 0);
	CHECK(p != MAP_FAILED || !"mmap returned an unexpected error");
	u64 after = read_rss();
	// Unsigned differences read as signed: a drop shows as its own size.
	CHECK(llabs(after - before - length) < 0x40000 || !"rss didn't grow as expected");
	if (!release)
		return;
	int ret = munmap(p, length);
	CHECK(!ret || !"munmap returned an unexpected error");
	after = read_rss();
	CHECK(llabs(after - before) < 0x40000 || !"rss didn't shrink as expected");
}

// Creates `path` afresh, drops its name at once so that nothing is left behind
// whatever happens next, and sizes it to `length`.
static int open_file(const char *path)
{
	static const char func[] = "int open_file(const char *)";

	unlink(path);
	int fd = open(path, O_CREAT | O_RDWR | O_TRUNC | O_EXCL | O_LARGEFILE | O_CLOEXEC, 0600);
	CHECK(fd > 2);
	unlink(path);
	int err = ftruncate(fd, length);
	CHECK(!err);
	return fd;
}

int main()
{
	int shm_fd = open_file("/dev/shm/hugetlbhog");
	int huge_fd = open_file("/hugepages/hugetlbhog");

	// A refused request is not checked here: the huge-page probes fail on it.
	int status = system("echo 100 > /proc/sys/vm/nr_hugepages");
	(void)status;

	do_mmap(-1, MAP_ANONYMOUS, 1);
	do_mmap(shm_fd, 0, 1);
	do_mmap(-1, MAP_ANONYMOUS | MAP_HUGETLB, 1);
	do_mmap(huge_fd, 0, 1);
	do_mmap(huge_fd, MAP_HUGETLB, 1);
	do_mmap(-1, MAP_ANONYMOUS | MAP_HUGETLB, 0); // left for process exit to tear down

	printf("oll korrekt.\n");
	return 0;
}
