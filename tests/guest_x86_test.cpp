// SPDX-License-Identifier: GPL-2.0-only
// The static programs on x86-64 kernels booted under qemu-system: kernels
// built here from Debian's linux-source (6.1 and 6.12) as they come and with
// a patch that counts huge pages in statm (the positive control: the one
// kernel on which the check must pass), and Debian's amd64 kernel; the RSS
// counters' lag on many CPUs, and a kernel that leaks RSS counts. run_checks'
// KTAP from inside each guest must agree with the guest's own measurement.
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

using testing::Contains;
using testing::ContainsRegex;
using testing::Each;

// lpj and a trusted TSC spare each CPU's calibration: under TCG many CPUs
// would take minutes to come up.
const std::string kFastCpus = "lpj=4000000 tsc=reliable";
// The guests that show the counters' lag: the fewest CPUs whose batch,
// 2 x CPUs, leaves more than 64 pages of 16 MiB unfolded (see below).
constexpr int kManyCpus = 38;

class X86Kernel : public GuestKernel
{
      protected:
	// Builds (or takes from the cache) a kernel of `flavour`.
	std::string Built(const std::string &flavour)
	{
		return BuiltKernel(flavour, skipped_);
	}

	Guest Boot(const std::string &kernel, const std::string &args = "", int cpus = 2)
	{
		if (skipped_.empty())
			skipped_ = X86_MISSING;
		return GuestKernel::Boot("x86_64", kernel, "max", X86_BIN_DIR,
					 Images() + "/busybox", args, cpus);
	}

	std::string Images()
	{
		return CacheDir("X86_IMAGES", X86_IMAGES);
	}

	// A stock kernel keeps huge pages out of statm: the third probe. The
	// patched image with its switches off is the stock kernel (the
	// patches act only when the command line switches them on).
	void ExpectStockFailsAtThirdProbe(const std::string &flavour)
	{
		Guest g = Boot(Built(flavour));
		if (!skipped_.empty())
			GTEST_SKIP() << skipped_;
		EXPECT_EQ(FirstFailingProbe(g), 3) << g.marks["PROBE"];
		ExpectVerdictsMatchMeasurement(g);
	}
};

// The positive control: with hugetlb pages in the RSS counters, every probe
// passes, run after run.
TEST_F(X86Kernel, PatchedKernelCountingHugePagesPassesEveryProbe)
{
	Guest g = Boot(Built("patched"), "hugetlb_rss=1 checks.runs=20");
	if (!skipped_.empty())
		GTEST_SKIP() << skipped_;
	EXPECT_EQ(g.probe["huge"], kLength) << g.marks["PROBE"];
	ExpectVerdictsMatchMeasurement(g);
	EXPECT_EQ(Results(g.lists["KTAP"])[6], "ok 1 rss_map_check");
	ExpectRepeats(g, 20);
	EXPECT_THAT(ExpectLagVerdicts(g, 20, 0), Each(0L)) << "SMP off: no counter cached";
}

TEST_F(X86Kernel, StockKernelFailsGrowthAtThirdProbe)
{
	ExpectStockFailsAtThirdProbe("patched");
}

// The 6.12 LTS positive control, SMP, on as many CPUs as the lag test below
// with one of them kept busy: task_statm reads the counters' exact sum, so
// statm is never a page off, run after run, where the same image reading the
// approximate value is 68 pages off or more.
TEST_F(X86Kernel, Lts612PatchedKernelPassesEveryProbeAndStatmIsExactOnBusyCpus)
{
	Guest g = Boot(Built("patched-6.12"),
		       "hugetlb_rss=1 checks.runs=10 checks.busy=1 " + kFastCpus, kManyCpus);
	if (!skipped_.empty())
		GTEST_SKIP() << skipped_;
	EXPECT_EQ(g.marks["CPUS"], std::to_string(kManyCpus));
	EXPECT_EQ(g.probe["huge"], kLength) << g.marks["PROBE"];
	ExpectVerdictsMatchMeasurement(g);
	EXPECT_EQ(Results(g.lists["KTAP"])[6], "ok 1 rss_map_check");
	ExpectRepeats(g, 10);
	std::vector<long> errors = ExpectLagVerdicts(g, 10, 0);
	EXPECT_THAT(errors, Each(0L)) << "the exact sum";
}

TEST_F(X86Kernel, Lts612StockKernelFailsGrowthAtThirdProbe)
{
	ExpectStockFailsAtThirdProbe("patched-6.12");
}

