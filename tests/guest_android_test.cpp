// SPDX-License-Identifier: GPL-2.0-only
// An Android userland on arm64 kernels, booted under qemu-system: the
// measured verdict with and without /bin/sh, the 16 KiB kernel's XFAIL, and
// a kernel without hugetlbfs, a skip that says so.
#include "support/guest_kernel.h"
#include "support/run.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <iostream>
#include <string>
#include <unistd.h>
#include <vector>

namespace checks
{
namespace
{

using testing::Contains;

// An Android userland on arm64 kernels (tests/guests/android-guest.sh): mksh as
// /system/bin/sh, toybox, /data/local/tmp owned by the shell user, /dev a
// tmpfs, no /run and no /tmp; the static musl programs pushed to
// /data/local/tmp and run from there, once with /bin linked to /system/bin
// and once with no /bin at all.
class AndroidGuest : public GuestKernel
{
      protected:
	Guest Boot(const std::string &kernel, const std::string &cpu, const std::string &args = "")
	{
		std::string images = CacheDir("ARM64_IMAGES", ARM64_IMAGES);
		std::string android = images + "/android", bin_dir = ARM64_MUSL_BIN_DIR;
		if (skipped_.empty())
			skipped_ = ARM64_MUSL_MISSING;
		if (skipped_.empty() && geteuid() != 0)
			skipped_ =
			    "needs root: the guest's files belong to the shell user, uid 2000";
		NeedAll("qemu-system-aarch64",
			{kernel, android + "/system/bin/toybox", bin_dir + "/run_checks"});
		if (!skipped_.empty())
			return {};
		TempDir tmp;
		Spawn s;
		s.argv = {ANDROID_GUEST_SCRIPT, kernel, cpu, bin_dir, android,
			  tmp / "serial.log",	args};
		Guest g = Run(s, tmp / "serial.log");
		std::cout << "@@BEGIN " << g.marks["BEGIN"] << "\n@@PROBE " << g.marks["PROBE"]
			  << "\n";
		for (const std::string round : {"bin", "nobin"}) {
			std::string ktap;
			for (const std::string &line : g.lists["KTAP." + round]) {
				std::cout << round << ": " << line << "\n";
				ktap += line + "\n";
			}
			for (const std::string &line : g.lists["BARE." + round])
				std::cout << round << ": bare rss_map_check: " << line << "\n";
			const std::string &status = g.marks["STATUS." + round];
			if (!ktap.empty() && !status.empty() &&
			    status.find_first_not_of("0123456789") == std::string::npos)
				KeepReport(ktap, std::stoi(status));
		}
		return g;
	}

	// Both rounds report `results` and `status`, leave the system as they
	// found it, and kept their state in root's /dev/kernel-checks (where the
	// kernel has hugetlbfs: `state`).
	void ExpectRounds(Guest &g, const std::vector<std::string> &results, int status, bool state)
	{
		EXPECT_THAT(g.marks["SH.bin"], testing::EndsWith(" /bin -> /system/bin"))
		    << "the first round has /bin/sh";
		EXPECT_THAT(g.marks["SH.nobin"], testing::HasSubstr("No such file"));
		for (const std::string round : {"bin", "nobin"}) {
			SCOPED_TRACE(round);
			EXPECT_EQ(Results(g.lists["KTAP." + round]), results);
			EXPECT_EQ(g.marks["STATUS." + round], std::to_string(status));
			EXPECT_EQ(g.marks["LEFT." + round], "nothing");
			EXPECT_EQ(g.marks["STATE." + round],
				  state ? "/dev/kernel-checks 700 0" : "");
		}
	}
};

// Debian's 4 KiB arm64 kernel: the verdict of the guest's own measurement
// (the third probe) in both rounds. Bare, the check reserves its huge pages
// through /bin/sh where there is one and runs to the same growth failure;
// without /bin/sh its system() runs nothing, no huge page is reserved and
// the third probe's mmap fails instead: a false verdict that run_checks,
// which reserves the pages itself, does not give.
TEST_F(AndroidGuest, Arm64KernelGivesTheMeasuredVerdictWithAndWithoutBinSh)
{
	Guest g = Boot(CacheDir("ARM64_IMAGES", ARM64_IMAGES) + "/vmlinuz-4k", "cortex-a57");
	if (!skipped_.empty())
		GTEST_SKIP() << skipped_;
	Expected e = FromMeasurement(g);
	ExpectRounds(g, e.results, e.status, true);
	EXPECT_EQ(g.marks["BARE_PAGES.bin"], "100");
	EXPECT_THAT(g.lists["BARE.bin"],
		    Contains(testing::HasSubstr("rss didn't grow as expected")));
	EXPECT_EQ(g.marks["BARE_PAGES.nobin"], "0");
	EXPECT_THAT(g.lists["BARE.nobin"],
		    Contains(testing::HasSubstr("mmap returned an unexpected error")));
}

// Debian's 16 KiB kernel with 2 MiB huge pages: the check's design (4 KiB
// pages counted) is an XFAIL at the first probe, in both rounds.
TEST_F(AndroidGuest, SixteenKibKernelIsAnXfailInBothRounds)
{
	Guest g = Boot(CacheDir("ARM64_IMAGES", ARM64_IMAGES) + "/vmlinuz-16k", "max,pauth=off",
		       "default_hugepagesz=2M");
	if (!skipped_.empty())
		GTEST_SKIP() << skipped_;
	Expected e = FromMeasurement(g);
	ExpectRounds(g, e.results, e.status, true);
}

// A kernel built without hugetlbfs, as Android's GKI kernels are: a skip
// that says so, and nothing touched.
TEST_F(AndroidGuest, KernelWithoutHugetlbfsIsASkipThatSaysSo)
{
	std::string kernel = BuiltKernel("nohugetlbfs", skipped_);
	Guest g = Boot(kernel, "cortex-a57");
	if (!skipped_.empty())
		GTEST_SKIP() << skipped_;
	EXPECT_EQ(g.probe["huge"], -1) << g.marks["PROBE"];
	ExpectRounds(
	    g,
	    {"ok 1 rss_map_check # SKIP the kernel has no hugetlbfs", "ok 2 new_file_read_check"},
	    0, false);
}

} // namespace
} // namespace checks
