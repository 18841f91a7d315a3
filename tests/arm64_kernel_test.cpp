// The static arm64 programs on real arm64 kernels booted under
// qemu-system-aarch64: run_checks' KTAP from inside the guest must agree with
// the guest's own measurement of how its kernel accounts memory in statm.
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

constexpr char kGrow[] =
    "llabs(after - before - length) < 0x40000 || !\"rss didn't grow as expected\"";
constexpr long long kLength = 16 << 20;

std::string Images()
{
	const char *dir = std::getenv("ARM64_IMAGES");
	return dir && *dir ? dir : ARM64_IMAGES;
}

// What came back on the serial console: the marker lines, CR stripped.
struct Guest {
	std::map<std::string, std::string> marks; // "@@NAME rest" -> marks[NAME] = rest
	std::vector<std::string> ktap;
	std::map<std::string, long long> probe; // page_size, anon, shm, huge
};

Guest Parse(const std::string &log)
{
	Guest g;
	for (std::string line : Lines(log)) {
		if (!line.empty() && line.back() == '\r')
			line.pop_back();
		if (line.rfind("@@", 0) != 0)
			continue;
		std::string name = line.substr(2, line.find(' ') - 2);
		std::string rest =
		    line.find(' ') == std::string::npos ? "" : line.substr(line.find(' ') + 1);
		if (name == "KTAP")
			g.ktap.push_back(rest);
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

// The report rss_map_check must end with on this kernel ("" for a pass):
// a hugetlbfs whose pages do not divide 16 MiB refuses the scratch file's
// size before any probe runs; else the first probe whose growth is off.
std::string ExpectedReport(const Guest &g)
{
	if (!g.probe.at("truncate_ok"))
		return CheckReport("int open_file(const char *)", "!err");
	return FirstFailingProbe(g) ? CheckReport("void do_mmap(int, int, int)", kGrow) : "";
}

class Arm64Kernel : public ::testing::Test
{
      protected:
	// Boots `kernel` and returns what the guest reported.
	Guest Boot(const std::string &kernel, const std::string &cpu,
		   const std::string &kernel_args = "")
	{
		std::string why = ARM64_MISSING;
		if (why.empty() && !Exists("/usr/bin/qemu-system-aarch64"))
			why = "no qemu-system-aarch64 (scripts/setup.sh --tests installs it)";
		if (why.empty() && !Exists(Images() + "/" + kernel))
			why = "no " + Images() + "/" + kernel + " (run scripts/fetch-arm64.sh)";
		if (!why.empty()) {
			skipped_ = why;
			return {};
		}
		TempDir tmp;
		Spawn s;
		s.argv = {ARM64_GUEST_SCRIPT,	 Images() + "/" + kernel, cpu,	      ARM64_BIN_DIR,
			  Images() + "/busybox", tmp / "serial.log",	  kernel_args};
		s.timeout_ms = 330000;
		Result r = RunSpawn(s);
		EXPECT_EQ(r.exit_code, 0) << Describe(r);
		std::string log = ReadFile(tmp / "serial.log");
		Guest g = Parse(log);
		EXPECT_TRUE(g.marks.count("END")) << "the guest did not finish:\n" << log;
		// For the record: what the guest measured and what it reported.
		for (const char *mark : {"BEGIN", "PROBE", "TRACE"})
			std::cout << "@@" << mark << " " << g.marks[mark] << "\n";
		for (const auto &line : g.ktap)
			std::cout << line << "\n";
		return g;
	}

	// The traced run and run_checks' verdicts must follow from the guest's
	// measurement, and run_checks leave the guest's system as it was.
	void ExpectVerdictsMatchMeasurement(const Guest &g)
	{
		ASSERT_TRUE(g.probe.count("huge")) << "no measurement";
		std::string report = ExpectedReport(g);
		int mmaps = g.probe.at("truncate_ok") ? FirstFailingProbe(g) : 0;
		EXPECT_EQ(g.marks.at("TRACE"),
			  report.empty() ? "mmaps=6 exit=0 signal=0"
					 : "mmaps=" + std::to_string(mmaps) + " exit=-1 signal=6");
		ASSERT_GE(g.ktap.size(), 4u);
		EXPECT_EQ(g.ktap[0], "TAP version 13");
		EXPECT_EQ(g.ktap[1], "1..2");
		if (report.empty()) {
			EXPECT_THAT(g.ktap, Contains("ok 1 rss_map_check"));
		} else {
			report.pop_back(); // the newline
			EXPECT_EQ(g.marks.at("TRACE_ERR"), report);
			auto verdict =
			    std::find(g.ktap.begin(), g.ktap.end(), "not ok 1 rss_map_check");
			ASSERT_NE(verdict, g.ktap.end());
			EXPECT_THAT(std::vector<std::string>(g.ktap.begin(), verdict),
				    Contains("# " + report));
		}
		EXPECT_THAT(g.ktap, Contains("ok 2 new_file_read_check"));
		EXPECT_EQ(g.ktap.back(), std::string("# Totals: pass:") +
					     (report.empty() ? "2 fail:0" : "1 fail:1") +
					     " xfail:0 xpass:0 skip:0 error:0");
		EXPECT_EQ(g.marks.at("STATUS"), report.empty() ? "0" : "1");
		EXPECT_EQ(g.marks.at("NR_HUGEPAGES"), "0");
		EXPECT_EQ(g.marks.at("MOUNTS"), "0");
	}

	std::string skipped_;
};

// Debian's arm64 kernel: 4 KiB pages, huge pages left out of statm, so the
// growth check fails at the third probe, the first huge-page one.
TEST_F(Arm64Kernel, FourKibKernelFailsGrowthAtThirdProbe)
{
	Guest g = Boot("vmlinuz-4k", "cortex-a57");
	if (!skipped_.empty())
		GTEST_SKIP() << skipped_;
	EXPECT_EQ(g.probe["page_size"], 4096);
	EXPECT_EQ(FirstFailingProbe(g), 3) << g.marks["PROBE"];
	ExpectVerdictsMatchMeasurement(g);
	EXPECT_EQ(g.marks["TRACE"], "mmaps=3 exit=-1 signal=6");
}

// Debian's 16 KiB-page arm64 kernel booted with 2 MiB default huge pages:
// statm counts 16 KiB pages, the check scales them by 4096, so 16 MiB shows
// as 4 MiB and the growth check fails at the first probe.
TEST_F(Arm64Kernel, SixteenKibKernelFailsGrowthAtFirstProbe)
{
	Guest g = Boot("vmlinuz-16k", "max,pauth=off", "default_hugepagesz=2M");
	if (!skipped_.empty())
		GTEST_SKIP() << skipped_;
	EXPECT_EQ(g.probe["page_size"], 16384);
	EXPECT_EQ(g.probe["huge_kib"], 2048);
	EXPECT_EQ(g.probe["anon"], kLength / 4) << g.marks["PROBE"];
	EXPECT_EQ(FirstFailingProbe(g), 1) << g.marks["PROBE"];
	ExpectVerdictsMatchMeasurement(g);
	EXPECT_EQ(g.marks["TRACE"], "mmaps=1 exit=-1 signal=6");
}

// The same kernel as it boots: its default huge page is 32 MiB, so the
// hugetlbfs scratch file cannot be sized to 16 MiB and open_file's "!err"
// check fails before any probe.
TEST_F(Arm64Kernel, SixteenKibKernelWith32MibHugePagesFailsToSizeTheScratchFile)
{
	Guest g = Boot("vmlinuz-16k", "max,pauth=off");
	if (!skipped_.empty())
		GTEST_SKIP() << skipped_;
	EXPECT_EQ(g.probe["huge_kib"], 32768);
	EXPECT_EQ(g.probe["truncate_ok"], 0);
	ExpectVerdictsMatchMeasurement(g);
	EXPECT_EQ(g.marks["TRACE"], "mmaps=0 exit=-1 signal=6");
}

} // namespace
} // namespace checks
