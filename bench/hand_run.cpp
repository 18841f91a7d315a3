// SPDX-License-Identifier: GPL-2.0-only
// hand_run: the two checks as a tester would run them by hand, with the
// preparation run_checks makes and nothing more: a mount namespace of their
// own with a tmpfs at /dev/shm and a hugetlbfs at /hugepages, the 100 huge
// pages reserved and the count put back, a fresh directory for the new file
// and its removal. The baseline of the runner's benchmark.
//
// usage: hand_run BIN_DIR (as root)
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sched.h>
#include <string>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace
{

int Run(const std::string &program, const char *arg, const char *dir)
{
	pid_t pid = fork();
	if (pid == 0) {
		int null = open("/dev/null", O_WRONLY);
		dup2(null, 1);
		dup2(null, 2);
		if (dir && chdir(dir) != 0)
			_exit(127);
		execl(program.c_str(), program.c_str(), arg, nullptr);
		_exit(127);
	}
	int status = 0;
	waitpid(pid, &status, 0);
	return status;
}

std::string ReadCount()
{
	char text[32] = "";
	FILE *f = fopen("/proc/sys/vm/nr_hugepages", "r");
	if (f && !fgets(text, sizeof(text), f))
		text[0] = '\0';
	if (f)
		fclose(f);
	return text;
}

void WriteCount(const std::string &count)
{
	if (FILE *f = fopen("/proc/sys/vm/nr_hugepages", "w")) {
		fputs(count.c_str(), f);
		fclose(f);
	}
}

} // namespace

int main(int argc, char **argv)
{
	if (argc != 2) {
		fprintf(stderr, "usage: %s BIN_DIR\n", argv[0]);
		return 2;
	}
	std::string bin = argv[1];
	if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr))
		return 2;
	bool made = mkdir("/hugepages", 0755) == 0;
	mount("tmpfs", "/dev/shm", "tmpfs", MS_NOSUID | MS_NODEV, "mode=1777,size=64m");
	mount("none", "/hugepages", "hugetlbfs", MS_NOSUID | MS_NODEV, nullptr);
	std::string saved = ReadCount();
	WriteCount("100");
	Run(bin + "/rss_map_check", nullptr, nullptr);
	WriteCount(saved);
	umount("/hugepages");
	if (made)
		rmdir("/hugepages");

	char dir[] = "/tmp/hand_run.XXXXXX";
	if (!mkdtemp(dir))
		return 2;
	int status = Run(bin + "/new_file_read_check", "new_file", dir);
	unlink((std::string(dir) + "/new_file").c_str());
	rmdir(dir);
	return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}
