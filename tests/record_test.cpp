// SPDX-License-Identifier: GPL-2.0-only
// The run record's text and replay rules, built from the runner's own code:
// no root, no files.
#include "../run_checks/record.h"

#include <gtest/gtest.h>
#include <string>

namespace
{

record Sample()
{
	record r;
	r.pid = 4242;
	snprintf(r.boot, sizeof(r.boot), "0c3b1d2e-aaaa-4bbb-8ccc-123456789abc");
	r.found_pages = 3;
	r.set_pages = 100;
	r.mount_id = -1;
	r.dir_ino = 917505;
	r.shm_ino = 1234;
	return r;
}

std::string Text(const record &r)
{
	char text[320];
	int n = record_format(&r, text, sizeof(text));
	return n < 0 ? "" : std::string(text, static_cast<size_t>(n));
}

TEST(Record, ReadsBackWhatItWrote)
{
	record out;
	ASSERT_TRUE(record_parse(Text(Sample()).c_str(), &out));
	EXPECT_EQ(out.pid, 4242);
	EXPECT_STREQ(out.boot, Sample().boot);
	EXPECT_EQ(out.found_pages, 3);
	EXPECT_EQ(out.set_pages, 100);
	EXPECT_EQ(out.mount_id, -1);
	EXPECT_EQ(out.dir_ino, 917505u);
	EXPECT_EQ(out.shm_ino, 1234u);
}

// A record left by a run from before /dev/shm could be made still replays.
TEST(Record, ARecordWithoutTheShmLineStillReads)
{
	record out;
	ASSERT_TRUE(
	    record_parse("pid 9\nboot x\nnr_hugepages 3 100\nmount -1\nmade_dir 5\n", &out));
	EXPECT_EQ(out.dir_ino, 5u);
	EXPECT_EQ(out.shm_ino, 0u);
}

// Anything but a whole record is damaged: never replayed in part.
TEST(Record, DamagedTextIsRefusedAndLeavesNothingRead)
{
	std::string whole = Text(Sample());
	for (std::string text :
	     {std::string(""), whole.substr(0, whole.size() - 1),
	      whole.substr(0, whole.find("mount")), whole + "extra\n",
	      std::string("pid 1\nboot x\nnr_hugepages"), std::string("\n\n\n"),
	      std::string("pid 0\nboot x\nnr_hugepages 3 100\nmount -1\nmade_dir 0\n"),
	      std::string("pid 9\nboot x\nnr_hugepages 3 -1\nmount -1\nmade_dir 0\n"),
	      std::string(
		  "pid 9\nboot x\nnr_hugepages 3 100\nmount -1\nmade_dir 0\nmade_shm x\n")}) {
		SCOPED_TRACE(text);
		record out;
		out.pid = 77;
		EXPECT_FALSE(record_parse(text.c_str(), &out));
		EXPECT_EQ(out.pid, 77) << "a damaged record changed what it was read into";
	}
}

TEST(Record, TooSmallABufferIsRefused)
{
	char text[16];
	record r = Sample();
	EXPECT_EQ(record_format(&r, text, sizeof(text)), -1);
}

// The count is put back only while it is still what the run set.
TEST(Record, CountIsRestoredOnlyWhileItIsWhatTheRunSet)
{
	struct Case {
		long found, set, now;
		count_action action;
	} cases[] = {
	    {3, 100, 100, COUNT_RESTORE},   {3, 100, 30, COUNT_LEAVE}, {3, 100, 3, COUNT_LEAVE},
	    {-1, -1, 100, COUNT_UNTOUCHED}, {0, 100, -1, COUNT_LEAVE},
	};
	for (const Case &c : cases) {
		record r = Sample();
		r.found_pages = c.found;
		r.set_pages = c.set;
		EXPECT_EQ(record_count_action(&r, c.now), c.action)
		    << c.found << " " << c.set << " " << c.now;
	}
}

} // namespace
