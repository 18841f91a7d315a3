// SPDX-License-Identifier: GPL-2.0-only
// The static programs on Debian's arm64 kernels, booted under qemu-system:
// 4 KiB pages, whose statm leaves huge pages out, and 16 KiB pages, whose
// verdicts are XFAILs of the check's design. run_checks' KTAP from inside
// each guest must agree with the guest's own measurement of how its kernel
// accounts memory in statm.
#include "support/guest_kernel.h"
#include "support/run.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace checks
{
namespace
{

class Arm64Kernel : public GuestKernel
{
      protected:
	Guest Boot(const std::string &kernel, const std::string &cpu, const std::string &args = "")
	{
		skipped_ = ARM64_MISSING;
		std::string images = CacheDir("ARM64_IMAGES", ARM64_IMAGES);
		// ARM64_BIN_DIR in the environment: another build (musl's).
		return GuestKernel::Boot("arm64", images + "/" + kernel, cpu,
					 CacheDir("ARM64_BIN_DIR", ARM64_BIN_DIR),
					 images + "/busybox", args);
	}
};

// 4 KiB pages, huge pages left out of statm: the growth check fails at the
// third probe, the first huge-page one.
// Linaro's kselftest.sh runs the arm64 kselftest archive here too (once: not
// again for another build's programs).
TEST_F(Arm64Kernel, FourKibKernelFailsGrowthAtThirdProbe)
{
	if (!getenv("ARM64_BIN_DIR"))
		linaro_archive_ = ARM64_KSELFTEST_ARCHIVE;
	Guest g = Boot("vmlinuz-4k", "cortex-a57");
	if (!skipped_.empty())
		GTEST_SKIP() << skipped_;
	EXPECT_EQ(g.probe["page_size"], 4096);
	EXPECT_EQ(FirstFailingProbe(g), 3) << g.marks["PROBE"];
	ExpectVerdictsMatchMeasurement(g);
	if (!linaro_archive_.empty())
		ExpectLinaroResults(g);
}

// 16 KiB pages with 2 MiB default huge pages: statm counts 16 KiB pages, the
// check scales them by 4096, so 16 MiB shows as 4 MiB and the growth check
// fails at the first probe: the check's design, an XFAIL.
TEST_F(Arm64Kernel, SixteenKibKernelFailsGrowthAtFirstProbeAsExpected)
{
	Guest g = Boot("vmlinuz-16k", "max,pauth=off", "default_hugepagesz=2M");
	if (!skipped_.empty())
		GTEST_SKIP() << skipped_;
	EXPECT_EQ(g.probe["page_size"], 16384);
	EXPECT_EQ(g.probe["huge_kib"], 2048);
	EXPECT_EQ(g.probe["anon"], kLength / 4) << g.marks["PROBE"];
	ExpectVerdictsMatchMeasurement(g);
	EXPECT_EQ(g.marks["STATUS"], "0") << "an expected failure does not fail the run";
}

// The same kernel as it boots: its default huge page is 32 MiB, so the
// hugetlbfs scratch file cannot be sized to 16 MiB and open_file's "!err"
// check fails before any probe: an XFAIL that blames no probe.
TEST_F(Arm64Kernel, SixteenKibKernelWith32MibHugePagesCannotSizeTheScratchFile)
{
	Guest g = Boot("vmlinuz-16k", "max,pauth=off");
	if (!skipped_.empty())
		GTEST_SKIP() << skipped_;
	EXPECT_EQ(g.probe["huge_kib"], 32768);
	EXPECT_EQ(g.probe["truncate_ok"], 0);
	ExpectVerdictsMatchMeasurement(g);
}

} // namespace
} // namespace checks
