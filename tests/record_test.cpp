// SPDX-License-Identifier: GPL-2.0-only
// The undo list's record: its text and its rule for a written value, built
// from the runner's own code: no root, no files.
#include "../run_checks/record.h"

#include <gtest/gtest.h>
#include <string>

namespace
{

undo_step Step(undo_kind kind, const char *path)
{
	undo_step s = {};
	s.kind = kind;
	snprintf(s.path, sizeof(s.path), "%s", path);
	return s;
}

record Sample()
{
	record r;
	r.pid = 4242;
	snprintf(r.boot, sizeof(r.boot), "0c3b1d2e-aaaa-4bbb-8ccc-123456789abc");
	r.steps = 5;
	r.step[0] = Step(UNDO_RMDIR, "/hugepages");
	r.step[0].dev = 2049;
	r.step[0].ino = 917505;
	snprintf(r.step[0].inner, sizeof(r.step[0].inner), ".made-by-run_checks");
	r.step[1] = Step(UNDO_RMDIR, "/tmp/a dir with spaces/run_checks.1");
	r.step[1].ino = 1234;
	r.step[2] = Step(UNDO_UNMOUNT, "/hugepages");
	r.step[2].mount_id = 77;
	r.step[2].fs_magic = 0x958458f6;
	snprintf(r.step[2].fs, sizeof(r.step[2].fs), "hugetlbfs");
	r.step[3] = Step(UNDO_WRITE, "/proc/sys/vm/nr_hugepages");
	r.step[3].found = 3;
	r.step[3].set = 100;
	r.step[4] = Step(UNDO_WAIT, "/");
	r.step[4].pid = 31337;
	r.step[4].start = 4200;
	r.step[4].pid_ns = 4026532001;
	return r;
}

std::string Text(const record &r)
{
	static char text[UNDO_STEPS * (UNDO_PATH + 96)];
	int n = record_format(&r, text, sizeof(text));
	return n < 0 ? "" : std::string(text, static_cast<size_t>(n));
}

void ExpectSameStep(const undo_step &a, const undo_step &b)
{
	EXPECT_EQ(a.kind, b.kind);
	EXPECT_EQ(a.found, b.found);
	EXPECT_EQ(a.set, b.set);
	EXPECT_EQ(a.mount_id, b.mount_id);
	EXPECT_EQ(a.fs_magic, b.fs_magic);
	EXPECT_STREQ(a.fs, b.fs);
	EXPECT_EQ(a.dev, b.dev);
	EXPECT_EQ(a.ino, b.ino);
	EXPECT_STREQ(a.inner, b.inner);
	EXPECT_EQ(a.pid, b.pid);
	EXPECT_EQ(a.start, b.start);
	EXPECT_EQ(a.pid_ns, b.pid_ns);
	if (a.kind != UNDO_WAIT) {
		EXPECT_STREQ(a.path, b.path);
	}
}

TEST(Record, ReadsBackWhatItWrote)
{
	static record out;
	ASSERT_TRUE(record_parse(Text(Sample()).c_str(), &out)) << Text(Sample());
	EXPECT_EQ(out.pid, 4242);
	EXPECT_STREQ(out.boot, Sample().boot);
	ASSERT_EQ(out.steps, 5);
	for (int i = 0; i < 5; i++)
		ExpectSameStep(out.step[i], Sample().step[i]);
}

// What dies with the process (a mount in its namespace, leaving it) is
// undone in the process alone: never recorded.
TEST(Record, LocalStepsAreNotRecorded)
{
	static record r;
	r = Sample();
	r.step[2].local = true;
	static record out;
	ASSERT_TRUE(record_parse(Text(r).c_str(), &out));
	ASSERT_EQ(out.steps, 4);
	ExpectSameStep(out.step[2], Sample().step[3]);
}

// A record left by a run from before the list (and from before /dev/shm
// could be made) still replays: the same steps, by their fixed names.
TEST(Record, TheFixedFormOfEarlierRunsStillReads)
{
	static record out;
	ASSERT_TRUE(
	    record_parse("pid 9\nboot x\nnr_hugepages 3 100\nmount 77\nmade_dir 5\n", &out));
	ASSERT_EQ(out.steps, 3);
	EXPECT_EQ(out.step[0].kind, UNDO_RMDIR);
	EXPECT_EQ(out.step[0].ino, 5u);
	EXPECT_STREQ(out.step[0].path, "/hugepages");
	EXPECT_STREQ(out.step[0].inner, ".made-by-run_checks");
	EXPECT_EQ(out.step[1].kind, UNDO_UNMOUNT);
	EXPECT_EQ(out.step[1].mount_id, 77);
	EXPECT_EQ(out.step[2].kind, UNDO_WRITE);
	EXPECT_EQ(out.step[2].found, 3);
	EXPECT_EQ(out.step[2].set, 100);
	ASSERT_TRUE(record_parse("pid 9\nboot x\nnr_hugepages -1 -1\nmount -1\nmade_dir 0\n"
				 "made_shm 8\n",
				 &out));
	ASSERT_EQ(out.steps, 1);
	EXPECT_STREQ(out.step[0].path, "/dev/shm");
	// Both: /dev/shm goes after /hugepages, as those runs removed them.
	ASSERT_TRUE(record_parse("pid 9\nboot x\nnr_hugepages -1 -1\nmount -1\nmade_dir 5\n"
				 "made_shm 8\n",
				 &out));
	ASSERT_EQ(out.steps, 2);
	EXPECT_STREQ(out.step[0].path, "/dev/shm");
	EXPECT_STREQ(out.step[1].path, "/hugepages");
}

// Registered before it was made, a directory has no identity yet (device
// and inode 0); a mount, no id (0).
TEST(Record, AStepRegisteredBeforeItsChangeReadsWithoutIdentity)
{
	static record out;
	ASSERT_TRUE(record_parse("pid 9\nboot x\nrmdir 0 0 .made-by-run_checks /hugepages\n"
				 "unmount 0 958458f6 hugetlbfs /hugepages\n",
				 &out));
	ASSERT_EQ(out.steps, 2);
	EXPECT_EQ(out.step[0].ino, 0u);
	EXPECT_STREQ(out.step[0].path, "/hugepages");
	EXPECT_EQ(out.step[1].mount_id, 0);
}

// Anything but a whole record is damaged: never replayed in part.
TEST(Record, DamagedTextIsRefusedAndLeavesNothingRead)
{
	std::string whole = Text(Sample());
	for (std::string text : {
		 std::string(""),
		 whole.substr(0, whole.size() - 1),
		 whole.substr(0, whole.find("unmount")) + "unmount 77",
		 whole + "extra\n",
		 whole + "write 1 2 relative/path\n",
		 whole + "rmdir 1 0 - /zero/inode\n",
		 whole + "write -3 100 /proc/x\n",
		 whole + "wait 0 4200 4026532001\n",
		 whole + "wait 12 -1 4026532001\n",
		 whole + "wait 12 4200\n",
		 whole + "wait 12 4200 0\n",
		 whole + "wait 12 4200 4026532001 /proc\n",
		 std::string("pid 0\nboot x\n"),
		 std::string("\n\n\n"),
		 std::string("pid 1\nboot x\nnr_hugepages"),
		 std::string("pid 0\nboot x\nnr_hugepages 3 100\nmount -1\nmade_dir 0\n"),
		 std::string("pid 9\nboot x\nnr_hugepages 3 -1\nmount -1\nmade_dir 0\n"),
		 std::string(
		     "pid 9\nboot x\nnr_hugepages 3 100\nmount -1\nmade_dir 0\nmade_shm x\n"),
	     }) {
		SCOPED_TRACE(text);
		static record out;
		out.pid = 77;
		EXPECT_FALSE(record_parse(text.c_str(), &out));
		EXPECT_EQ(out.pid, 77) << "a damaged record changed what it was read into";
	}
}

TEST(Record, TooSmallABufferIsRefused)
{
	char text[64];
	record r = Sample();
	EXPECT_EQ(record_format(&r, text, sizeof(text)), -1);
}

// A value is written back while it reads anything the run's own work can
// leave (the write stopped part way, fewer pages granted, the check's own
// request), and left where someone else moved it outside that.
TEST(Record, AWriteIsUndoneWhileItIsTheRunsOwnWork)
{
	struct Case {
		long found, set, now;
		write_action action;
	} cases[] = {
	    {3, 100, 100, WRITE_RESTORE}, {100, 100, 100, WRITE_RESTORE},
	    {3, 100, 31, WRITE_RESTORE},  {3, 100, 4, WRITE_RESTORE},
	    {3, 100, 3, WRITE_UNCHANGED}, {3, 100, 130, WRITE_LEAVE},
	    {3, 100, 2, WRITE_LEAVE},	  {200, 100, 150, WRITE_RESTORE},
	    {200, 100, 99, WRITE_LEAVE},  {0, 100, -1, WRITE_LEAVE},
	};
	for (const Case &c : cases) {
		undo_step s = Step(UNDO_WRITE, "/proc/sys/vm/nr_hugepages");
		s.found = c.found;
		s.set = c.set;
		EXPECT_EQ(record_write_action(&s, c.now), c.action)
		    << c.found << " " << c.set << " " << c.now;
	}
}

} // namespace
