// SPDX-License-Identifier: GPL-2.0-only
// The static programs on real kernels booted under qemu-system: Debian's arm64
// kernels, and x86-64 kernels built here from Debian's linux-source-6.1 as it
// comes and with a patch that counts huge pages in statm (the positive
// control: the one kernel on which the check must pass), and Debian's amd64
// kernel. run_checks' KTAP from inside each guest must agree with the
// guest's own measurement of how its kernel accounts memory in statm.
#include "support/ktap.h"
#include "support/run.h"

#include <cstdlib>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <iostream>
#include <map>

namespace checks
{
namespace
{

using testing::Contains;
using testing::ContainsRegex;
using testing::Each;

constexpr char kGrow[] =
    "llabs(after - before - length) < 0x40000 || !\"rss didn't grow as expected\"";
constexpr long long kLength = 16 << 20;
// lpj and a trusted TSC spare each CPU's calibration: under TCG many CPUs
// would take minutes to come up.
const std::string kFastCpus = "lpj=4000000 tsc=reliable";
// The guests that show the counters' lag: the fewest CPUs whose batch,
// 2 x CPUs, leaves more than 64 pages of 16 MiB unfolded (see below).
constexpr int kManyCpus = 38;

std::string CacheDir(const char *var, const char *fallback)
{
	const char *dir = std::getenv(var);
	return dir && *dir ? dir : fallback;
}

// The kernel of `flavour` from tests/guests/tiny-kernel.sh, which the test
// kernels.FLAVOUR built before the guests (a test run alone builds it
// here). Sets `skipped` where it cannot be had: no source or compiler, or a
// build that failed, which kernels.FLAVOUR counts as the one failure.
std::string BuiltKernel(const std::string &flavour, std::string &skipped)
{
	Spawn s;
	s.argv = {TINY_KERNEL_SCRIPT, flavour, CacheDir("X86_IMAGES", X86_IMAGES)};
	s.timeout_ms = 2400000;
	Result r = RunSpawn(s);
	std::cout << "tiny-kernel.sh " << flavour << ": " << r.err;
	if (r.exit_code == 3 || r.exit_code == 4) {
		skipped = "no " + flavour + " kernel: " + r.err;
	} else if (r.exit_code != 0) {
		ADD_FAILURE() << "the " << flavour << " kernel did not build: " << Describe(r);
		skipped = "the build failed";
	}
	return r.out.substr(0, r.out.find('\n'));
}

bool IsResult(const std::string &line)
{
	size_t at = line.find_first_not_of(' ');
	return at != std::string::npos &&
	       (line.compare(at, 3, "ok ") == 0 || line.compare(at, 7, "not ok ") == 0);
}

// What came back on the serial console: the marker lines, CR stripped.
struct Guest {
	std::map<std::string, std::string> marks; // "@@NAME rest" -> marks[NAME] = rest
	std::map<std::string, std::vector<std::string>> lists; // KTAP, STRICT, REPEAT, RESULT,
							       // LAVA_KTAP, KSELFTEST, BARE
	std::map<std::string, long long> probe; // page_size, huge_kib, truncate_ok, anon, shm, huge
};

Guest Parse(const std::string &log)
{
	Guest g;
	for (std::string line : Lines(log)) {
		if (!line.empty() && line.back() == '\r')
			line.pop_back();
		if (line.rfind("@@", 0) != 0)
			continue;
		size_t space = line.find(' ');
		std::string name = line.substr(2, space - 2);
		std::string rest = space == std::string::npos ? "" : line.substr(space + 1);
		std::string base = name.substr(0, name.find('.')); // "KTAP.bin": a round's
		if (base == "KTAP" || base == "STRICT" || base == "REPEAT" || base == "RESULT" ||
		    base == "KSELFTEST" || base == "BARE" || base == "LAVA_KTAP")
			g.lists[name].push_back(rest);
		else
			g.marks[name] = rest;
	}
	std::istringstream in(g.marks["PROBE"]);
	for (std::string kv; in >> kv;)
		g.probe[kv.substr(0, kv.find('='))] = std::stoll(kv.substr(kv.find('=') + 1));
	return g;
}

// The probe that must fail first, from the guest's measurement (0: none).
// Probes 1 and 2 map anonymous memory and a /dev/shm file, 3 and later huge
// pages; the check counts statm pages as 4096 bytes and allows 256 KiB.
int FirstFailingProbe(const Guest &g)
{
	auto off = [](long long growth) {
		return growth < 0 || std::llabs(growth - kLength) >= 0x40000;
	};
	if (off(g.probe.at("anon")))
		return 1;
	if (off(g.probe.at("shm")))
		return 2;
	if (off(g.probe.at("huge")))
		return 3;
	return 0;
}

// The report, results and statuses that the guest's measurement calls for.
struct Expected {
	std::string report; // of the check, "" for a pass
	int mmaps = 0;	    // the 16 MiB mmaps it makes
	std::vector<std::string> results, strict;
	int status = 0, strict_status = 0;
	std::string totals;
};

Expected FromMeasurement(const Guest &g)
{
	Expected e;
	int failing = 0;	   // the probe blamed, 1-based
	std::string expected = ""; // an XFAIL reason
	if (!g.probe.at("truncate_ok")) {
		e.report = CheckReport("int open_file(const char *)", "!err");
		expected = "the default huge page is " + std::to_string(g.probe.at("huge_kib")) +
			   " kB, which does not divide 16 MiB: the kernel refused to size a "
			   "hugetlbfs file to 16 MiB (Invalid argument)";
	} else if ((failing = FirstFailingProbe(g))) {
		e.report = CheckReport("void do_mmap(int, int, int)", kGrow);
		e.mmaps = failing;
		long long page = g.probe.at("page_size");
		if (failing == 1 && page != 4096)
			expected = "the kernel counted 16 MiB as " +
				   std::to_string(g.probe.at("anon") / 4096) + " pages of " +
				   std::to_string(page / 1024) +
				   " KiB; the check counts 4 KiB pages";
	} else {
		e.mmaps = 6;
	}
	for (bool strict : {false, true}) {
		std::vector<std::string> &out = strict ? e.strict : e.results;
		bool xfail = !expected.empty() && !strict;
		for (int i = 1; i <= 6; ++i) {
			std::string line = " ";
			line += std::to_string(i);
			line += ' ';
			line += kProbes[i - 1];
			if (e.report.empty() || i < failing)
				out.push_back("  ok" + line);
			else if (i == failing)
				out.push_back(xfail ? "  ok" + line + " # XFAIL " + expected
						    : "  not ok" + line);
			else
				out.push_back("  ok" + line + " # SKIP not reached");
		}
		// A failure before any probe is carried by a subtest of its own.
		if (!e.report.empty() && !failing)
			out.push_back(xfail ? "  ok 7 before_probes # XFAIL " + expected
					    : "  not ok 7 before_probes");
		out.push_back(e.report.empty() ? "ok 1 rss_map_check"
			      : xfail	       ? "ok 1 rss_map_check # XFAIL " + expected
					       : "not ok 1 rss_map_check");
		out.push_back("ok 2 new_file_read_check");
	}
	e.status = e.report.empty() || !expected.empty() ? 0 : 1;
	e.strict_status = e.report.empty() ? 0 : 1;
	e.totals = std::string("# Totals: pass:") +
		   (e.report.empty()   ? "2 fail:0 xfail:0"
		    : expected.empty() ? "1 fail:1 xfail:0"
				       : "1 fail:0 xfail:1") +
		   " xpass:0 skip:0 error:0";
	if (!e.report.empty())
		e.report.pop_back(); // the newline
	return e;
}

std::vector<std::string> Results(const std::vector<std::string> &lines)
{
	std::vector<std::string> out;
	for (const std::string &line : lines)
		if (IsResult(line))
			out.push_back(line);
	return out;
}

class GuestKernel : public ::testing::Test
{
      protected:
	// Boots `kernel` and returns what the guest reported, or sets skipped_.
	Guest Boot(const std::string &arch, const std::string &kernel, const std::string &cpu,
		   const std::string &bin_dir, const std::string &busybox,
		   const std::string &kernel_args = "", int cpus = 2)
	{
		NeedAll(arch == "arm64" ? "qemu-system-aarch64" : "qemu-system-x86_64",
			{kernel, busybox, bin_dir + "/run_checks"});
		if (!skipped_.empty())
			return {};
		TempDir tmp;
		Spawn s;
		s.argv = {GUEST_SCRIPT,
			  arch,
			  kernel,
			  cpu,
			  bin_dir,
			  busybox,
			  tmp / "serial.log",
			  kernel_args,
			  std::to_string(cpus)};
		static const char kselftest[] = "GUEST_KSELFTEST=" KSELFTEST_DIR "/6.12";
		s.env.emplace_back(kselftest);
		Guest g = Run(s, tmp / "serial.log");
		// For the record: what the guest measured and what it reported.
		for (const char *mark : {"BEGIN", "PROBE", "TRACE"})
			std::cout << "@@" << mark << " " << g.marks[mark] << "\n";
		std::string ktap;
		for (const auto &line : g.lists["KTAP"]) {
			std::cout << line << "\n";
			ktap += line + "\n";
		}
		// For the parsers' agreement, as reports made here are.
		const std::string &status = g.marks["STATUS"];
		if (!ktap.empty() && !status.empty() &&
		    status.find_first_not_of("0123456789") == std::string::npos)
			KeepReport(ktap, std::stoi(status));
		return g;
	}

