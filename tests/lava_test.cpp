// SPDX-License-Identifier: GPL-2.0-only
// The way into LAVA, from outside: the converter from KTAP to test cases
// (lava/ktap-results.sh, under busybox alone) on what run_checks really
// prints; the packages a lab downloads; and real LAVA jobs, run by Debian's
// lava-run on a qemu arm64 and x86-64 device, whose recorded cases must be
// exactly those of run_checks' own KTAP from the same guest.
#include "support/ktap.h"
#include "support/run.h"

#include <cstring>
#include <dirent.h>
#include <filesystem>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <iostream>
#include <regex>
#include <sstream>
#include <unistd.h>

namespace checks
{
namespace
{

using testing::Contains;
using testing::ContainsRegex;
using testing::HasSubstr;

namespace fs = std::filesystem;

// Runs the converter with busybox's sh and awk alone, as on a device.
Result Convert(const std::string &ktap, const TempDir &tmp)
{
	fs::create_directories(tmp / "bb");
	for (const char *applet : {"sh", "awk", "cat"})
		if (!Exists(tmp / ("bb/" + std::string(applet))))
			fs::create_symlink(BUSYBOX, tmp / ("bb/" + std::string(applet)));
	WriteFile(tmp / "ktap", ktap);
	Spawn s;
	s.argv = {tmp / "bb/sh", "-c", "exec \"$0\" <\"$1\"", LAVA_DIR "/ktap-results.sh",
		  tmp / "ktap"};
	s.env = {"PATH=" + (tmp / "bb")};
	return RunSpawn(s);
}

// The case names, but for the subtest that carries a failure outside the
// probes (before_probes, after_<probe>), there only when one happened.
std::vector<std::string> Names(const std::vector<std::string> &cases)
{
	std::vector<std::string> names;
	for (const std::string &c : cases)
		if (c.rfind("rss_map_check.before_probes ", 0) != 0 &&
		    c.rfind("rss_map_check.after_", 0) != 0)
			names.push_back(c.substr(0, c.find(' ')));
	return names;
}

// Linaro's parse-output.py (python3-tap) on `ktap` nested as the kernel's
// kselftest runner nests a program's report: its "name result" lines.
std::vector<std::string> LinaroCases(const std::string &ktap, const TempDir &tmp)
{
	std::string nested = "TAP version 13\n1..1\n# selftests: kernel_checks: run_checks\n";
	std::istringstream in(ktap); // as printed: Lines() would fold skip reasons back
	for (std::string line; std::getline(in, line);)
		nested += "# " + line + "\n";
	nested += "ok 1 selftests: kernel_checks: run_checks\n";
	WriteFile(tmp / "kselftest.txt", nested);
	fs::create_directories(tmp / "output"); // where it writes a failed case's log
	Spawn s;
	s.argv = {"/bin/sh", "-c", "cd \"$1\" && exec /usr/bin/python3 \"$0\" <kselftest.txt",
		  LINARO_DIR "/automated/linux/kselftest/parse-output.py", tmp.path()};
	Result r = RunSpawn(s);
	EXPECT_EQ(r.exit_code, 0) << Describe(r);
	return Lines(r.out);
}

// What run_checks prints in each way a run can end, from the real runner
// beside stand-in checks; the names stay the same whatever the result.
TEST(KtapResults, EachKindOfResultBecomesOneStableCase)
{
	if (!Exists(BUSYBOX))
		GTEST_SKIP() << "no " << BUSYBOX << " (scripts/setup.sh --tests fetches it)";
	TempDir bed, tmp, odd;
	fs::copy_file(ProgramPath("run_checks"), bed / "run_checks");
	for (const char *name : {"rss_map_check", "new_file_read_check"})
		fs::copy_file(STANDIN, bed / name);
	fs::create_directory(odd / "a # SKIP b");
	struct Case {
		const char *what;
		std::vector<std::string> args, env;
		std::vector<std::string> expected; // among the cases, "" if none pinned
	};
	std::vector<Case> cases = {
	    {"pass", {}, {}, {"rss_map_check pass", "new_file_read_check pass"}},
	    {"fail", {}, {"STANDIN_rss_map_check=abort"}, {"rss_map_check fail"}},
	    {"timeout",
	     {"-t", "1"},
	     {"STANDIN_rss_map_check=hang"},
	     {"rss_map_check fail", "rss_map_check.before_probes fail"}},
	    {"new file fails",
	     {},
	     {"STANDIN_new_file_read_check=fail"},
	     {"new_file_read_check fail"}},
	    {"names from -d", {"-d", odd / "a # SKIP b"}, {}, {}},
	    // Two directories that LAVA's cleaning would make one case.
	    {"names alike once cleaned", {"-d", odd / "n/x", "-d", odd / "n_x"}, {}, {}},
	};
	fs::create_directories(odd / "n/x");
	fs::create_directory(odd / "n_x");
	if (geteuid() == 0)
		// Mainline keeps huge pages out of statm: the measurements say so.
		cases.push_back({"the real checks",
				 {},
				 {"REAL=1"},
				 {"rss_map_check.anonymous_hugetlb fail",
				  "rss_map_check.anonymous_hugetlb.statm_kb pass 0 kB",
				  "rss_map_check.anonymous_hugetlb.kernel_kb pass 16384 kB"}});
	std::vector<std::string> names, first_linaro;
	for (const Case &c : cases) {
		SCOPED_TRACE(c.what);
		Spawn s;
		s.argv = {c.env.empty() || c.env[0] != "REAL=1" ? bed / "run_checks"
								: ProgramPath("run_checks")};
		s.argv.insert(s.argv.end(), c.args.begin(), c.args.end());
		s.env = c.env;
		Result runner = RunSpawn(s);
		Result converted = Convert(runner.out, tmp);
		EXPECT_EQ(converted.exit_code, 0) << Describe(converted);
		std::vector<std::string> got = Lines(converted.out);
		EXPECT_EQ(got, LavaCases(Lines(runner.out))) << runner.out;
		for (const std::string &e : c.expected)
			EXPECT_THAT(got, Contains(e));
		if (std::string(c.what) == "names from -d") {
			std::string name = "new_file_read_check" + odd.path() + "/a___SKIP_b pass";
			std::replace(name.begin(), name.end(), '/', '_');
			EXPECT_THAT(got, Contains(name));
		}
		// A verdict never carries a figure: a results database that keeps a
		// measured case as a metric alone (SQUAD) would lose it.
		for (const std::string &line : got) {
			if (std::count(line.begin(), line.end(), ' ') > 1) {
				EXPECT_THAT(line, ContainsRegex("^[^ ]+\\.(statm|kernel)_kb pass "
								"[-0-9]+ kB$"));
			}
		}
		std::vector<std::string> unique = Names(got);
		std::sort(unique.begin(), unique.end());
		EXPECT_EQ(std::adjacent_find(unique.begin(), unique.end()), unique.end())
		    << "two results as one case";
		// Linaro's parser (kselftest.sh) names them the same whatever the
		// result too, where its definitions are beside the tree.
		std::vector<std::string> linaro;
		if (Exists(LINARO_DIR "/automated"))
			linaro = LinaroCases(runner.out, tmp);
		std::vector<std::string> linaro_names;
		for (const std::string &line : linaro)
			if (line.find("_before_probes ") == std::string::npos &&
			    line.find("_rss_map_check_after_") == std::string::npos)
				linaro_names.push_back(line.substr(0, line.find(' ')));
		if (names.empty()) {
			names = Names(got);
			first_linaro = linaro_names;
		} else if (c.args.empty()) {
			EXPECT_EQ(Names(got), names) << "the same names whatever the results";
			EXPECT_EQ(linaro_names, first_linaro)
			    << "Linaro's parser: the same names whatever the results";
		}
		// Reasons go to the log, never into a name.
		bool skipped = std::any_of(got.begin(), got.end(), [](const std::string &line) {
			return line.size() > 5 && line.compare(line.size() - 5, 5, " skip") == 0;
		});
		EXPECT_EQ(converted.err.find(": SKIP ") != std::string::npos, skipped)
		    << converted.err;
	}
}

// The packages of the arm64 or x86-64 static build.
std::string Package(const std::string &arch, const std::string &kind)
{
	return std::string(arch == "arm64" ? ARM64_BUILD : X86_BUILD) +
	       "/kernel-checks-" VERSION "-" + arch + kind;
}

// The Debian package puts bin/ and lava/ side by side under
// /usr/lib/kernel-checks, the programs on PATH through links in /usr/bin;
// installed into a scratch root, its definition's script runs its
// run_checks as a plain shell would (no lava-test-case): result.txt.
TEST(Packages, DebianPackageInstallsTheLayoutTheDefinitionExpects)
{
	if (geteuid() != 0)
		GTEST_SKIP() << "needs root for dpkg --root";
	std::string deb = Package("amd64", ".deb");
	ASSERT_TRUE(Exists(deb)) << deb;
	Spawn list;
	list.argv = {"/usr/bin/dpkg", "-c", deb};
	std::string listing = RunSpawn(list).out;
	for (const char *file :
	     {"bin/run_checks", "bin/rss_map_check", "bin/new_file_read_check",
	      "lava/kernel-checks.yaml", "lava/kernel-checks.sh", "lava/ktap-results.sh"})
		EXPECT_THAT(listing, HasSubstr("./usr/lib/kernel-checks/" + std::string(file)))
		    << listing;
	TempDir root;
	fs::create_directories(root / "var/lib/dpkg/info");
	fs::create_directories(root / "var/lib/dpkg/updates");
	WriteFile(root / "var/lib/dpkg/status", "");
	Spawn install;
	install.argv = {"/usr/bin/dpkg", "--root=" + root.path(), "-i", deb};
	Result installed = RunSpawn(install);
	ASSERT_EQ(installed.exit_code, 0) << Describe(installed);
	for (const char *program : {"run_checks", "rss_map_check", "new_file_read_check"})
		EXPECT_EQ(fs::canonical(root / ("usr/bin/" + std::string(program))),
			  fs::path(root / ("usr/lib/kernel-checks/bin/" + std::string(program))));
	std::string lava = root / "usr/lib/kernel-checks/lava";
	Spawn run;
	run.argv = {lava + "/kernel-checks.sh", "-t", "10"};
	Result r = RunSpawn(run);
	EXPECT_EQ(r.exit_code, 0) << Describe(r);
	EXPECT_EQ(Lines(ReadFile(lava + "/output/result.txt")),
		  LavaCases(Lines(ReadFile(lava + "/output/ktap.txt"))));
	EXPECT_THAT(Lines(ReadFile(lava + "/output/result.txt")),
		    Contains("new_file_read_check pass"));
}

// The "License:" fields of a Debian copyright file, in order.
std::vector<std::string> Licenses(const std::string &copyright)
{
	std::vector<std::string> licenses;
	for (const std::string &line : Lines(copyright))
		if (line.rfind("License: ", 0) == 0)
			licenses.push_back(line.substr(9));
	return licenses;
}

// Each architecture's Debian package as Debian's lintian judges it: no
// error (an intended property, as static linking, is overridden in the
// package with the reason), and a copyright file that says what the tree
// says (.reuse/dep5, then the license's paragraph).
TEST(Packages, DebianPackageHasNoLintianErrorAndTheTreesLicense)
{
	if (!Exists("/usr/bin/lintian"))
		GTEST_SKIP() << "no lintian (scripts/setup.sh --tests installs it)";
	std::string dep5 = ReadFile(SOURCE_DIR "/.reuse/dep5");
	std::vector<std::string> archs = {"amd64"};
	if (Exists(Package("arm64", ".deb")))
		archs.push_back("arm64");
	for (const std::string &arch : archs) {
		SCOPED_TRACE(arch);
		std::string deb = Package(arch, ".deb");
		ASSERT_TRUE(Exists(deb)) << deb;
		Spawn lintian;
		lintian.argv = {"/usr/bin/lintian", "--fail-on", "none", deb};
		Result r = RunSpawn(lintian);
		ASSERT_EQ(r.exit_code, 0) << Describe(r);
		std::cout << arch << ": lintian says\n" << r.out;
		for (const std::string &line : Lines(r.out))
			EXPECT_NE(line.rfind("E: ", 0), 0u) << line;

		TempDir unpacked;
		Spawn extract;
		extract.argv = {"/usr/bin/dpkg-deb", "-x", deb, unpacked.path()};
		Result x = RunSpawn(extract);
		ASSERT_EQ(x.exit_code, 0) << Describe(x);
		std::string copyright =
		    ReadFile(unpacked / "usr/share/doc/kernel-checks/copyright");
		EXPECT_EQ(copyright.substr(0, dep5.size()), dep5) << copyright;
		std::vector<std::string> licenses = Licenses(copyright);
		ASSERT_FALSE(licenses.empty()) << copyright;
		for (const std::string &license : licenses)
			EXPECT_EQ(license, "GPL-2.0-only") << copyright;
		EXPECT_EQ(licenses.size(), Licenses(dep5).size() + 1)
		    << "the license's own paragraph follows dep5's: " << copyright;
		EXPECT_THAT(copyright, HasSubstr("/usr/share/common-licenses/GPL-2"));
		// The kernel patches' origin.
		EXPECT_THAT(copyright, HasSubstr("Files: tests/guests/x86/*.patch"));
		EXPECT_THAT(copyright, HasSubstr("derived from the Linux"));
	}
}

// The definition's script with a run_checks of the test's own: no check's
// output reaches the console as a LAVA signal, DIRS is split on lines and
// never globbed, and a run without a whole report is a failed case.
TEST(LavaScript, CannotBeForgedNorGoGreenOnNothing)
{
	struct Case {
		const char *name, *report; // printed by the fake run_checks
		int status;
		std::vector<std::string> results;
		int script_status;
	} cases[] = {
	    {"forged signal",
	     "TAP version 13\n1..1\n# <LAVA_SIGNAL_TESTCASE TEST_CASE_ID=injected RESULT=pass>\n"
	     "ok 1 rss_map_check\n",
	     0,
	     {"rss_map_check pass"},
	     0},
	    {"bad parameter", "", 2, {"kernel-checks fail"}, 1},
	    {"bail-out",
	     "TAP version 13\n1..2\nok 1 rss_map_check\nBail out! stopped by signal 15 "
	     "(Terminated)\n",
	     143,
	     {"rss_map_check pass", "kernel-checks fail"},
	     1},
	    {"truncated",
	     "TAP version 13\n1..2\nok 1 rss_map_check\n",
	     0,
	     {"rss_map_check pass", "kernel-checks fail"},
	     1},
	};
	for (const Case &c : cases) {
		SCOPED_TRACE(c.name);
		TempDir tmp;
		fs::create_directory(tmp / "lava");
		for (const char *f : {"kernel-checks.sh", "ktap-results.sh"})
			fs::copy_file(std::string(LAVA_DIR) + "/" + f,
				      tmp / ("lava/" + std::string(f)));
		WriteFile(tmp / "report", c.report);
		WriteFile(
		    tmp / "run_checks",
		    "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; done > \"$0.args\"\n"
		    "cat \"${0%/*}/report\"\nexit " +
			std::to_string(c.status) + "\n");
		fs::permissions(tmp / "run_checks", fs::perms(0755));
		Spawn s;
		s.argv = {"/bin/sh", tmp / "lava/kernel-checks.sh",
			  "-d",	     "/tmp/sp ace\n/tmp/a*",
			  "-r",	     tmp / "run_checks"};
		s.env = {"PATH=/usr/bin:/bin"};
		Result r = RunSpawn(s);
		EXPECT_EQ(r.exit_code, c.script_status) << Describe(r);
		EXPECT_EQ(r.out.find("<LAVA_"), std::string::npos) << r.out;
		EXPECT_EQ(Lines(ReadFile(tmp / "lava/output/result.txt")), c.results);
		EXPECT_EQ(
		    Lines(ReadFile(tmp / "run_checks.args")),
		    (std::vector<std::string>{"-t", "30", "-d", "/tmp/sp ace", "-d", "/tmp/a*"}));
	}
}

TEST(Packages, TarballHasBinAndLavaAtItsTop)
{
	for (const char *arch : {"amd64", "arm64"}) {
		std::string tarball = Package(arch, ".tar.gz");
		if (!Exists(tarball))
			continue; // no cross compiler: no arm64 build
		Spawn list;
		list.argv = {"/bin/tar", "-tzf", tarball};
		std::vector<std::string> files = Lines(RunSpawn(list).out);
		for (const char *file : {"bin/run_checks", "lava/kernel-checks.yaml"})
			EXPECT_THAT(files, Contains(file)) << tarball;
	}
}

// Real LAVA jobs, by Debian's own lava-run, standalone and offline.
class LavaJob : public ::testing::Test
{
      protected:
	struct Job {
		std::vector<std::string> ktap, recorded;
	};

