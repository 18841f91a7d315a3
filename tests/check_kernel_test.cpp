// SPDX-License-Identifier: GPL-2.0-only
// scripts/check-kernel from outside, as a kernel developer runs it: on the
// kernels the guest tests build or fetch, the verdict each guest test
// expects and the exit status (plain, or as git bisect run wants it); the
// boots that end before a verdict, each with its Bail out! line; its own bad
// usage; and a real bisection of Debian's linux-source-6.1 that names the
// commit which took the hugetlb RSS patch out.
#include "support/guest_kernel.h"
#include "support/run.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <ostream>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace checks
{
namespace
{

using testing::AllOf;
using testing::Contains;
using testing::ContainsRegex;
using testing::HasSubstr;
using testing::StartsWith;

// The line check-kernel ends a verdict with.
const std::string kTiming =
    "^# check-kernel: boot [0-9.]+ s to init, checks [0-9.]+ s, [0-9.]+ s in all under TCG";

// A kernel the guest tests build (tiny-kernel.sh's flavours) or fetch, with
// the architecture's static programs and busybox; sets `skipped` where any
// of them cannot be had.
struct Image {
	std::string kernel, bin_dir, busybox, skipped;
};

Image Kernel(const std::string &which)
{
	Image i;
	std::string x86 = CacheDir("X86_IMAGES", X86_IMAGES);
	std::string arm64 = CacheDir("ARM64_IMAGES", ARM64_IMAGES);
	if (which.rfind("arm64-", 0) == 0 || which == "nohugetlbfs") {
		i.skipped = ARM64_MISSING;
		i.bin_dir = ARM64_BIN_DIR, i.busybox = arm64 + "/busybox";
		i.kernel = which == "nohugetlbfs" ? BuiltKernel(which, i.skipped)
						  : arm64 + "/vmlinuz-" + which.substr(6);
	} else {
		i.skipped = X86_MISSING;
		i.bin_dir = X86_BIN_DIR, i.busybox = x86 + "/busybox";
		i.kernel =
		    which == "debian" ? x86 + "/vmlinuz-debian" : BuiltKernel(which, i.skipped);
	}
	for (const std::string &path : {i.kernel, i.busybox, i.bin_dir + "/run_checks"})
		if (i.skipped.empty() && !Exists(path))
			i.skipped = "no " + path + " (scripts/setup.sh --tests fetches it)";
	return i;
}

// Runs check-kernel with `args`, under TCG unless they say otherwise (the
// probe has a test of its own), and prints what it printed for the record.
Result CheckKernel(std::vector<std::string> args, const std::vector<std::string> &env = {})
{
	Spawn s;
	s.argv = {CHECK_KERNEL_SCRIPT};
	bool accel = false;
	for (const std::string &a : args)
		accel = accel || a == "--accel";
	if (!accel)
		s.argv.insert(s.argv.end(), {"--accel", "tcg"});
	s.argv.insert(s.argv.end(), args.begin(), args.end());
	s.env = env;
	// The guest's own --timeout bounds a boot; this covers a kernel build.
	s.timeout_ms = 3000000;
	Result r = RunSpawn(s);
	std::cout << r.out << r.err;
	return r;
}

// Boots `image` with `args` before it.
Result Boot(const Image &image, std::vector<std::string> args)
{
	args.insert(args.end(),
		    {"--bin-dir", image.bin_dir, "--busybox", image.busybox, image.kernel});
	return CheckKernel(args);
}

// --- Verdicts: one row a kernel, as its guest test expects it ---

struct VerdictRow {
	const char *name;
	const char *kernel;
	std::vector<std::string> args;
	std::vector<std::string> lines; // each a line of the report
	int status;
};

// Test names say the row, not its bytes.
void PrintTo(const VerdictRow &row, std::ostream *os)
{
	*os << row.name;
}

class CheckKernelVerdict : public testing::TestWithParam<VerdictRow>
{
};

TEST_P(CheckKernelVerdict, PrintsTheGuestsReportAndItsStatus)
{
	const VerdictRow &row = GetParam();
	Image image = Kernel(row.kernel);
	if (!image.skipped.empty())
		GTEST_SKIP() << image.skipped;
	Result r = Boot(image, row.args);
	std::vector<std::string> out = Lines(r.out);
	ASSERT_GE(out.size(), 3u) << Describe(r);
	EXPECT_EQ(out[0], "TAP version 13");
	EXPECT_EQ(out[1], "1..2");
	for (const std::string &line : row.lines)
		EXPECT_THAT(out, Contains(line));
	EXPECT_THAT(out, Contains(StartsWith("# Totals: ")));
	EXPECT_THAT(out.back(), ContainsRegex(kTiming + "$"));
	EXPECT_THAT(r.err, HasSubstr("# check-kernel: TCG: as asked (--accel tcg)\n"));
	EXPECT_EQ(r.exit_code, row.status) << Describe(r);
}

const std::string kPass = "ok 1 rss_map_check";
const std::string kFail = "not ok 1 rss_map_check";
const std::string kThird = "  not ok 3 anonymous_hugetlb";
const std::string k32Mib = "ok 1 rss_map_check # XFAIL the default huge page is 32768 kB, which "
			   "does not divide 16 MiB: the kernel refused to size a hugetlbfs file "
			   "to 16 MiB (Invalid argument)";
const std::string k16Kib = "  ok 1 anonymous # XFAIL the kernel counted 16 MiB as 1024 pages of "
			   "16 KiB; the check counts 4 KiB pages";
const std::vector<std::string> kBisect = {"--bisect"};

INSTANTIATE_TEST_SUITE_P(
    Kernels, CheckKernelVerdict,
    testing::Values(VerdictRow{"Patched61CountingHugePages",
			       "patched",
			       {"--append", "hugetlb_rss=1"},
			       {"  ok 3 anonymous_hugetlb", "  ok 6 anonymous_hugetlb_kept", kPass},
			       0},
		    VerdictRow{"Patched61CountingHugePagesBisect",
			       "patched",
			       {"--bisect", "--append", "hugetlb_rss=1"},
			       {kPass},
			       0},
		    VerdictRow{"Stock61", "patched", {}, {kThird, kFail}, 1},
		    VerdictRow{"Patched612CountingHugePages",
			       "patched-6.12",
			       {"--append", "hugetlb_rss=1"},
			       {"  ok 6 anonymous_hugetlb_kept", kPass},
			       0},
		    VerdictRow{"Stock612Bisect", "patched-6.12", kBisect, {kThird, kFail}, 1},
		    VerdictRow{"DebianAmd64", "debian", {}, {kThird, kFail}, 1},
		    VerdictRow{"DebianArm64FourKib", "arm64-4k", {}, {kThird, kFail}, 1},
		    // The 16 KiB-page kernel as it boots: its default huge page is 32 MiB.
		    VerdictRow{"DebianArm64SixteenKib", "arm64-16k", {}, {k32Mib}, 0},
		    // With 2 MiB huge pages its statm counts 16 KiB pages: an XFAIL at the
		    // first probe, which a bisection counts as a pass.
		    VerdictRow{"DebianArm64SixteenKibTwoMibPagesBisect",
			       "arm64-16k",
			       {"--bisect", "--append", "default_hugepagesz=2M"},
			       {k16Kib},
			       0}),
    [](const auto &info) { return info.param.name; });

// --runs: the first probe's statm error in each run, and the verdicts. The
// 6.12 image reads the counters' exact sum: never a page off.
TEST(CheckKernelRuns, PrintsTheFirstProbesStatmErrorAcrossTheRuns)
{
	Image image = Kernel("patched-6.12");
	if (!image.skipped.empty())
		GTEST_SKIP() << image.skipped;
	Result r = Boot(image, {"--runs", "3", "--append", "hugetlb_rss=1"});
	std::vector<std::string> out = Lines(r.out);
	EXPECT_THAT(out, Contains("# probe 1 statm error, 3 runs on 2 CPUs: min +0, median +0, "
				  "max +0 pages"));
	EXPECT_THAT(out, Contains("# rss_map_check in 3 runs: 3 x ok"));
	EXPECT_THAT(out.back(), ContainsRegex(kTiming + " in 3 runs$"));
	EXPECT_EQ(r.exit_code, 0) << Describe(r);
}

// An all-skipped run checked nothing: 4, and for a bisection 125. Stand-ins
// for the programs (scripts, run by busybox's sh) give that verdict.
TEST(CheckKernelSkip, AnAllSkippedRunIsFourAndForABisection125)
{
	Image image = Kernel("patched");
	if (!image.skipped.empty())
		GTEST_SKIP() << image.skipped;
	TempDir bin;
	const std::string report = "TAP version 13\n1..2\n"
				   "ok 1 rss_map_check # SKIP a stand-in\n"
				   "ok 2 new_file_read_check # SKIP a stand-in\n"
				   "# Totals: pass:0 fail:0 xfail:0 xpass:0 skip:2 error:0\n";
	WriteFile(bin / "run_checks", "#!/bin/sh\nprintf '%s' '" + report + "'\nexit 4\n");
	for (const char *name : {"run_checks", "rss_map_check", "new_file_read_check"}) {
		if (std::string(name) != "run_checks")
			WriteFile(bin / name, "#!/bin/sh\nexit 0\n");
		chmod((bin / name).c_str(), 0755);
	}
	image.bin_dir = bin.path();
	for (bool bisect : {false, true}) {
		Result r = Boot(image, bisect ? kBisect : std::vector<std::string>{});
		EXPECT_THAT(r.out, StartsWith(report));
		EXPECT_EQ(r.exit_code, bisect ? 125 : 4) << Describe(r);
	}
}

// --- Boots that end before a verdict: the console quoted, then why ---

struct BailRow {
	const char *name;
	const char *kernel;
	std::vector<std::string> args;
	std::string bail;   // the Bail out! line
	std::string quoted; // a console line it must quote
	int status;
};

// Test names say the row, not its bytes.
void PrintTo(const BailRow &row, std::ostream *os)
{
	*os << row.name;
}

class CheckKernelBail : public testing::TestWithParam<BailRow>
{
};

TEST_P(CheckKernelBail, QuotesTheConsoleAndSaysWhyNeverAVerdict)
{
	const BailRow &row = GetParam();
	Image image = Kernel(row.kernel);
	if (!image.skipped.empty())
		GTEST_SKIP() << image.skipped;
	Result r = Boot(image, row.args);
	std::vector<std::string> out = Lines(r.out);
	ASSERT_FALSE(out.empty()) << Describe(r);
	EXPECT_EQ(out.front(), "TAP version 13");
	EXPECT_THAT(out, Contains("# the console's last lines:"));
	EXPECT_THAT(out, Contains(AllOf(StartsWith("# | "), HasSubstr(row.quoted))));
	EXPECT_EQ(out.back(), "Bail out! " + row.bail);
	EXPECT_THAT(out, testing::Not(Contains(ContainsRegex("^(not )?ok "))));
	EXPECT_EQ(r.exit_code, row.status) << Describe(r);
}

INSTANTIATE_TEST_SUITE_P(
    Boots, CheckKernelBail,
    testing::Values(
	// With an initramfs the kernel runs its /init whatever init= says:
	// rdinit= names the missing one, init= then panics.
	BailRow{"Panic",
		"patched",
		{"--append", "panic=1 rdinit=/nonexistent init=/nonexistent"},
		"the kernel panicked before the guest's init ran",
		"Kernel panic - not syncing: Requested init /nonexistent failed",
		3},
	BailRow{"PanicBisect",
		"patched",
		{"--bisect", "--append", "panic=1 rdinit=/nonexistent init=/nonexistent"},
		"the kernel panicked before the guest's init ran",
		"Requested init /nonexistent failed",
		125},
	// Without rdinit's program the kernel falls back to /bin/sh, which
	// waits for a console that never types.
	BailRow{"Hang",
		"patched",
		{"--timeout", "20", "--append", "rdinit=/nonexistent"},
		"hung: the guest did not finish in 20 s (--timeout)",
		"can't access tty",
		3},
	// The Android-like kernel the guest tests build has no devtmpfs.
	BailRow{"NoDevtmpfs",
		"nohugetlbfs",
		{},
		"no devtmpfs: mounting it on /dev failed (CONFIG_DEVTMPFS)",
		"mounting devtmpfs on /dev failed",
		3}),
    [](const auto &info) { return info.param.name; });

// KVM where a probe guest reaches its init under it, else TCG: one line
// says which and why, and the timing line agrees. The probe runs here (an
// empty cache holds no earlier answer) and is bounded, whatever the host.
TEST(CheckKernelAccel, AutoSaysWhichAndWhy)
{
	Image image = Kernel("patched");
	if (!image.skipped.empty())
		GTEST_SKIP() << image.skipped;
	TempDir cache;
	Result r = CheckKernel({"--accel", "auto", "--bin-dir", image.bin_dir, "--busybox",
				image.busybox, image.kernel},
			       {"XDG_CACHE_HOME=" + cache.path()});
	std::vector<std::string> err = Lines(r.err);
	EXPECT_THAT(err, Contains(ContainsRegex(
			     "^# check-kernel: (KVM: a probe guest reached its init under KVM in "
			     "[0-9]+ s|TCG: /dev/kvm is there, but a probe guest under it did "
			     "not reach its init in 20 s|TCG: /dev/kvm is not there or not open "
			     "to this user)$")));
	bool kvm = r.err.find("# check-kernel: KVM: ") != std::string::npos;
	EXPECT_THAT(Lines(r.out).back(), HasSubstr(kvm ? "under KVM" : "under TCG"));
	EXPECT_EQ(r.exit_code, 1) << Describe(r); // the stock kernel
}

// --- Its own bad usage: 2, and with --bisect 128, so that git bisect run
// stops rather than call a commit bad ---

struct UsageRow {
	const char *name;
	std::vector<std::string> args;
	std::string message;
	int status;
};

// Test names say the row, not its bytes.
void PrintTo(const UsageRow &row, std::ostream *os)
{
	*os << row.name;
}

class CheckKernelUsage : public testing::TestWithParam<UsageRow>
{
};

TEST_P(CheckKernelUsage, SaysWhatIsWrong)
{
	const UsageRow &row = GetParam();
	Result r = CheckKernel(row.args);
	EXPECT_EQ(r.out, "");
	EXPECT_THAT(r.err, StartsWith("check-kernel: " + row.message + "\nusage: check-kernel"));
	EXPECT_EQ(r.exit_code, row.status);
}

INSTANTIATE_TEST_SUITE_P(
    Usage, CheckKernelUsage,
    testing::Values(UsageRow{"NoImage", {}, "no kernel image", 2},
		    UsageRow{"NoImageBisect", {"--bisect"}, "no kernel image", 128},
		    UsageRow{
			"UnknownOption", {"--frobnicate", "x"}, "unknown option --frobnicate", 2},
		    UsageRow{"NoCpus", {"--cpus", "0", "x"}, "--cpus wants a number from 1: 0", 2},
		    UsageRow{"MissingImage", {"/nonexistent"}, "no such image: /nonexistent", 2},
		    UsageRow{"NotAKernel",
			     {"/bin/true"},
			     "/bin/true is neither an x86 bzImage nor an arm64 Image: give --arch",
			     2},
		    UsageRow{"NotATree",
			     {"--bisect", "--build", "/"},
			     "--build: / is not a kernel source tree",
			     128}),
    [](const auto &info) { return info.param.name; });

// --config: every option of kselftest/config and of the guest's boot that a
// .config lacks is named; one the check cannot do without stops it before
// a boot. The kernel without hugetlbfs lacks three of those.
TEST(CheckKernelConfig, NamesWhatTheConfigLacksAndStopsBeforeBooting)
{
	Image image = Kernel("nohugetlbfs");
	if (!image.skipped.empty())
		GTEST_SKIP() << image.skipped;
	std::string config = image.kernel.substr(0, image.kernel.rfind('/')) + "/config";
	for (bool bisect : {false, true}) {
		std::vector<std::string> args = {"--config", config};
		if (bisect)
			args.push_back("--bisect");
		Result r = Boot(image, args);
		for (const char *option :
		     {"DEVTMPFS", "HUGETLBFS", "HUGETLB_PAGE", "SECCOMP_FILTER"})
			EXPECT_THAT(r.err, HasSubstr("# check-kernel: " + config +
						     " lacks CONFIG_" + option + "=y "));
		EXPECT_EQ(r.out, "TAP version 13\nBail out! " + config +
				     " lacks CONFIG_DEVTMPFS=y CONFIG_HUGETLBFS=y "
				     "CONFIG_HUGETLB_PAGE=y, without which the check cannot run\n");
		EXPECT_EQ(r.exit_code, bisect ? 125 : 3) << Describe(r);
	}
}

// --- The bisection: Debian's linux-source-6.1 in three commits (the
// hugetlb RSS patch applied, reverted, a later change), built by
// check-kernel --build as git bisect run calls it ---

struct Repo {
	std::string path, skipped;
};

Repo BisectRepo()
{
	Spawn s;
	s.argv = {BISECT_REPO_SCRIPT, CacheDir("X86_IMAGES", X86_IMAGES)};
	s.timeout_ms = 1200000;
	Result r = RunSpawn(s);
	Repo repo;
	if (!Exists(GIT)) {
		repo.skipped = "no git";
	} else if (r.exit_code == 3) {
		repo.skipped = "no linux-source-6.1: " + r.err;
	} else if (r.exit_code != 0) {
		ADD_FAILURE() << "the repository was not made: " << Describe(r);
		repo.skipped = "no repository";
	}
	repo.path = r.out.substr(0, r.out.find('\n'));
	if (repo.skipped.empty() && X86_MISSING[0] != '\0')
		repo.skipped = X86_MISSING;
	return repo;
}

// Runs git in `repo`.
Result Git(const std::string &repo, std::vector<std::string> args)
{
	Spawn s;
	s.argv = {GIT, "-C", repo};
	s.argv.insert(s.argv.end(), args.begin(), args.end());
	s.timeout_ms = 3000000;
	return RunSpawn(s);
}

// check-kernel as a bisection runs it on `tree`, the patch switched on.
std::vector<std::string> BuildArgs(const std::string &tree)
{
	return {"--bisect",
		"--bin-dir",
		X86_BIN_DIR,
		"--busybox",
		CacheDir("X86_IMAGES", X86_IMAGES) + "/busybox",
		"--build",
		tree,
		"--append",
		"hugetlb_rss=1"};
}

// The good end passes (else a command that always said "bad" would name
// the same commit), then git bisect run names the revert.
TEST(CheckKernelBisection, NamesTheRevertAsTheFirstBadCommit)
{
	Repo repo = BisectRepo();
	if (!repo.skipped.empty())
		GTEST_SKIP() << repo.skipped;
	ASSERT_EQ(Git(repo.path, {"checkout", "-q", "patched"}).exit_code, 0);
	Result good = CheckKernel(BuildArgs(repo.path));
	EXPECT_THAT(Lines(good.out), Contains("ok 1 rss_map_check"));
	ASSERT_EQ(good.exit_code, 0) << "the good end does not pass: " << Describe(good);

	std::string reverted = Git(repo.path, {"rev-parse", "reverted"}).out;
	if (size_t end = reverted.find('\n'); end != std::string::npos)
		reverted.resize(end);
	ASSERT_EQ(Git(repo.path, {"bisect", "start", "later", "patched"}).exit_code, 0);
	std::vector<std::string> run = {"bisect", "run", CHECK_KERNEL_SCRIPT, "--accel", "tcg"};
	for (const std::string &arg : BuildArgs("."))
		run.push_back(arg);
	Result bisect = Git(repo.path, run);
	Result log = Git(repo.path, {"bisect", "log"});
	Git(repo.path, {"bisect", "reset", "-q"});
	Git(repo.path, {"checkout", "-q", "later"});
	std::cout << bisect.out << bisect.err << "git bisect log:\n" << log.out;
	EXPECT_THAT(bisect.out, HasSubstr(reverted + " is the first bad commit"));
	EXPECT_THAT(bisect.out, HasSubstr("Revert the hugetlb RSS patch"));
	EXPECT_THAT(log.out, HasSubstr("# bad: [" + reverted + "]"));
	EXPECT_EQ(bisect.exit_code, 0) << Describe(bisect);
}

// Kernels built without what the guest's boot needs: the bisection's tree
// with one option off (check-kernel rebuilds only what that changes).
struct WithoutRow {
	const char *name;
	std::string fragment; // the option off
	std::string lacks;    // as check-kernel names it
	std::string quoted;   // a console line quoted, "" for an empty console
	std::string bail;     // how the Bail out! line starts
};

void PrintTo(const WithoutRow &row, std::ostream *os)
{
	*os << row.name;
}

class CheckKernelBuiltWithout : public testing::TestWithParam<WithoutRow>
{
};

TEST_P(CheckKernelBuiltWithout, BailsOutNeverAVerdict)
{
	const WithoutRow &row = GetParam();
	Repo repo = BisectRepo();
	if (!repo.skipped.empty())
		GTEST_SKIP() << repo.skipped;
	std::vector<std::string> args = BuildArgs(repo.path);
	args.erase(args.begin()); // not --bisect: the plain status
	args.insert(args.end(), {"--build-config", row.fragment});
	Result r = CheckKernel(args);
	std::vector<std::string> out = Lines(r.out);
	ASSERT_FALSE(out.empty()) << Describe(r);
	EXPECT_THAT(r.err,
		    HasSubstr("# check-kernel: the build's .config lacks " + row.lacks + "\n"));
	if (row.quoted.empty())
		EXPECT_THAT(out, Contains("# the console stayed empty"));
	else
		EXPECT_THAT(out, Contains(AllOf(StartsWith("# | "), HasSubstr(row.quoted))));
	EXPECT_THAT(out.back(), StartsWith("Bail out! " + row.bail));
	EXPECT_THAT(out, testing::Not(Contains(ContainsRegex("^(not )?ok "))));
	EXPECT_EQ(r.exit_code, 3) << Describe(r);
}

INSTANTIATE_TEST_SUITE_P(Options, CheckKernelBuiltWithout,
			 testing::Values(
			     // With no rootfs to mount (tinyconfig has no block layer) the kernel
			     // looks for an init of its own and panics.
			     WithoutRow{"InitramfsSupport", NOINITRD_CONFIG,
					"CONFIG_BLK_DEV_INITRD=y", "No working init found",
					"no initramfs support: "},
			     // The guest runs and reboots, and the serial port stays silent.
			     WithoutRow{"SerialConsole", NOCONSOLE_CONFIG,
					"CONFIG_SERIAL_8250_CONSOLE=y", "", "no serial console: "}),
			 [](const auto &info) { return info.param.name; });

} // namespace
} // namespace checks