// Debian's own 6.1 kernel, SMP: each task caches up to 64 counter events,
// whatever the number of CPUs, so statm lags by as many pages, at most a page
// past the check's tolerance: an XFAIL where it is past. Still the third
// probe otherwise. Two CPUs, one kept busy, are enough to show it (measured:
// 58 pages short in each of 10 runs, 36 s for the whole guest).
TEST_F(X86Kernel, DebianKernelFailsGrowthAtThirdProbe)
{
	linaro_archive_ = X86_KSELFTEST_ARCHIVE;
	Guest g =
	    Boot(Images() + "/vmlinuz-debian", "checks.runs=10 checks.busy=1 " + kFastCpus, 2);
	if (!skipped_.empty())
		GTEST_SKIP() << skipped_;
	EXPECT_EQ(FirstFailingProbe(g), 3) << g.marks["PROBE"];
	ExpectVerdictsMatchMeasurement(g);
	ExpectLinaroResults(g);
	std::vector<long> errors = ExpectLagVerdicts(g, 10, 64);
	EXPECT_THAT(errors, Each(testing::AllOf(testing::Le(0L), testing::Ge(-64L))));
	for (const std::string &line : g.lists["REPEAT"]) {
		if (line.find(" 1 rss_map_check") != std::string::npos) {
			EXPECT_THAT(line, testing::AnyOf("not ok 1 rss_map_check",
							 testing::StartsWith("ok 1 rss_map_check # "
									     "XFAIL statm lags")));
		}
	}
}

// 6.12 with statm read from the RSS counters' approximate value
// (statm_approximate=1), as kernels from 6.2 read it until the exact sum:
// each CPU may hold up to max(32, 2 x CPUs) pages of a counter unfolded. The
// shared-memory counter starts at 0, so 16 MiB mapped one page at a time
// leaves 4096 mod 2 x CPUs pages unfolded on one CPU, and as many plus a
// multiple of the batch however the check moves between CPUs, while the page
// tables hold exactly 16 MiB. Measured: 36 CPUs leave exactly 64 pages, the
// edge of the check's tolerance; 37 leave 26, so a run's verdict depends on
// where the check ran (2 of 4 runs reached the third probe); 38 leave 68 in
// every run, in a guest of 20 s (80 CPUs took minutes to boot under TCG).
// The runner tells that lag apart as an XFAIL with its figures and bound, run
// after run with a CPU kept busy; --strict keeps it a failure.
TEST_F(X86Kernel, ManyCpusLagPastTheToleranceIsAnXfailWithItsBound)
{
	Guest g = Boot(Built("patched-6.12"),
		       "statm_approximate=1 checks.runs=5 checks.busy=1 " + kFastCpus, kManyCpus);
	if (!skipped_.empty())
		GTEST_SKIP() << skipped_;
	EXPECT_EQ(g.marks["CPUS"], std::to_string(kManyCpus));
	const std::string n = std::to_string(kManyCpus);
	const std::string lag = "statm lags the page tables: it moved [+-][0-9]+ pages where "
				"smaps_rollup's Rss moved [+-][0-9]+ kB, a miss of [0-9]+ pages "
				"within the " +
				std::to_string(2 * kManyCpus * kManyCpus) +
				" the kernel's counters may lag \\(from 6.2: max\\(32, 2 x " + n +
				" CPUs\\) per CPU, " + n + " CPUs\\)";
	std::vector<std::string> results = Results(g.lists["KTAP"]);
	EXPECT_THAT(results, Contains(ContainsRegex("^  ok [12] (anonymous|shm_file) # XFAIL " +
						    lag + "$")));
	EXPECT_THAT(results, Contains(ContainsRegex("^ok 1 rss_map_check # XFAIL " + lag + "$")));
	EXPECT_EQ(g.marks["STATUS"], "0");
	EXPECT_THAT(g.lists["STRICT"], Contains("not ok 1 rss_map_check"));
	EXPECT_EQ(g.marks["STRICT_STATUS"], "1");
	std::vector<std::string> parents;
	for (const std::string &line : g.lists["REPEAT"])
		if (line.find(" 1 rss_map_check") != std::string::npos)
			parents.push_back(line);
	EXPECT_EQ(parents.size(), 5u);
	EXPECT_THAT(parents, Each(ContainsRegex("^ok 1 rss_map_check # XFAIL " + lag + "$")));
	ExpectLagVerdicts(g, 5, 2 * kManyCpus * kManyCpus);
	EXPECT_EQ(g.marks["NR_HUGEPAGES"], "0");
}

// The same image with hugetlb_rss_leak=1: huge pages counted into the RSS
// counters and never out. statm keeps them after munmap (the shrink check
// fails at the first huge-page probe) and the kernel says so itself when the
// check's mm is torn down: the runner quotes the kernel's own log line.
TEST_F(X86Kernel, AKernelThatLeaksRssCountsSaysSoAndTheRunnerQuotesIt)
{
	Guest g = Boot(Built("patched-6.12"), "hugetlb_rss_leak=1");
	if (!skipped_.empty())
		GTEST_SKIP() << skipped_;
	std::vector<std::string> &ktap = g.lists["KTAP"];
	EXPECT_THAT(ktap, Contains("  not ok 3 anonymous_hugetlb"));
	EXPECT_THAT(ktap, Contains(ContainsRegex("^# kernel log: BUG: Bad rss-counter state "
						 "mm:[0-9a-f]+ type:MM_FILEPAGES val:[0-9]+$")));
	EXPECT_THAT(ktap, Contains("not ok 1 rss_map_check"));
	EXPECT_EQ(g.marks["STATUS"], "1");
	EXPECT_EQ(g.marks["NR_HUGEPAGES"], "0");
}

} // namespace
} // namespace checks
