// SPDX-License-Identifier: GPL-2.0-only
// The guests' helpers that need not be inline (guest_kernel.h says what each
// does).
#include "guest_kernel.h"

#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace checks
{
namespace
{

constexpr char kGrow[] =
    "llabs(after - before - length) < 0x40000 || !\"rss didn't grow as expected\"";

bool IsResult(const std::string &line)
{
	size_t at = line.find_first_not_of(' ');
	return at != std::string::npos &&
	       (line.compare(at, 3, "ok ") == 0 || line.compare(at, 7, "not ok ") == 0);
}

} // namespace

std::string CacheDir(const char *var, const char *fallback)
{
	const char *dir = std::getenv(var);
	return dir && *dir ? dir : fallback;
}

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
		    base == "KSELFTEST" || base == "BARE" || base == "LAVA_KTAP" ||
		    (base.rfind("LINARO_", 0) == 0 && base.find("_LIST") == std::string::npos &&
		     base.find("_STATUS") == std::string::npos))
			g.lists[name].push_back(rest);
		else
			g.marks[name] = rest;
	}
	for (auto &[name, list] : g.lists)
		list = FoldSkipReasons(list);
	std::istringstream in(g.marks["PROBE"]);
	for (std::string kv; in >> kv;)
		g.probe[kv.substr(0, kv.find('='))] = std::stoll(kv.substr(kv.find('=') + 1));
	return g;
}

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

std::vector<std::string> LinaroCases(const std::vector<std::string> &result,
				     const std::vector<std::string> &log)
{
	TempDir tmp;
	std::string text;
	for (const std::string &line : log)
		text += line + "\n";
	WriteFile(tmp / "kselftest.txt", text);
	std::filesystem::create_directory(tmp / "output"); // a failed case's log goes there
	Spawn s;
	s.argv = {"/bin/sh", "-c", "cd \"$1\" && exec /usr/bin/python3 \"$0\" <kselftest.txt",
		  LINARO_DIR "/automated/linux/kselftest/parse-output.py", tmp.path()};
	Result parsed = RunSpawn(s);
	EXPECT_EQ(parsed.exit_code, 0) << Describe(parsed);
	// Only what send-to-lava.sh takes for a case.
	std::vector<std::string> cases;
	for (const std::vector<std::string> &lines : {result, Lines(parsed.out)})
		for (const std::string &line : lines)
			if (std::regex_match(line, std::regex("[^ ]+ (pass|fail|skip|unknown)")))
				cases.push_back(line);
	return cases;
}

} // namespace checks
