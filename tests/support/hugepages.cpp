#include "hugepages.h"

#include "run.h"

#include <cstdlib>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

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

} // namespace checks
