// SPDX-License-Identifier: GPL-2.0-only
// The guests that guest_kernel_test's sources boot under qemu-system: what
// comes back on a guest's serial console, the verdicts its own measurement
// calls for, and the fixture that boots one and compares the two. Shared, so
// that the tests can be split by the kernels they boot.
#pragma once

#include "ktap.h"
#include "run.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <iostream>
#include <map>
#include <string>
#include <vector>

namespace checks
{

// What the check maps at each probe.
inline constexpr long long kLength = 16 << 20;

// The folder that `var` names in the environment (another cache or build),
// else `fallback`.
std::string CacheDir(const char *var, const char *fallback);

// The kernel of `flavour` from tests/guests/tiny-kernel.sh, which the test
// kernels.FLAVOUR built before the guests (a test run alone builds it
// here). Sets `skipped` where it cannot be had: no source or compiler, or a
// build that failed, which kernels.FLAVOUR counts as the one failure.
std::string BuiltKernel(const std::string &flavour, std::string &skipped);

// What came back on the serial console: the marker lines, CR stripped.
struct Guest {
	std::map<std::string, std::string> marks; // "@@NAME rest" -> marks[NAME] = rest
	std::map<std::string, std::vector<std::string>> lists; // KTAP, STRICT, REPEAT, RESULT,
							       // LAVA_KTAP, KSELFTEST, BARE
	std::map<std::string, long long> probe; // page_size, huge_kib, truncate_ok, anon, shm, huge
};

// Reads the marker lines of a guest's serial log.
Guest Parse(const std::string &log);

// The probe that must fail first, from the guest's measurement (0: none).
// Probes 1 and 2 map anonymous memory and a /dev/shm file, 3 and later huge
// pages; the check counts statm pages as 4096 bytes and allows 256 KiB.
int FirstFailingProbe(const Guest &g);

// The report, results and statuses that the guest's measurement calls for.
struct Expected {
	std::string report; // of the check, "" for a pass
	int mmaps = 0;	    // the 16 MiB mmaps it makes
	std::vector<std::string> results, strict;
	int status = 0, strict_status = 0;
	std::string totals;
};

Expected FromMeasurement(const Guest &g);

// The result.txt a lab gets from the guest's `result` lines (kselftest.sh's
// own) and its `log` (output/kselftest.txt) read by Linaro's parse-output.py
// on this machine: the guests have no python3-tap.
std::vector<std::string> LinaroCases(const std::vector<std::string> &result,
				     const std::vector<std::string> &log);

// The result lines of `lines`, subtests' included.
std::vector<std::string> Results(const std::vector<std::string> &lines);

// Boots a guest and compares its report with its own measurement; each kind
// of guest's fixture derives from it.
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
		if (!linaro_archive_.empty() && Exists(LINARO_DIR "/automated")) {
			s.env.push_back("GUEST_LINARO=" LINARO_DIR);
			s.env.push_back("GUEST_KSELFTEST_ARCHIVE=" + linaro_archive_);
			if (arch == "arm64")
				s.env.push_back("GUEST_GNU=" + std::string(ARM64_IMAGES) + "/gnu");
		}
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
				    testing::Contains("# " + e.report));
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
			EXPECT_THAT(kselftest,
				    testing::Contains("# selftests: kernel_checks: run_checks"));
			EXPECT_EQ(kselftest.back(),
				  e.status
				      ? "not ok 1 selftests: kernel_checks: run_checks # exit=1"
				      : "ok 1 selftests: kernel_checks: run_checks");
			std::vector<std::string> nested;
			for (const std::string &line : kselftest)
				if (line.rfind("# ", 0) == 0)
					nested.push_back(line.substr(2));
			EXPECT_EQ(Results(FoldSkipReasons(nested)), e.results);
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
		EXPECT_THAT(parents, testing::Each(results[results.size() - 2])); // rss_map_check's
	}

	// Probe 1's verdict in each repeated run follows from its statm error,
	// at the mmap or, once that is within the check's 64 pages, after the
	// munmap: within 64 pages no verdict of its own, within `bound` (what
	// the kernel's counters may lag) an XFAIL, past it a failure.
	// Returns the errors, sorted, and prints their spread for the record.
	std::vector<long> ExpectLagVerdicts(Guest &g, size_t runs, long bound)
	{
		struct Run {
			long error = 0; // statm's growth less 16 MiB, in pages
			long left = 0;	// what statm kept after munmap, in pages
			bool measured = false;
			std::string verdict; // probe 1's: "", "XFAIL" or "fail"
		};
		std::vector<Run> seen(1);
		long pages = kLength / g.probe["page_size"];
		for (const std::string &line : g.lists["REPEAT"]) {
			long grew, left;
			int got =
			    sscanf(line.c_str(),
				   "  # anonymous: mmap flags %*s fd %*d ok, statm %ld pages; "
				   "munmap ok, statm %ld pages from before",
				   &grew, &left);
			if (got >= 1) {
				seen.back().error = grew - pages;
				seen.back().left = got == 2 ? left : 0;
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
			if (miss < 64)
				miss = std::labs(run.left); // the shrink check's
			EXPECT_EQ(run.verdict, miss < 64       ? ""
					       : miss <= bound ? "XFAIL"
							       : "fail")
			    << "statm " << run.error << " pages off at probe 1, " << run.left
			    << " after munmap";
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
	// The kselftest archive that Linaro's kselftest.sh runs in the guest, in
	// both of its modes; none if empty.
	std::string linaro_archive_;

	// Linaro's kselftest.sh recorded in each mode what the guest's own
	// measurement calls for; overlaid, the archive's list is the install's.
	void ExpectLinaroResults(Guest &g)
	{
		if (!Exists(LINARO_DIR "/automated"))
			GTEST_SKIP() << "no Linaro test definitions at " LINARO_DIR
					" (../shared/third_party beside the tree)";
		Expected e = FromMeasurement(g);
		std::vector<std::string> expected = LinaroExpected(e.results, e.status);
		for (const std::string mode : {"URL", "INSTALLED"}) {
			SCOPED_TRACE("kselftest.sh, " + mode);
			std::string console;
			for (const std::string &line : g.lists["LINARO_" + mode + "_CONSOLE"])
				console += line + "\n";
			EXPECT_EQ(g.marks["LINARO_" + mode + "_STATUS"], "0") << console;
			std::vector<std::string> cases =
			    LinaroCases(g.lists["LINARO_" + mode + "_RESULT"],
					g.lists["LINARO_" + mode + "_LOG"]);
			std::cout << "kselftest.sh, " << mode << ": result.txt\n";
			for (const std::string &c : cases)
				std::cout << c << "\n";
			EXPECT_EQ(cases, expected) << console;
		}
		EXPECT_EQ(g.marks["LINARO_INSTALLED_LIST"], "kernel_checks:run_checks");
	}
};

} // namespace checks
