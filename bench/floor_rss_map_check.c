// The floor for rss_map_check: the same system calls in the same order, and
// nothing else. No checks, no parsing, no formatting; the one line it prints
// goes out the same way (stdio), so that the output costs the same.
//
// floor_rss_map_check [N]: stop as the check does when its growth check fails
// at probe N (one write to fd 2, then abort), so that both sides can be run
// to where a kernel's verdict stops the check.
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>

#define LENGTH 0x1000000

static char buf[4096];
static int probes, stop_at;

static void read_rss(void)
{
	int fd = open("/proc/self/statm", O_RDONLY);
	if (read(fd, buf, sizeof(buf) - 1)) {
	}
	close(fd);
}

static void probe(int fd, int extra, int release)
{
	read_rss();
	void *p =
	    mmap(NULL, LENGTH, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_POPULATE | extra, fd, 0);
	read_rss();
	if (++probes == stop_at) {
		static const char report[] = "rss didn't grow as expected\n";
		if (write(2, report, sizeof(report) - 1)) {
		}
		abort();
	}
	if (!release)
		return;
	munmap(p, LENGTH);
	read_rss();
}

static int open_file(const char *path)
{
	unlink(path);
	int fd = open(path, O_CREAT | O_RDWR | O_TRUNC | O_EXCL | O_LARGEFILE | O_CLOEXEC, 0600);
	unlink(path);
	if (ftruncate(fd, LENGTH)) {
	}
	return fd;
}

int main(int argc, char **argv)
{
	stop_at = argc > 1 ? atoi(argv[1]) : 0;
	int shm = open_file("/dev/shm/hugetlbhog");
	int huge = open_file("/hugepages/hugetlbhog");
	if (system("echo 100 > /proc/sys/vm/nr_hugepages")) {
	}
	probe(-1, MAP_ANONYMOUS, 1);
	probe(shm, 0, 1);
	probe(-1, MAP_ANONYMOUS | MAP_HUGETLB, 1);
	probe(huge, 0, 1);
	probe(huge, MAP_HUGETLB, 1);
	probe(-1, MAP_ANONYMOUS | MAP_HUGETLB, 0);
	printf("oll korrekt.\n");
	return 0;
}
