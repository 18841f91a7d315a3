// SPDX-License-Identifier: GPL-2.0-only
#include "hugepages.h"

#include "run.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <sstream>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace checks
{

namespace
{
constexpr long kHugetlbfsMagic = 0x958458f6;
}

long ReadHugePageCount()
{
	std::string text = ReadFile(kNrHugepages);
	return text.empty() ? -1 : std::strtol(text.c_str(), nullptr, 10);
}

bool IsHugetlbfs(const std::string &path)
{
	struct statfs fs;
	return statfs(path.c_str(), &fs) == 0 && static_cast<long>(fs.f_type) == kHugetlbfsMagic;
}

int KernelCountsHugePagesInStatm()
{
	auto resident = [] {
		std::string statm = ReadFile("/proc/self/statm");
		return std::stoull(statm.substr(statm.find(' ') + 1)) * 4096;
	};
	const size_t len = 16 << 20;
	unsigned long long before = resident();
	void *p = mmap(nullptr, len, PROT_READ | PROT_WRITE,
		       MAP_PRIVATE | MAP_ANONYMOUS | MAP_HUGETLB | MAP_POPULATE, -1, 0);
	if (p == MAP_FAILED)
		return -1;
	unsigned long long grown = resident() - before;
	munmap(p, len);
	return grown >= len / 2 ? 1 : 0;
}

std::string HugePageSystem::Prepare()
{
	if (geteuid() != 0)
		return "needs root: mounts hugetlbfs at /hugepages and writes " +
		       std::string(kNrHugepages);
	if (ReadFile("/proc/filesystems").find("\thugetlbfs\n") == std::string::npos)
		return "this kernel has no hugetlbfs";
	saved_ = ReadHugePageCount();
	if (saved_ < 0)
		return std::string(kNrHugepages) + " cannot be read";
	if (!IsHugetlbfs("/hugepages")) {
		if (mkdir("/hugepages", 0755) == 0)
			created_dir_ = true;
		if (mount("none", "/hugepages", "hugetlbfs", 0, nullptr) != 0)
			return "cannot mount hugetlbfs at /hugepages";
		mounted_ = true;
	}
	return "";
}

void HugePageSystem::SetCount(long pages)
{
	WriteFile(kNrHugepages, std::to_string(pages) + "\n");
}

HugePageSystem::~HugePageSystem()
{
	if (saved_ >= 0)
		SetCount(saved_);
	if (mounted_)
		umount("/hugepages");
	if (created_dir_)
		rmdir("/hugepages");
}

// The hugetlbfs mounted at /hugepages as mount(2) takes it back: the
// mount's own flags and the filesystem's options, from mountinfo ("rw" and
// "relatime" are flags there; hugetlbfs refuses them as options).
static HugetlbfsMount MountedAtHugepages()
{
	std::istringstream info(ReadFile("/proc/self/mountinfo"));
	HugetlbfsMount found;
	for (std::string line; std::getline(info, line);) {
		std::istringstream fields(line);
		std::string id, parent, dev, root, point, mount_opts, word;
		fields >> id >> parent >> dev >> root >> point >> mount_opts;
		while (fields >> word && word != "-") {
		}
		std::string type, source, super_opts;
		fields >> type >> source >> super_opts;
		if (point != "/hugepages" || type != "hugetlbfs")
			continue;
		found = HugetlbfsMount{true, 0, "", source};
		std::istringstream flags(mount_opts);
		for (std::string f; std::getline(flags, f, ',');) {
			static const std::pair<const char *, unsigned long> known[] = {
			    {"ro", MS_RDONLY},	      {"nosuid", MS_NOSUID},
			    {"nodev", MS_NODEV},      {"noexec", MS_NOEXEC},
			    {"noatime", MS_NOATIME},  {"nodiratime", MS_NODIRATIME},
			    {"relatime", MS_RELATIME}};
			for (const auto &[name, bit] : known)
				if (f == name)
					found.flags |= bit;
		}
		std::istringstream opts(super_opts);
		for (std::string o; std::getline(opts, o, ',');)
			if (o != "rw" && o != "ro")
				found.data += (found.data.empty() ? "" : ",") + o;
	}
	return found;
}

std::string HugetlbfsMountLine()
{
	std::istringstream info(ReadFile("/proc/self/mountinfo"));
	std::string last;
	for (std::string line; std::getline(info, line);)
		if (line.find(" /hugepages ") != std::string::npos)
			last = line.substr(line.find(' ', line.find(' ') + 1) + 1); // no ids
	return last;
}

std::string OwnStartState::Set()
{
	if (geteuid() != 0)
		return "needs root: sets the huge-page count and removes /hugepages";
	if (ReadFile("/proc/filesystems").find("\thugetlbfs\n") == std::string::npos)
		return "this kernel has no hugetlbfs";
	saved_ = ReadHugePageCount();
	if (IsHugetlbfs("/hugepages")) {
		mount_ = MountedAtHugepages();
		if (umount("/hugepages") != 0)
			return "cannot unmount the hugetlbfs at /hugepages";
	}
	if (Exists("/hugepages")) {
		if (rmdir("/hugepages") != 0)
			return "/hugepages is not an empty directory";
		had_dir_ = true;
	}
	HugePageSystem().SetCount(3);
	return ReadHugePageCount() == 3 ? "" : "the kernel did not take a count of 3";
}

OwnStartState::~OwnStartState()
{
	if (saved_ < 0)
		return;
	HugePageSystem().SetCount(saved_);
	if (had_dir_ || mount_.mounted)
		mkdir("/hugepages", 0755);
	if (mount_.mounted)
		mount(mount_.source.c_str(), "/hugepages", "hugetlbfs", mount_.flags,
		      mount_.data.c_str());
}

HugePageHolder::HugePageHolder(long pages)
{
	int ready[2];
	if (pipe(ready) != 0)
		return;
	pid_ = fork();
	if (pid_ == 0) {
		long page = 0;
		std::istringstream(
		    ReadFile("/proc/meminfo")
			.substr(ReadFile("/proc/meminfo").find("Hugepagesize:") + 13)) >>
		    page;
		size_t length = static_cast<size_t>(pages * page * 1024);
		void *p =
		    length ? mmap(nullptr, length, PROT_READ | PROT_WRITE,
				  MAP_PRIVATE | MAP_ANONYMOUS | MAP_HUGETLB | MAP_POPULATE, -1, 0)
			   : nullptr;
		char ok = p != MAP_FAILED ? 1 : 0;
		if (write(ready[1], &ok, 1) != 1)
			_exit(1);
		pause();
		_exit(0);
	}
	close(ready[1]);
	char ok = 0;
	holding_ = pid_ > 0 && read(ready[0], &ok, 1) == 1 && ok;
	close(ready[0]);
}

HugePageHolder::~HugePageHolder()
{
	if (pid_ > 0) {
		kill(pid_, SIGKILL);
		waitpid(pid_, nullptr, 0);
	}
}

HugetlbCgroup::HugetlbCgroup(long limit_kb)
{
	for (const std::string &line : Lines(ReadFile("/proc/self/mountinfo"))) {
		std::istringstream fields(line);
		std::string skip, point;
		fields >> skip >> skip >> skip >> skip >> point;
		if (line.find(" - cgroup2 ") != std::string::npos)
			root_ = point;
	}
	if (root_.empty() ||
	    ReadFile(root_ + "/cgroup.controllers").find("hugetlb") == std::string::npos ||
	    ReadFile("/proc/meminfo").find("Hugepagesize:       2048 kB") == std::string::npos) {
		missing = "no hugetlb controller in cgroup v2 here, or huge pages not of 2 MiB";
		return;
	}
	// A child of the runner's cgroup gets the controller only where that
	// cgroup passes it on: in v2, the root alone (no processes elsewhere).
	std::vector<std::string> own = Lines(ReadFile("/proc/self/cgroup"));
	if (std::find(own.begin(), own.end(), "0::/") == own.end()) {
		missing = "this process is not in the root of the cgroup v2 hierarchy";
		return;
	}
	enabled_ = ReadFile(root_ + "/cgroup.subtree_control").find("hugetlb") == std::string::npos;
	if (enabled_)
		WriteFile(root_ + "/cgroup.subtree_control", "+hugetlb\n");
	if (ReadFile(root_ + "/cgroup.subtree_control").find("hugetlb") == std::string::npos) {
		enabled_ = false;
		missing = "cannot offer the hugetlb controller at " + root_;
		return;
	}
	if (limit_kb < 0)
		return;
	dir_ = root_ + "/run_checks_test." + std::to_string(getpid()) + ".hugetlb";
	if (mkdir(dir_.c_str(), 0755) != 0 || !Exists(dir_ + "/hugetlb.2MB.max")) {
		missing = "cannot make a hugetlb cgroup at " + dir_;
		return;
	}
	WriteFile(dir_ + "/hugetlb.2MB.max", std::to_string(limit_kb * 1024) + "\n");
}

HugetlbCgroup::~HugetlbCgroup()
{
	for (int i = 0; !dir_.empty() && i < 100 && rmdir(dir_.c_str()) != 0 && errno == EBUSY; ++i)
		usleep(10000);
	if (enabled_)
		WriteFile(root_ + "/cgroup.subtree_control", "-hugetlb\n");
}

} // namespace checks
