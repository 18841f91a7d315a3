// SPDX-License-Identifier: GPL-2.0-only
// The check's /dev/shm and /hugepages in a mount namespace of its own: what
// others made of the machine's no longer matters and the machine's mount
// table stays as it was; without a namespace the machine's mounts serve; a
// system without /dev/shm gets a mount point that goes with the run.
#include "support/run.h"
#include "support/runner_bed.h"

#include <algorithm>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <string>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace checks
{
namespace
{

using testing::Contains;
using testing::HasSubstr;
using testing::MatchesRegex;

// The check's /dev/shm and /hugepages are its own: what others made of the
// machine's no longer matters. A read-only /proc/sys still stands in the way.
TEST_F(RunnerOnSystem, TheMachinesScratchPlacesNoLongerMatterButItsSysctlsDo)
{
	struct Case {
		const char *setup; // shell, in a private mount namespace
		const char *result;
	};
	for (
	    const Case &c : std::vector<Case>{
		{"mkdir /dev/shm/hugetlbhog", "ok 1 rss_map_check"},
		{"ln -s /etc/passwd /dev/shm/hugetlbhog", "ok 1 rss_map_check"},
		{"mount -t tmpfs -o size=8m none /dev/shm && head -c 8m /dev/zero > /dev/shm/f",
		 "ok 1 rss_map_check"},
		{"mkdir /hugepages && mount -t hugetlbfs -o ro none /hugepages",
		 "ok 1 rss_map_check"},
		{"mkdir /hugepages && mount -t hugetlbfs -o size=2M,nr_inodes=2 none /hugepages && "
		 "mkdir /hugepages/hugetlbhog",
		 "ok 1 rss_map_check"},
		{"mount --bind /proc/sys /proc/sys && mount -o remount,bind,ro /proc/sys",
		 "ok 1 rss_map_check # SKIP cannot write /proc/sys/vm/nr_hugepages: Read-only file "
		 "system"},
	    }) {
		SCOPED_TRACE(c.setup);
		std::remove(log_path().c_str());
		Spawn s = InPrivateMountNamespace(std::string(c.setup) + " && exec \"$0\"",
						  {bed_ / "run_checks"});
		s.env = RunnerSpawn().env;
		Result r = RunSpawn(s);
		rmdir("/dev/shm/hugetlbhog");
		unlink("/dev/shm/hugetlbhog");
		rmdir("/hugepages"); // made in the namespace, on the real root
		EXPECT_EQ(r.exit_code, 0) << Describe(r);
		EXPECT_THAT(Lines(r.out), Contains(c.result)) << r.out;
		EXPECT_EQ(SystemState(), before_);
	}
}

// While the check runs, the machine's mount table is as it was; the check
// sees its own hugetlbfs.
TEST_F(RunnerOnSystem, TheMachinesMountTableIsUnchangedWhileTheCheckRuns)
{
	std::string before = ReadFile("/proc/self/mountinfo"), during;
	RunAndAct(RunnerSpawn({}, {"STANDIN_rss_map_check=hang"}), 1, [&](pid_t runner) {
		during = ReadFile("/proc/self/mountinfo");
		kill(runner, SIGTERM);
	});
	EXPECT_EQ(during, before);
	EXPECT_THAT(ReadFile(log_path()), HasSubstr(" hugetlbfs=1 "));
	EXPECT_EQ(SystemState(), before_);
}

// Filled after the runner measured it, the machine's /dev/shm failed the
// check at its file: measured again after the check, that is a skip.
TEST_F(RunnerOnSystem, WithoutANamespaceADevShmFilledDuringTheCheckIsASkip)
{
	Spawn s = InPrivateMountNamespace(
	    "mount -t tmpfs -o size=17m none /dev/shm && mkdir -p /hugepages && "
	    "mount -t hugetlbfs none /hugepages && exec /usr/bin/setpriv "
	    "--bounding-set=-sys_admin --inh-caps=-sys_admin \"$0\"",
	    {bed_ / "run_checks"});
	s.env = RunnerSpawn({}, {"STANDIN_rss_map_check=fillshm"}).env;
	Result r = RunSpawn(s);
	rmdir("/hugepages"); // made in the namespace, on the real root
	EXPECT_THAT(Lines(r.out),
		    Contains(MatchesRegex("ok 1 rss_map_check # SKIP /dev/shm filled up while the "
					  "check ran: [0-9]+ kB free after it; its file needs "
					  "16384 kB")))
	    << r.out;
	EXPECT_EQ(SystemState(), before_);
}

// The namespace is private all the way down: a mount of the runner's under
// a shared one (here /dev/shm, shared in the test's own namespace) would
// otherwise show in the machine's table.
TEST_F(RunnerOnSystem, TheRunnersMountsNeverReachAMountSharedWithTheMachine)
{
	const std::string script =
	    "mount --make-shared /dev/shm || exit 9; "
	    "echo before $(grep -c ' /dev/shm ' /proc/self/mountinfo); \"$0\" & runner=$!; "
	    "i=0; while [ ! -s \"$STANDIN_LOG\" ] && [ $i -lt 400 ]; do sleep 0.05; "
	    "i=$((i + 1)); done; echo during $(grep -c ' /dev/shm ' /proc/self/mountinfo); "
	    "kill -TERM $runner; wait $runner";
	Spawn s = InPrivateMountNamespace(script, {bed_ / "run_checks"});
	s.env = RunnerSpawn({}, {"STANDIN_rss_map_check=hang"}).env;
	std::remove(log_path().c_str());
	Result r = RunSpawn(s);
	rmdir("/hugepages"); // made in the namespace, on the real root
	std::vector<std::string> out = Lines(r.out);
	ASSERT_THAT(out, Contains(testing::StartsWith("before "))) << r.out;
	std::string before = *std::find_if(out.begin(), out.end(), [](const std::string &l) {
		return l.rfind("before ", 0) == 0;
	});
	EXPECT_THAT(out, Contains("during " + before.substr(7))) << r.out;
	EXPECT_THAT(ReadFile(log_path()), HasSubstr(" hugetlbfs=1 "));
	EXPECT_EQ(SystemState(), before_);
}

// A namespace whose mounts cannot be made private is no namespace: its error
// is not let pass, and the machine's own places serve.
TEST_F(RunnerOnSystem, ANamespaceThatCannotBeMadePrivateIsLeftForTheMachinesPlaces)
{
	Result r = RunRunner({}, {std::string("LD_PRELOAD=") + FAULT_SHIM, "SHIM_FAIL_MOUNT=/"});
	EXPECT_THAT(Lines(r.out),
		    Contains("# no mount namespace for the check (private propagation: Invalid "
			     "argument): it uses the machine's /dev/shm and /hugepages"))
	    << r.out;
	EXPECT_THAT(Lines(r.out), Contains("ok 1 rss_map_check"));
	EXPECT_EQ(SystemState(), before_);
}

// Where no namespace can be had (no CAP_SYS_ADMIN, as in a container), the
// machine's own mounts serve, as one line says; a name another user planted
// there is a skip that names its owner.
TEST_F(RunnerOnSystem, WithoutANamespaceTheMachinesMountsServeAndPlantedNamesAreSkips)
{
	ASSERT_EQ(mkdir("/hugepages", 0755), 0);
	ASSERT_EQ(mount("none", "/hugepages", "hugetlbfs", 0, nullptr), 0);
	auto run = [&] {
		Spawn s = RunnerSpawn();
		s.argv.insert(s.argv.begin(), {"/usr/bin/setpriv", "--bounding-set=-sys_admin",
					       "--inh-caps=-sys_admin"});
		return Lines(RunSpawn(s).out);
	};
	std::vector<std::string> out = run();
	EXPECT_THAT(out, Contains("# no mount namespace for the check (unshare: Operation not "
				  "permitted): it uses the machine's /dev/shm and /hugepages"));
	EXPECT_THAT(out, Contains("ok 1 rss_map_check"));
	EXPECT_EQ(IsHugetlbfs("/hugepages"), true);
	ASSERT_EQ(mkdir("/dev/shm/hugetlbhog", 0755), 0);
	ASSERT_EQ(chown("/dev/shm/hugetlbhog", 65534, 65534), 0);
	out = run();
	rmdir("/dev/shm/hugetlbhog");
	EXPECT_THAT(out, Contains("ok 1 rss_map_check # SKIP /dev/shm/hugetlbhog exists and is "
				  "not a regular file (owner uid 65534)"));
	// Taken while the check runs, after the runner's last look: the failure
	// to open its file is the environment's, measured after the check.
	Spawn s = RunnerSpawn({}, {"STANDIN_rss_map_check=plant"});
	s.argv.insert(s.argv.begin(),
		      {"/usr/bin/setpriv", "--bounding-set=-sys_admin", "--inh-caps=-sys_admin"});
	out = Lines(RunSpawn(s).out);
	rmdir("/dev/shm/hugetlbhog");
	EXPECT_THAT(out,
		    Contains("ok 1 rss_map_check # SKIP /dev/shm/hugetlbhog exists and is "
			     "not a regular file (owner uid 65534), taken while the check ran"));
	umount("/hugepages");
	rmdir("/hugepages");
	EXPECT_EQ(SystemState(), before_);
}

// A system without /dev/shm (Android's /dev, a tmpfs of its own here): the
// run makes the mount point for the check's tmpfs and removes it after, and
// so does its guardian when the runner is killed.
TEST_F(RunnerOnSystem, WithoutDevShmTheRunMakesItsMountPointAndRemovesIt)
{
	const std::string android_dev =
	    "mount -t tmpfs -o mode=0755 none /dev && mknod -m 666 /dev/null c 1 3 && "
	    "mknod -m 666 /dev/zero c 1 5 && mknod -m 666 /dev/urandom c 1 9 && "
	    "mknod -m 600 /dev/kmsg c 1 11 && ";
	const std::string after = "; i=0; while [ -d /dev/shm ] && [ $i -lt 200 ]; do "
				  "sleep 0.05; i=$((i + 1)); done; ls /dev/shm 2>&1 | "
				  "sed 's/^/after: /'";
	struct Case {
		const char *what, *run, *mode;
		std::string result;
	} cases[] = {
	    {"a run", "\"$0\" \"$@\"", "pass", "ok 1 rss_map_check"},
	    {"a killed run", "\"$0\" \"$@\" & sleep 2; kill -9 $!", "hang", ""},
	};
	for (const Case &c : cases) {
		SCOPED_TRACE(c.what);
		Spawn s =
		    InPrivateMountNamespace(android_dev + c.run + after, {bed_ / "run_checks"});
		s.env = RunnerSpawn({}, {std::string("STANDIN_rss_map_check=") + c.mode}).env;
		Result r = RunSpawn(s);
		rmdir("/hugepages"); // made in the namespace, on the real root
		if (!c.result.empty()) {
			EXPECT_THAT(Lines(r.out), Contains(c.result)) << r.out;
			EXPECT_THAT(Lines(r.out),
				    Contains("# made /dev/shm, which this system lacks, for the "
					     "check's tmpfs"));
			EXPECT_THAT(r.out, HasSubstr(", removed /dev/shm\n"));
		}
		EXPECT_THAT(Lines(r.out),
			    Contains(HasSubstr("after: ls: cannot access '/dev/shm'")))
		    << r.out;
		for (int i = 0; i < 500 && !(SystemState() == before_); ++i)
			usleep(10000); // the guardian's count
		EXPECT_EQ(SystemState(), before_);
	}
	Result next = RunRunner();
	EXPECT_THAT(Lines(next.out), Contains(MatchesRegex("# run [0-9]+ ended without putting "
							   "back; its guardian did: .*removed "
							   "/dev/shm")));
}

} // namespace
} // namespace checks