	// Sets skipped_ to the first of `qemu` and `paths` that is missing.
	void NeedAll(const std::string &qemu, const std::vector<std::string> &paths)
	{
		if (skipped_.empty() && !Exists("/usr/bin/" + qemu))
			skipped_ = "no " + qemu + " (scripts/setup.sh --tests installs it)";
		for (const std::string &path : paths)
			if (skipped_.empty() && !Exists(path))
				skipped_ = "no " + path + " (scripts/setup.sh --tests fetches it)";
	}

	// Boots the guest `s` describes and reads the markers of its `log`.
	static Guest Run(Spawn &s, const std::string &log_path)
	{
		// tests/guests/watch-guest.sh bounds the guest by its own CPU time
		// and says why one did not finish; this is a last resort.
		s.timeout_ms = 1700000;
		Result r = RunSpawn(s);
		std::cout << r.err; // the guest's times, or why it stopped
		EXPECT_EQ(r.exit_code, 0) << Describe(r);
		std::string log = ReadFile(log_path);
		Guest g = Parse(log);
		EXPECT_TRUE(g.marks.count("END")) << "the guest did not finish:\n" << log;
		return g;
	}

	// The traced run and run_checks' verdicts must follow from the guest's
	// measurement, and run_checks leave the guest's system as it was.
	void ExpectVerdictsMatchMeasurement(Guest &g)
	{
		ASSERT_TRUE(g.probe.count("huge")) << "no measurement";
		Expected e = FromMeasurement(g);
		EXPECT_EQ(g.marks["TRACE"], e.report.empty() ? "mmaps=6 exit=0 signal=0"
							     : "mmaps=" + std::to_string(e.mmaps) +
								   " exit=-1 signal=6");
		EXPECT_EQ(g.marks["TRACE_ERR"], e.report);
		EXPECT_EQ(g.marks["TRACE_OUT"], e.report.empty() ? "oll korrekt." : "");
		std::vector<std::string> &ktap = g.lists["KTAP"];
		ASSERT_GE(ktap.size(), 4u);
		EXPECT_EQ(ktap[0], "TAP version 13");
		EXPECT_EQ(ktap[1], "1..2");
		EXPECT_EQ(Results(ktap), e.results);
		if (!e.report.empty()) {
			auto parent =
			    std::find(ktap.begin(), ktap.end(), e.results[e.results.size() - 2]);
			EXPECT_THAT(std::vector<std::string>(ktap.begin(), parent),
				    Contains("# " + e.report));
		}
		EXPECT_EQ(ktap.back(), e.totals);
		EXPECT_EQ(g.marks["STATUS"], std::to_string(e.status));
		EXPECT_EQ(g.lists["STRICT"], e.strict);
		EXPECT_EQ(g.marks["STRICT_STATUS"], std::to_string(e.strict_status));
		// The LAVA definition's script in busybox, XFAIL included: the
		// verdicts of its own run, and its cases with their figures.
		EXPECT_EQ(Results(g.lists["LAVA_KTAP"]), e.results);
		EXPECT_EQ(g.lists["RESULT"], LavaCases(g.lists["LAVA_KTAP"]));
		EXPECT_EQ(g.marks["NR_HUGEPAGES"], "0");
		EXPECT_EQ(g.marks["MOUNTS"], "0");
		// The collection under the kernel's own run_kselftest.sh (6.12's),
		// where the guest has it: the runner's report nested, the result
		// its status calls for.
		std::vector<std::string> &kselftest = g.lists["KSELFTEST"];
		if (!kselftest.empty()) {
			EXPECT_THAT(kselftest, Contains("# selftests: kernel_checks: run_checks"));
			EXPECT_EQ(kselftest.back(),
				  e.status
				      ? "not ok 1 selftests: kernel_checks: run_checks # exit=1"
				      : "ok 1 selftests: kernel_checks: run_checks");
			std::vector<std::string> nested;
			for (const std::string &line : kselftest)
				if (line.rfind("# ", 0) == 0)
					nested.push_back(line.substr(2));
			EXPECT_EQ(Results(nested), e.results);
		}
		// The "# kernel:" lines (from the trace) agree with the guest's
		// own measurement of statm (in pages of 4 KiB, as the check
		// counts them), within the check's tolerance.
		for (const std::string &line : ktap) {
			char kind[64];
			long statm;
			if (sscanf(line.c_str(), "# kernel: %63s statm %ld kB", kind, &statm) != 2)
				continue;
			std::string k = kind;
			long long bytes = g.probe[k == "anonymous"  ? "anon"
						  : k == "shm_file" ? "shm"
								    : "huge"];
			EXPECT_NEAR(statm, bytes / 4096 * g.probe["page_size"] / 1024, 256) << line;
		}
	}

