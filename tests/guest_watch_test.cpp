// SPDX-License-Identifier: GPL-2.0-only
// tests/guests/watch-guest.sh, which bounds every test guest by its own work: a
// stand-in for qemu per row, and the one line that says why it stopped.
#include "support/run.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace checks
{
namespace
{

using testing::HasSubstr;

struct Row {
	const char *name;
	std::vector<std::string> env; // the limits
	std::string guest;	      // a shell script standing in for qemu; $LOG is its console
	int status;
	std::string says; // a pattern of stderr, "" for nothing but the times
};

class GuestWatch : public testing::TestWithParam<Row>
{
};

TEST_P(GuestWatch, StopsTheGuestAndSaysWhy)
{
	const Row &row = GetParam();
	TempDir tmp;
	WriteFile(tmp / "console", "");
	Spawn s;
	s.argv = {WATCH_GUEST_SCRIPT, tmp / "console", "sh", "-c", row.guest};
	s.env = row.env;
	s.env.push_back("LOG=" + tmp / "console");
	s.timeout_ms = 60000;
	Result r = RunSpawn(s);
	EXPECT_EQ(r.exit_code, row.status) << Describe(r);
	EXPECT_THAT(r.err, HasSubstr("guest: ")) << "the guest's times";
	if (row.says.empty())
		EXPECT_THAT(r.err, testing::Not(HasSubstr("last lines"))) << r.err;
	else
		EXPECT_THAT(r.err, testing::ContainsRegex(row.says)) << r.err;
}

INSTANTIATE_TEST_SUITE_P(
    Guests, GuestWatch,
    testing::Values(
	Row{"finishes", {}, "echo @@END >>$LOG", 0, ""}, Row{"fails_to_start", {}, "exit 3", 3, ""},
	// With panic=-1 a panicking guest reboots and qemu exits 0.
	Row{"panics",
	    {},
	    "echo 'Kernel panic - not syncing: Attempted to kill init!' >>$LOG",
	    125,
	    "guest: panicked; the console's last lines:\nguest:   Kernel panic - not syncing"},
	Row{"spins",
	    {"GUEST_CPU_LIMIT=1"},
	    "echo booting >>$LOG; while :; do :; done",
	    124,
	    "guest: hung: it used its 1 s of CPU without finishing; the console's last "
	    "lines:\nguest:   booting"},
	Row{"waits_for_nothing",
	    {"GUEST_IDLE_LIMIT=2"},
	    "exec sleep 50",
	    124,
	    "guest: hung: for 2 s it ran nothing and printed nothing"},
	// Printing keeps it from looking idle; the wall clock ends it, as
	// starving where other tests used the host more than it did.
	Row{"never_ends",
	    {"GUEST_WALL_LIMIT=3", "GUEST_IDLE_LIMIT=60"},
	    "while :; do echo tick >>$LOG; sleep 0.2; done",
	    124,
	    "guest: (hung: in 3 s it had 0 s of CPU and did not finish|starved: in 3 s the "
	    "host gave it 0 s of CPU and others [0-9]+ s)"}),
    [](const testing::TestParamInfo<Row> &info) { return std::string(info.param.name); });

} // namespace
} // namespace checks
