// SPDX-License-Identifier: GPL-2.0-only
// Root-only set-up for runs that touch the real huge-page pool: a hugetlbfs at
// /hugepages and /proc/sys/vm/nr_hugepages, both put back as they were.
#pragma once

#include <string>
#include <sys/types.h>

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

// A starting state of the test's own, unlike anything run_checks sets: a
// huge-page count of 3 and no /hugepages at all, so that a run that fails to
// put back the count, the mount or the directory shows. Whatever the machine
// had (a count, a mount with its options, the directory) is put back after.
struct HugetlbfsMount {
	bool mounted = false;
	unsigned long flags = 0; // MS_RDONLY, MS_NOSUID, ...
	std::string data;	 // "pagesize=2M,size=..."
	std::string source;
};

// The mountinfo line of what is mounted on top at /hugepages, without the
// mount's ids, or "".
std::string HugetlbfsMountLine();

class OwnStartState
{
      public:
	OwnStartState() = default;
	~OwnStartState();
	OwnStartState(const OwnStartState &) = delete;
	OwnStartState &operator=(const OwnStartState &) = delete;

	// Returns why the state cannot be set here, or "".
	std::string Set();

      private:
	long saved_ = -1;
	bool had_dir_ = false;
	HugetlbfsMount mount_; // a hugetlbfs that was mounted there
};

// The hugetlb controller offered at the root of the cgroup v2 hierarchy
// (enabled there for the test where it was not, and put back), and with a
// limit of `limit_kb` of 2 MiB pages (-1: none), a cgroup of the test's own
// under it, entered by a shell line. Where none can be had, why in `missing`.
class HugetlbCgroup
{
      public:
	explicit HugetlbCgroup(long limit_kb = -1);
	~HugetlbCgroup();
	HugetlbCgroup(const HugetlbCgroup &) = delete;
	HugetlbCgroup &operator=(const HugetlbCgroup &) = delete;
	std::string Enter() const
	{
		return "echo $$ > " + dir_ + "/cgroup.procs && ";
	}
	std::string missing;

      private:
	std::string root_, dir_;
	bool enabled_ = false;
};

// A process that holds `pages` default huge pages, mapped and populated,
// until it is destroyed.
class HugePageHolder
{
      public:
	explicit HugePageHolder(long pages);
	~HugePageHolder();
	HugePageHolder(const HugePageHolder &) = delete;
	HugePageHolder &operator=(const HugePageHolder &) = delete;
	bool holding() const
	{
		return holding_;
	}

      private:
	pid_t pid_ = -1;
	bool holding_ = false;
};

inline constexpr const char kNrHugepages[] = "/proc/sys/vm/nr_hugepages";

long ReadHugePageCount();
// Does this kernel count a populated huge-page mapping in statm's resident
// figure? Measured in this process, apart from the programs: 1 yes, 0 no,
// -1 unknown (no huge pages could be mapped).
int KernelCountsHugePagesInStatm();
bool IsHugetlbfs(const std::string &path);

} // namespace checks