	// Each repeated run gave the same verdict as the first.
	void ExpectRepeats(Guest &g, size_t runs)
	{
		std::vector<std::string> parents;
		for (const std::string &line : g.lists["REPEAT"])
			if (line.find(" 1 rss_map_check") != std::string::npos)
				parents.push_back(line);
		EXPECT_EQ(parents.size(), runs);
		std::vector<std::string> results = FromMeasurement(g).results;
		EXPECT_THAT(parents, Each(results[results.size() - 2])); // rss_map_check's
	}

	// Probe 1's verdict in each repeated run follows from its statm error:
	// within the check's 64 pages no verdict of its own, within `bound`
	// (what the kernel's counters may lag) an XFAIL, past it a failure.
	// Returns the errors, sorted, and prints their spread for the record.
	std::vector<long> ExpectLagVerdicts(Guest &g, size_t runs, long bound)
	{
		struct Run {
			long error = 0; // statm's growth less 16 MiB, in pages
			bool measured = false;
			std::string verdict; // probe 1's: "", "XFAIL" or "fail"
		};
		std::vector<Run> seen(1);
		long page_kb = g.probe["page_size"] / 1024;
		for (const std::string &line : g.lists["REPEAT"]) {
			long kb;
			if (sscanf(line.c_str(), "# kernel: anonymous statm %ld kB", &kb) == 1) {
				seen.back().error = (kb - kLength / 1024) / page_kb;
				seen.back().measured = true;
			} else if (line.rfind("  ok 1 anonymous # XFAIL ", 0) == 0) {
				seen.back().verdict = "XFAIL";
			} else if (line == "  not ok 1 anonymous") {
				seen.back().verdict = "fail";
			} else if (line.find(" 1 rss_map_check") != std::string::npos) {
				seen.emplace_back();
			}
		}
		seen.pop_back();
		EXPECT_EQ(seen.size(), runs);
		std::vector<long> errors;
		for (const Run &run : seen) {
			EXPECT_TRUE(run.measured);
			long miss = std::labs(run.error);
			EXPECT_EQ(run.verdict, miss < 64       ? ""
					       : miss <= bound ? "XFAIL"
							       : "fail")
			    << "statm " << run.error << " pages off at probe 1";
			errors.push_back(run.error);
		}
		std::sort(errors.begin(), errors.end());
		if (!errors.empty())
			std::cout << "probe 1 statm error, " << errors.size() << " runs on "
				  << g.marks["CPUS"] << " CPUs: min " << errors.front()
				  << ", median " << errors[errors.size() / 2] << ", max "
				  << errors.back() << " pages\n";
		return errors;
	}

	std::string skipped_;
};

// Debian's arm64 kernels.

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
TEST_F(Arm64Kernel, FourKibKernelFailsGrowthAtThirdProbe)
{
	Guest g = Boot("vmlinuz-4k", "cortex-a57");
	if (!skipped_.empty())
		GTEST_SKIP() << skipped_;
	EXPECT_EQ(g.probe["page_size"], 4096);
	EXPECT_EQ(FirstFailingProbe(g), 3) << g.marks["PROBE"];
	ExpectVerdictsMatchMeasurement(g);
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

// x86-64 kernels.

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
	Guest g =
	    Boot(Images() + "/vmlinuz-debian", "checks.runs=10 checks.busy=1 " + kFastCpus, 2);
	if (!skipped_.empty())
		GTEST_SKIP() << skipped_;
	EXPECT_EQ(FirstFailingProbe(g), 3) << g.marks["PROBE"];
	ExpectVerdictsMatchMeasurement(g);
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
