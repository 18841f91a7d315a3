// SPDX-License-Identifier: GPL-2.0-only
// rss_map_check from outside: exact bytes, statuses, signals and the calls it
// makes, with the kernel's answers steered by the fault shim.
#include "support/hugepages.h"
#include "support/run.h"

#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sstream>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace checks
{
namespace
{

constexpr char kGrow[] =
    "llabs(after - before - length) < 0x40000 || !\"rss didn't grow as expected\"";
constexpr char kShrink[] = "llabs(after - before) < 0x40000 || !\"rss didn't shrink as expected\"";
constexpr char kMmap[] = "p != MAP_FAILED || !\"mmap returned an unexpected error\"";
constexpr char kMunmap[] = "!ret || !\"munmap returned an unexpected error\"";
constexpr char kNoSpace[] = "space || !\"statm has no space before the resident field\"";
constexpr char kReadRss[] = "u64 read_rss(void)";
constexpr char kDoMmap[] = "void do_mmap(int, int, int)";
constexpr char kOpenFile[] = "int open_file(const char *)";

constexpr int kScratchFlags = O_CREAT | O_RDWR | O_TRUNC | O_EXCL | O_LARGEFILE | O_CLOEXEC;
#if defined(__x86_64__)
static_assert(kScratchFlags == 0x802C2);
#elif defined(__aarch64__)
static_assert(kScratchFlags == 0xA02C2);
#endif

std::vector<std::string> WithPrefix(const std::vector<std::string> &lines,
				    const std::string &prefix)
{
	std::vector<std::string> out;
	for (const auto &l : lines)
		if (l.rfind(prefix, 0) == 0)
			out.push_back(l);
	return out;
}

std::string Hex(unsigned v)
{
	std::ostringstream os;
	os << std::hex << "0x" << v;
	return os.str();
}

// Runs under the shim's statm model: no root, no huge pages, exact figures;
// the scratch files live under a private root and the shell is not run.
class ModelRun : public ::testing::Test
{
      protected:
	void SetUp() override
	{
		ASSERT_EQ(mkdir((root_ / "dev").c_str(), 0755), 0);
		ASSERT_EQ(mkdir(shm_dir().c_str(), 0755), 0);
		ASSERT_EQ(mkdir(huge_dir().c_str(), 0755), 0);
	}

	// Each run starts a fresh log.
	Result RunCheck(std::vector<std::string> env = {}, Spawn spawn = {})
	{
		std::remove((root_ / "log").c_str());
		env.insert(env.begin(),
			   {"LD_PRELOAD=" FAULT_SHIM, "SHIM_ROOT=" + root_.path(),
			    "SHIM_STATM=model", "SHIM_SYSTEM=skip", "SHIM_LOG=" + (root_ / "log")});
		if (spawn.argv.empty())
			spawn.argv = ProgramArgv("rss_map_check");
		spawn.env = env;
		return RunSpawn(spawn);
	}

	std::vector<std::string> Log()
	{
		return Lines(ReadFile(root_ / "log"));
	}
	std::string shm_dir()
	{
		return root_ / "dev/shm";
	}
	std::string huge_dir()
	{
		return root_ / "hugepages";
	}
	std::string shm_file()
	{
		return shm_dir() + "/hugetlbhog";
	}
	std::string huge_file()
	{
		return huge_dir() + "/hugetlbhog";
	}

	void ExpectAbortWith(const Result &r, const std::string &report)
	{
		EXPECT_EQ(r.signal, SIGABRT) << Describe(r);
		EXPECT_EQ(r.out, "");
		EXPECT_EQ(r.err, report);
	}

	void ExpectPass(const Result &r)
	{
		EXPECT_EQ(r.exit_code, 0) << Describe(r);
		EXPECT_EQ(r.out, "oll korrekt.\n");
		EXPECT_EQ(r.err, "");
	}

	TempDir root_;
};

TEST_F(ModelRun, AllProbesPassingPrintsTheVerdictAlone)
{
	ExpectPass(RunCheck());
}

TEST_F(ModelRun, ArgumentsAreIgnored)
{
	Spawn spawn;
	spawn.argv = ProgramArgv("rss_map_check", {"-h", "--fail", "x"});
	ExpectPass(RunCheck({}, spawn));
}

TEST_F(ModelRun, SixProbesMapInOrderWithTheirDescriptorsAndFlags)
{
	ExpectPass(RunCheck());
	std::vector<std::string> log = Log();
	std::vector<std::string> opens = WithPrefix(log, "open ");
	ASSERT_EQ(opens.size(), 2u);
	std::string shm_fd = opens[0].substr(opens[0].rfind(' ') + 1);
	std::string huge_fd = opens[1].substr(opens[1].rfind(' ') + 1);

	auto probe = [](const std::string &fd, unsigned flags) {
		return "mmap addr=(nil) length=0x1000000 prot=3 flags=" + Hex(0x8002 | flags) +
		       " fd=" + fd + " offset=0";
	};
	std::vector<std::string> expected = {
	    probe("-1", MAP_ANONYMOUS),
	    probe(shm_fd, 0),
	    probe("-1", MAP_ANONYMOUS | MAP_HUGETLB),
	    probe(huge_fd, 0),
	    probe(huge_fd, MAP_HUGETLB),
	    probe("-1", MAP_ANONYMOUS | MAP_HUGETLB),
	};
	EXPECT_EQ(WithPrefix(log, "mmap "), expected);
	EXPECT_EQ(probe("-1", MAP_ANONYMOUS | MAP_HUGETLB),
		  "mmap addr=(nil) length=0x1000000 prot=3 flags=0x48022 fd=-1 offset=0");
	// The sixth mapping is left to process exit.
	EXPECT_EQ(WithPrefix(log, "munmap "),
		  std::vector<std::string>(5, "munmap length=0x1000000"));
}

TEST_F(ModelRun, ScratchFilesAreCreatedExclusivelyUnnamedAndSized)
{
	ExpectPass(RunCheck());
	std::vector<std::string> log = Log();
	ASSERT_GE(log.size(), 9u);
	std::string flags = " flags=" + Hex(kScratchFlags) + " mode=0600 = ";
	for (int i = 0; i < 2; ++i) {
		std::string path = i == 0 ? "\"/dev/shm/hugetlbhog\"" : "\"/hugepages/hugetlbhog\"";
		const std::string *step = &log[static_cast<size_t>(i * 4)];
		EXPECT_EQ(step[0], "unlink " + path);
		ASSERT_EQ(step[1].rfind("open " + path + flags, 0), 0u) << step[1];
		std::string fd = step[1].substr(step[1].rfind(' ') + 1);
		EXPECT_GT(std::stoi(fd), 2);
		EXPECT_EQ(step[2], "unlink " + path);
		EXPECT_EQ(step[3], "ftruncate fd=" + fd + " length=0x1000000");
	}
	// The huge-page request comes once, after both files, before any probe.
	EXPECT_EQ(log[8], "system \"echo 100 > /proc/sys/vm/nr_hugepages\"");
	EXPECT_EQ(log[9].rfind("mmap ", 0), 0u);
	EXPECT_EQ(WithPrefix(log, "system ").size(), 1u);
}

// Tolerance: a difference of 63 pages passes, 64 fails, either way, for every
// probe's growth and every released probe's shrink.
TEST_F(ModelRun, GrowthWithin63PagesPassesAt64Fails)
{
	for (int k = 1; k <= 6; ++k) {
		SCOPED_TRACE("probe " + std::to_string(k));
		std::string after = "SHIM_BIAS_AFTER=mmap:" + std::to_string(k);
		ExpectPass(RunCheck({after, "SHIM_BIAS_PAGES=63"}));
		ExpectPass(RunCheck({after, "SHIM_BIAS_PAGES=-63"}));
		ExpectAbortWith(RunCheck({after, "SHIM_BIAS_PAGES=64"}),
				CheckReport(kDoMmap, kGrow));
		ExpectAbortWith(RunCheck({after, "SHIM_BIAS_PAGES=-64"}),
				CheckReport(kDoMmap, kGrow));
	}
}

TEST_F(ModelRun, ShrinkWithin63PagesPassesAt64Fails)
{
	for (int k = 1; k <= 5; ++k) {
		SCOPED_TRACE("probe " + std::to_string(k));
		std::string after = "SHIM_BIAS_AFTER=munmap:" + std::to_string(k);
		ExpectPass(RunCheck({after, "SHIM_BIAS_PAGES=63"}));
		ExpectPass(RunCheck({after, "SHIM_BIAS_PAGES=-63"}));
		ExpectAbortWith(RunCheck({after, "SHIM_BIAS_PAGES=64"}),
				CheckReport(kDoMmap, kShrink));
		ExpectAbortWith(RunCheck({after, "SHIM_BIAS_PAGES=-64"}),
				CheckReport(kDoMmap, kShrink));
	}
}

TEST_F(ModelRun, RefusedMappingOfAnyProbeFailsTheMmapCheck)
{
	for (int k = 1; k <= 6; ++k) {
		SCOPED_TRACE("probe " + std::to_string(k));
		ExpectAbortWith(RunCheck({"SHIM_FAIL_MMAP=" + std::to_string(k)}),
				CheckReport(kDoMmap, kMmap));
		EXPECT_EQ(WithPrefix(Log(), "mmap ").size(), static_cast<size_t>(k));
	}
}

TEST_F(ModelRun, RefusedUnmappingFailsTheMunmapCheck)
{
	for (int k = 1; k <= 5; ++k) {
		SCOPED_TRACE("probe " + std::to_string(k));
		ExpectAbortWith(RunCheck({"SHIM_FAIL_MUNMAP=" + std::to_string(k)}),
				CheckReport(kDoMmap, kMunmap));
	}
}

TEST_F(ModelRun, RefusedTruncationFailsTheErrCheck)
{
	ExpectAbortWith(RunCheck({"SHIM_FAIL_FTRUNCATE=1"}), CheckReport(kOpenFile, "!err"));
}

TEST_F(ModelRun, ScratchFileThatCannotBeCreatedFailsOpenFile)
{
	ExpectAbortWith(RunCheck({"SHIM_FAIL_OPEN=/dev/shm/hugetlbhog"}),
			CheckReport(kOpenFile, "fd > 2"));
	ExpectAbortWith(RunCheck({"SHIM_FAIL_OPEN=/hugepages/hugetlbhog"}),
			CheckReport(kOpenFile, "fd > 2"));
	ASSERT_EQ(rmdir(huge_dir().c_str()), 0); // no hugetlbfs mounted: no directory either
	ExpectAbortWith(RunCheck(), CheckReport(kOpenFile, "fd > 2"));
}

TEST_F(ModelRun, UnreadableStatmFailsReadRss)
{
	ExpectAbortWith(RunCheck({"SHIM_FAIL_OPEN=/proc/self/statm"}),
			CheckReport(kReadRss, "fd > 2"));
}

// A statm text with no space (or an empty read, which leaves the zeroed
// buffer) is a failed check, not a crash.
TEST_F(ModelRun, StatmWithoutResidentFieldFailsReadRss)
{
	ExpectAbortWith(RunCheck({"SHIM_STATM=empty"}), CheckReport(kReadRss, kNoSpace));
	ExpectAbortWith(RunCheck({"SHIM_STATM=text", "SHIM_STATM_TEXT=12345\n"}),
			CheckReport(kReadRss, kNoSpace));
	ExpectAbortWith(RunCheck({"SHIM_STATM=text", "SHIM_STATM_TEXT="}),
			CheckReport(kReadRss, kNoSpace));
}

// The model keeps the first field fixed and moves the second: only a reader
// of the second field sees the growth.
TEST_F(ModelRun, ResidentCountIsTheSecondField)
{
	ExpectPass(RunCheck());
	ExpectAbortWith(RunCheck({"SHIM_STATM=text", "SHIM_STATM_TEXT=900 300 0 0 0 0 0\n"}),
			CheckReport(kDoMmap, kGrow));
	EXPECT_EQ(WithPrefix(Log(), "mmap ").size(), 1u);
}

// The resident field is converted as strtoull converts it: white space and
// a plus sign before the digits are skipped, and a minus sign negates, which
// turns the growth into a drop.
TEST_F(ModelRun, ResidentCountIsConvertedAsStrtoullDoes)
{
	ExpectPass(RunCheck({"SHIM_MODEL_SEP= \t\n\v\f\r+"}));
	ExpectPass(RunCheck({"SHIM_MODEL_SEP= 000"}));
	ExpectAbortWith(RunCheck({"SHIM_MODEL_SEP= -"}), CheckReport(kDoMmap, kGrow));
	EXPECT_EQ(WithPrefix(Log(), "mmap ").size(), 1u);
	// Saturated at the largest value before and after: no growth.
	ExpectAbortWith(RunCheck({"SHIM_MODEL_SEP= 99999999999999999999"}),
			CheckReport(kDoMmap, kGrow));
}

// statm counts in the kernel's pages, but the check scales by 4096: on a
// 16 KiB-page kernel 16 MiB shows as 4 MiB and the first probe fails.
TEST_F(ModelRun, SixteenKibPagesFailTheFirstGrowthCheck)
{
	ExpectAbortWith(RunCheck({"SHIM_PAGE_KB=16"}), CheckReport(kDoMmap, kGrow));
	EXPECT_EQ(WithPrefix(Log(), "mmap ").size(), 1u);
}

TEST_F(ModelRun, NoScratchFileRemainsAfterPassOrFail)
{
	ExpectPass(RunCheck());
	EXPECT_FALSE(Exists(shm_file()));
	EXPECT_FALSE(Exists(huge_file()));
	ExpectAbortWith(RunCheck({"SHIM_FAIL_MMAP=4"}), CheckReport(kDoMmap, kMmap));
	EXPECT_FALSE(Exists(shm_file()));
	EXPECT_FALSE(Exists(huge_file()));
}

TEST_F(ModelRun, LeftoverScratchFilesAreReplaced)
{
	WriteFile(shm_file(), "left over");
	WriteFile(huge_file(), "left over");
	ExpectPass(RunCheck());
	EXPECT_FALSE(Exists(shm_file()));
	EXPECT_FALSE(Exists(huge_file()));
}

TEST_F(ModelRun, LeftoverDirectoryUnderAScratchNameFailsOpenFile)
{
	ASSERT_EQ(mkdir(huge_file().c_str(), 0755), 0);
	ExpectAbortWith(RunCheck(), CheckReport(kOpenFile, "fd > 2"));
	EXPECT_TRUE(Exists(huge_file()));
	EXPECT_FALSE(Exists(shm_file()));
}

// With a standard descriptor closed the first scratch file gets it: the
// check fails and, its name not yet dropped, the file stays.
TEST_F(ModelRun, ClosedStandardDescriptorFailsOpenFile)
{
	for (int fd : {0, 1}) {
		SCOPED_TRACE("closed fd " + std::to_string(fd));
		Spawn spawn;
		spawn.closed_fds = {fd};
		Result r = RunCheck({}, spawn);
		EXPECT_EQ(r.signal, SIGABRT) << Describe(r);
		EXPECT_EQ(r.err, CheckReport(kOpenFile, "fd > 2"));
		EXPECT_TRUE(Exists(shm_file()));
		std::remove(shm_file().c_str());
	}
}

// As root on a kernel with a huge-page pool: real mappings, real statm, and
// the shim adding HugetlbPages to the resident field as an accounting kernel
// would. Every probe then runs and passes.
TEST(SimulatedHugePageAccounting, AllSixProbesPassOnRealMappings)
{
	HugePageSystem system;
	if (std::string why = system.Prepare(); !why.empty())
		GTEST_SKIP() << why;
	TempDir tmp;
	Result r = RunProgram(
	    "rss_map_check", {},
	    {"LD_PRELOAD=" FAULT_SHIM, "SHIM_STATM=hugetlb", "SHIM_LOG=" + (tmp / "log")});
	EXPECT_EQ(r.exit_code, 0) << Describe(r);
	EXPECT_EQ(r.out, "oll korrekt.\n");
	EXPECT_EQ(r.err, "");
	EXPECT_EQ(WithPrefix(Lines(ReadFile(tmp / "log")), "mmap ").size(), 6u);
	EXPECT_EQ(ReadHugePageCount(), 100); // the program's own request, left in place
	EXPECT_FALSE(Exists("/dev/shm/hugetlbhog"));
	EXPECT_FALSE(Exists("/hugepages/hugetlbhog"));
}

class RealKernel : public ::testing::Test
{
      protected:
	void SetUp() override
	{
		if (std::string why = system_.Prepare(); !why.empty())
			GTEST_SKIP() << why;
		system_.SetCount(100);
		counts_ = KernelCountsHugePagesInStatm();
		if (counts_ < 0)
			GTEST_SKIP()
			    << "no 16 MiB of huge pages could be mapped to measure the kernel";
	}

	HugePageSystem system_;
	int counts_ = -1;
};

// This machine's kernel leaves huge pages out of statm: the correct verdict
// is the growth check failing at the third probe, the first huge-page one.
TEST_F(RealKernel, WithoutHugePageAccountingGrowthFailsAtThirdProbe)
{
	if (counts_ == 1)
		GTEST_SKIP() << "this kernel counts huge pages in statm; see the passing case";
	Result r = RunProgram("rss_map_check");
	EXPECT_EQ(r.signal, SIGABRT) << Describe(r);
	EXPECT_EQ(r.out, "");
	EXPECT_EQ(r.err, CheckReport(kDoMmap, kGrow));

	TempDir tmp;
	r = RunProgram("rss_map_check", {},
		       {"LD_PRELOAD=" FAULT_SHIM, "SHIM_LOG=" + (tmp / "log")});
	EXPECT_EQ(r.err, CheckReport(kDoMmap, kGrow));
	EXPECT_EQ(WithPrefix(Lines(ReadFile(tmp / "log")), "mmap ").size(), 3u);
	EXPECT_FALSE(Exists("/dev/shm/hugetlbhog"));
	EXPECT_FALSE(Exists("/hugepages/hugetlbhog"));
}

TEST_F(RealKernel, WithHugePageAccountingAllProbesPass)
{
	if (counts_ == 0)
		GTEST_SKIP()
		    << "this kernel leaves huge pages out of statm, so the check "
		       "rightly fails; see WithoutHugePageAccountingGrowthFailsAtThirdProbe";
	Result r = RunProgram("rss_map_check");
	EXPECT_EQ(r.exit_code, 0) << Describe(r);
	EXPECT_EQ(r.out, "oll korrekt.\n");
	EXPECT_EQ(r.err, "");
}

} // namespace
} // namespace checks