	// Runs the job; `parameters` (JSON) on top of the job file's.
	Job Run(const std::string &arch, const std::string &kernel, const std::string &bin_dir,
		const std::string &busybox, const std::string &kernel_args = "",
		const std::string &parameters = "")
	{
		Job j;
		if (geteuid() != 0) {
			skipped_ = "needs root: lava-run works in /var/lib/lava/dispatcher";
			return j;
		}
		for (const std::string &path : {kernel, busybox, Package(arch, ".tar.gz")})
			if (!Exists(path)) {
				skipped_ = "no " + path + " (scripts/setup.sh --tests)";
				return j;
			}
		Spawn fetch;
		fetch.argv = {GUESTS_DIR "/fetch-lava.sh"};
		fetch.timeout_ms = 600000;
		if (Result f = RunSpawn(fetch); f.exit_code != 0) {
			skipped_ = "the LAVA packages cannot be had: " + Describe(f);
			return j;
		}
		std::vector<std::string> before = Scratch();
		TempDir out;
		Spawn job;
		job.argv = {GUESTS_DIR "/lava-job.sh", arch,	   kernel,     bin_dir, busybox,
			    Package(arch, ".tar.gz"),  out.path(), kernel_args};
		job.env = env_;
		job.env.push_back("LAVA_JOB_PARAMETERS=" + parameters);
		job.timeout_ms = 900000;
		Result r = RunSpawn(job);
		EXPECT_EQ(r.exit_code, 0) << Describe(r) << ReadFile(out / "lava.log");
		j.ktap = Lines(ReadFile(out / "ktap.txt"));
		j.recorded = Lines(ReadFile(out / "results.txt"));
		// For the record: the KTAP and what LAVA made of it, and the time.
		std::cout << r.err;
		for (const std::string &line : j.ktap)
			std::cout << "KTAP " << line << "\n";
		for (const std::string &line : j.recorded)
			std::cout << "LAVA " << line << "\n";
		EXPECT_EQ(Scratch(), before) << "lava-run's scratch files are left";
		return j;
	}

