// Root-only set-up for runs that touch the real huge-page pool: a hugetlbfs at
// /hugepages and /proc/sys/vm/nr_hugepages, both put back as they were.
#pragma once

#include <string>

namespace checks
{

class HugePageSystem
{
      public:
	HugePageSystem() = default;
	~HugePageSystem(); // restores the count, unmounts and removes what Prepare made
	HugePageSystem(const HugePageSystem &) = delete;
	HugePageSystem &operator=(const HugePageSystem &) = delete;

	// Saves the huge-page count and mounts /hugepages if it is not a
	// hugetlbfs yet. Returns why the system cannot be prepared, or "".
	std::string Prepare();
	void SetCount(long pages);
	bool MountedHere() const
	{
		return mounted_;
	}

      private:
	long saved_ = -1;
	bool mounted_ = false;
	bool created_dir_ = false;
};

inline constexpr const char kNrHugepages[] = "/proc/sys/vm/nr_hugepages";

long ReadHugePageCount();
bool IsHugetlbfs(const std::string &path);

} // namespace checks