	// What a job with the default parameters must show.
	void ExpectTheCasesOfItsKtap(const Job &j)
	{
		ASSERT_FALSE(j.ktap.empty());
		EXPECT_EQ(j.recorded, LavaCases(j.ktap));
		EXPECT_EQ(j.recorded.size(), 20u)
		    << "both checks, the six probes and two figures for each";
	}

	std::string skipped_;
	std::vector<std::string> env_; // for lava-job.sh

	static std::vector<std::string> Scratch()
	{
		std::vector<std::string> entries;
		if (DIR *d = opendir("/var/lib/lava/dispatcher/tmp")) {
			while (dirent *e = readdir(d))
				if (strcmp(e->d_name, ".") && strcmp(e->d_name, ".."))
					entries.push_back(
					    e->d_name); // the first job makes the folder
			closedir(d);
		}
		std::sort(entries.begin(), entries.end());
		return entries;
	}
};

// Debian's 16 KiB-page arm64 kernel with 2 MiB huge pages: an XFAIL, which
// LAVA records as a pass (the reason in the log), and five skips.
TEST_F(LavaJob, Arm64JobRecordsTheCasesOfItsKtap)
{
	Job j = Run("arm64", ARM64_IMAGES "/vmlinuz-16k", ARM64_BIN_DIR, ARM64_IMAGES "/busybox",
		    "default_hugepagesz=2M");
	if (!skipped_.empty())
		GTEST_SKIP() << skipped_;
	ExpectTheCasesOfItsKtap(j);
}

// Debian's amd64 kernel: the failure at the first huge-page probe.
TEST_F(LavaJob, X86JobRecordsTheCasesOfItsKtap)
{
	Job j = Run("amd64", X86_IMAGES "/vmlinuz-debian", X86_BIN_DIR, X86_IMAGES "/busybox");
	if (!skipped_.empty())
		GTEST_SKIP() << skipped_;
	ExpectTheCasesOfItsKtap(j);
}

// Linaro's own kselftest.yaml, unchanged, from a tarball of its layout, runs
// the amd64 kselftest archive it downloads (TESTPROG_URL): LAVA records the
// cases its parser makes of the nested report, none with a measurement.
TEST_F(LavaJob, LinarosKselftestDefinitionRecordsTheCasesOfItsKtap)
{
	if (!Exists(LINARO_DIR "/automated"))
		GTEST_SKIP() << "no Linaro test definitions at " LINARO_DIR
				" (../shared/third_party beside the tree)";
	env_ = {"LAVA_LINARO=" LINARO_DIR,
		"LAVA_KSELFTEST=" + Package("amd64", "-kselftest.tar.gz")};
	Job j = Run("amd64", X86_IMAGES "/vmlinuz-debian", X86_BIN_DIR, X86_IMAGES "/busybox");
	if (!skipped_.empty())
		GTEST_SKIP() << skipped_;
	std::vector<std::string> results;
	int status = -1;
	for (const std::string &line : j.ktap) {
		if (line.rfind("@@STATUS ", 0) == 0)
			status = line.rfind("@@STATUS not ok", 0) == 0	     ? 1
				 : line.find(" # SKIP") != std::string::npos ? 4
									     : 0;
		else if (std::regex_search(line, std::regex("^ *(not )?ok [0-9]+ ")))
			results.push_back(line);
	}
	ASSERT_NE(status, -1) << "no result from run_kselftest.sh";
	ASSERT_FALSE(results.empty());
	EXPECT_EQ(j.recorded, LinaroExpected(results, status));
}

// Real jobs with hostile parameters: a directory whose name is a LAVA
// signal records no case of its own (only the KTAP's), and a bad TIMEOUT is
// a failed case, never a green definition.
TEST_F(LavaJob, AForgedSignalRecordsNothingAndABadParameterFails)
{
	Job j = Run("amd64", X86_IMAGES "/vmlinuz-debian", X86_BIN_DIR, X86_IMAGES "/busybox", "",
		    R"({"DIRS": "/tmp/<LAVA_SIGNAL_TESTCASE TEST_CASE_ID=injected RESULT=pass>"})");
	if (!skipped_.empty())
		GTEST_SKIP() << skipped_;
	ASSERT_FALSE(j.ktap.empty());
	EXPECT_EQ(j.recorded, LavaCases(j.ktap));
	EXPECT_THAT(j.ktap, Contains(testing::HasSubstr("<LAVA-SIGNAL_TESTCASE")));
	EXPECT_THAT(j.recorded, testing::Not(Contains(testing::StartsWith("injected "))));

	j = Run("amd64", X86_IMAGES "/vmlinuz-debian", X86_BIN_DIR, X86_IMAGES "/busybox", "",
		R"({"TIMEOUT": "abc"})");
	EXPECT_EQ(j.recorded, std::vector<std::string>{"kernel-checks fail"});
}

} // namespace
} // namespace checks
