// SPDX-License-Identifier: GPL-2.0-only
// The verdict on rss_map_check, in-process, from the runner's own code: one
// row a rule, each with made-up figures of what the check did, what the
// trace and the kernel's account saw, the machine and the options. No root,
// no /proc, no kernel: every rule, including those this kernel cannot show.
#include "../run_checks/environment.h"
#include "../run_checks/memory_limits.h"
#include "../run_checks/probes.h"
#include "../run_checks/verdict.h"

#include <errno.h>
#include <functional>
#include <gtest/gtest.h>
#include <signal.h>
#include <string.h>
#include <string>

namespace
{

constexpr long kPages = CHECK_KB / 4; // 16 MiB in 4 KiB pages

// A run of the check, and the machine it ran on; by default a pass on a
// 4 KiB-page 6.1 kernel with two CPUs, every probe exact.
struct Case {
	child_result r = {};
	trace t = {};
	kernel_account own = {}; // what a child of the runner's would measure
	bool damaged = false;
	memcg cg = {};
	rss_setting set = {};

	Case()
	{
		set.release = "6.1.0-28-amd64";
		set.cpus = 2;
		set.base_kb = 4;
		set.huge_kb = 2048;
		set.fits = true;
		set.oom_before = set.oom_after = {3, -1};
		set.memcg = &cg;
		set.planted = "";
		set.shm_free_kb = -1;
		set.statm_exact = -1;
		set.timeout_s = 30;
		snprintf(cg.path, sizeof(cg.path), "/lab/job");
		cg.limit_kb = 65536;
		t.mode = TRACE_SECCOMP;
		for (int i = 0; i < PROBES; i++)
			Probe(i, huge(i) ? 0 : kPages, huge(i) ? 0 : CHECK_KB);
		Exit(0, PASS_TEXT);
	}
	static bool huge(int i)
	{
		return probes[i].extra_flags & MAP_HUGETLB || probes[i].file == HUGETLBFS_FILE;
	}
	// Probe `i` mapped, statm and the page walk grown by these, then unmapped
	// back to where they were; the probes after it not reached.
	void Probe(int i, long statm_pages, long walked_kb)
	{
		probe_seen *p = &t.probe[i];
		*p = {0x8022,
		      -1,
		      true,
		      0x7f0000000000,
		      probes[i].unmapped,
		      0,
		      {1000, 1000 + statm_pages, 1000},
		      {4000, 4000 + walked_kb, 4000},
		      {0, huge(i) ? CHECK_KB : 0, 0},
		      {-1, -1, -1}, // the kernel does not say where it ran
		      -1,
		      -1};
		t.probes = i + 1;
	}
	void Exit(int code, const char *out)
	{
		r.status = code << 8;
		r.out_len = strlen(out);
		memcpy(r.out, out, r.out_len);
	}
	void Abort(int probes_seen, const char *report)
	{
		t.probes = probes_seen;
		r = {};
		r.status = SIGABRT;
		r.err_len = strlen(report);
		memcpy(r.err, report, r.err_len);
	}
};

constexpr char kGrowth[] = "rss_map_check.cpp:88: ... \"rss didn't grow as expected\" failed";
constexpr char kShrink[] = "rss_map_check.cpp:97: ... \"rss didn't shrink as expected\" failed";
constexpr char kMmap[] = "... \"mmap returned an unexpected error\" failed";
constexpr char kMunmap[] = "... \"munmap returned an unexpected error\" failed";
constexpr char kOpenFile[] = "rss_map_check.cpp:40: int open_file(const char *): assertion "
			     "\"ftruncate(fd, length) == 0\" failed";

// The growth check failing at anonymous, statm `miss` pages short while the
// page walk shows `walked_kb`, on `cpus` CPUs of kernel `release`.
void Lag(Case &c, const char *release, long cpus, long miss, long walked_kb = CHECK_KB)
{
	c.set.release = release;
	c.set.cpus = cpus;
	c.Probe(0, kPages - miss, walked_kb);
	c.t.probe[0].unmap_seen = false;
	c.Abort(1, kGrowth);
}

// The same, the kernel saying the check moved `moves` times in its mmap.
void LagMoving(Case &c, long cpus, long miss, long moves)
{
	Lag(c, "6.12.9", cpus, miss);
	c.t.probe[0].migrations[0] = 7;
	c.t.probe[0].migrations[1] = 7 + moves;
}

// SIGKILL, not at the timeout, after the first probe.
void KilledAfterOneProbe(Case &c)
{
	c.r = {};
	c.r.status = SIGKILL;
	c.t.probes = 1;
}

// Without a namespace, the shared-memory scratch name (probe 1's file) was
// taken during the run; the check failed to open a file with `seen` probes
// made.
void ShmNameTakenThenOpenFailed(Case &c, int seen)
{
	c.Abort(seen, kOpenFile);
	c.set.planted = "/dev/shm/hugetlbhog exists and is not a regular file (owner uid 65534)";
	c.set.planted_probe = 1;
}

// Without a namespace, the growth check failed at the shared-memory file
// with /dev/shm measured at `free_kb` after the check.
void ShmFullThenGrowthFailed(Case &c, long free_kb)
{
	c.Probe(1, 0, 0);
	c.t.probe[1].unmap_seen = false;
	c.Abort(2, kGrowth);
	c.set.shm_free_kb = free_kb;
}

// The huge page pool at anonymous_hugetlb's refused mmap.
void PoolAtRefusal(Case &c, long free, long resv)
{
	c.Probe(2, 0, 0);
	c.t.probe[2].mapped = -ENOMEM;
	c.t.probe[2].pool_free = free;
	c.t.probe[2].pool_resv = resv;
	c.Abort(3, kMmap);
}

struct Row {
	const char *rule;
	std::function<void(Case &)> arrange;
	ktap_verdict verdict;
	const char *reason;   // a part of the top result's reason, or ""
	const char *subtests; // p, f, x, s or t a subtest, then "/NAME:v" for one of its own
};

void PrintTo(const Row &row, std::ostream *os)
{
	*os << row.rule;
}

const Row kRows[] = {
    {"a pass is six passes", [](Case &) {}, KTAP_PASS, "", "pppppp"},
    {"a pass untraced has no subtests",
     [](Case &c) {
	     c.t.mode = TRACE_OFF;
	     c.t.probes = 0;
     },
     KTAP_PASS, "", ""},
    {"output after the pass text fails after the last probe",
     [](Case &c) { c.Exit(0, "oll korrekt.\nmore\n"); }, KTAP_FAIL, "",
     "pppppp/after_anonymous_hugetlb_kept:f"},
    {"its own status 127 is a failure, not a skip",
     [](Case &c) {
	     c.t.probes = 0;
	     c.Exit(127, "");
     },
     KTAP_FAIL, "", "ssssss/before_probes:f"},
    {"a check that cannot be started is a skip",
     [](Case &c) {
	     c.r = {};
	     c.t.probes = 0;
	     c.r.start_errno = ENOENT;
	     c.r.start_what = "exec";
     },
     KTAP_SKIP, "cannot start the check: No such file or directory", ""},
    {"the pass text without all six mappings is a failure", [](Case &c) { c.t.probes = 4; },
     KTAP_FAIL, "", "ppppss/after_hugetlbfs_file:f"},
    {"growth failing at a huge probe is blamed on it",
     [](Case &c) {
	     c.t.probe[2].unmap_seen = false;
	     c.Abort(3, kGrowth);
     },
     KTAP_FAIL, "", "ppfsss"},
    {"shrink failing where the page walk agrees with statm",
     [](Case &c) {
	     c.t.probe[0].statm[2] += 200;
	     c.t.probe[0].rss_kb[2] += 800;
	     c.Abort(1, kShrink);
     },
     KTAP_FAIL, "", "fsssss"},
    {"mmap refused before the kernel saw it is blamed on the next probe",
     [](Case &c) { c.Abort(2, kMmap); }, KTAP_FAIL, "", "ppfsss"},
    {"munmap refused",
     [](Case &c) {
	     c.t.probe[1].unmapped = -EINVAL;
	     c.Abort(2, kMunmap);
     },
     KTAP_FAIL, "", "pfssss"},
    {"a timeout is the blamed probe's",
     [](Case &c) {
	     c.t.probe[1].returned = false; // the check was killed inside mmap
	     c.t.probe[1].mapped = -ENOSYS;
	     c.t.probe[1].unmap_seen = false;
	     c.t.probes = 2;
	     c.r = {};
	     c.r.status = SIGKILL;
	     c.r.timed_out = 1;
     },
     KTAP_TIMEOUT, "30", "ptssss"},
    {"damage fails a pass in a subtest of its own", [](Case &c) { c.damaged = true; }, KTAP_FAIL,
     "", "pppppp/kernel_damage:f"},
    // The counters' lag: 64 events a task before 6.2; from 6.2
    // max(32, 2 x CPUs) pages on each CPU, across all of them.
    {"lag before 6.2 at its bound of 64 pages is an XFAIL", [](Case &c) { Lag(c, "6.1.0", 2, 64); },
     KTAP_XFAIL, "a miss of 64 pages within the 64", "xsssss"},
    {"lag before 6.2 one page past its bound fails", [](Case &c) { Lag(c, "6.1.0", 2, 65); },
     KTAP_FAIL, "", "fsssss"},
    {"lag from 6.2 is bounded across the CPUs, not per CPU",
     [](Case &c) { Lag(c, "6.12.9", 38, 100); }, KTAP_XFAIL, "a miss of 100 pages within the 2888",
     "xsssss"},
    {"lag from 6.2 past the bound across the CPUs fails", [](Case &c) { Lag(c, "6.12.9", 2, 129); },
     KTAP_FAIL, "", "fsssss"},
    {"lag from 6.2 is a batch for each CPU the check ran on",
     [](Case &c) { LagMoving(c, 64, 100, 0); }, KTAP_XFAIL,
     "a miss of 100 pages within the 128 the kernel's counters may lag (from 6.2: "
     "max(32, 2 x 64 CPUs) per CPU, on the 1 the check ran on)",
     "xsssss"},
    {"lag past a batch on the one CPU the check ran on fails",
     [](Case &c) { LagMoving(c, 64, 200, 0); }, KTAP_FAIL, "", "fsssss"},
    {"lag on two CPUs is two batches", [](Case &c) { LagMoving(c, 64, 200, 1); }, KTAP_XFAIL,
     "within the 256", "xsssss"},
    // Whether statm reads the exact sum: as the kernel showed it, else as
    // its version says.
    {"no lag where statm reads the exact sum (6.16)", [](Case &c) { Lag(c, "6.16.1", 64, 100); },
     KTAP_FAIL, "", "fsssss"},
    {"no lag in the stable releases that read the exact sum",
     [](Case &c) { Lag(c, "6.12.39-amd64", 64, 100); }, KTAP_FAIL, "", "fsssss"},
    {"a stable release before the exact sum still lags",
     [](Case &c) { Lag(c, "6.12.38", 38, 100); }, KTAP_XFAIL, "a miss of 100 pages within",
     "xsssss"},
    {"no lag where statm was seen reading the exact sum, whatever the version",
     [](Case &c) {
	     Lag(c, "6.12.9", 64, 100);
	     c.set.statm_exact = 1;
     },
     KTAP_FAIL, "", "fsssss"},
    {"a build of an exact-sum version seen reading roughly lags",
     [](Case &c) {
	     Lag(c, "6.12.118", 38, 68);
	     c.set.statm_exact = 0;
     },
     KTAP_XFAIL, "a miss of 68 pages within the 2888", "xsssss"},
    {"a kind statm does not count is no lag, however many CPUs",
     [](Case &c) { Lag(c, "6.12.9", 64, kPages, CHECK_KB); }, KTAP_FAIL, "", "fsssss"},
    {"lag is no excuse where the page walk disagrees too",
     [](Case &c) { Lag(c, "6.12.9", 38, 100, CHECK_KB - 400); }, KTAP_FAIL, "", "fsssss"},
    {"--strict reports an expected failure as a failure",
     [](Case &c) {
	     Lag(c, "6.12.9", 38, 100);
	     c.set.strict = true;
     },
     KTAP_FAIL, "", "fsssss"},
    {"64 KiB pages counted as 4 KiB by the check is an XFAIL",
     [](Case &c) {
	     c.set.base_kb = 64;
	     c.Probe(0, CHECK_KB / 64, CHECK_KB);
	     c.t.probe[0].unmap_seen = false;
	     c.Abort(1, kGrowth);
     },
     KTAP_XFAIL, "counted 16 MiB as 256 pages of 64 KiB", "xsssss"},
    {"a huge page that does not divide 16 MiB is an XFAIL, from the separate measurement",
     [](Case &c) {
	     c.set.huge_kb = 32768;
	     c.set.fits = false;
	     c.own.done = true;
	     c.own.base_kb = 4;
	     c.own.truncate_err = EINVAL;
	     c.Abort(3, kOpenFile);
     },
     KTAP_XFAIL, "the default huge page is 32768 kB, which does not divide 16 MiB",
     "pppsss/after_anonymous_hugetlb:x"},
    {"a scratch name taken while the check ran is a skip, where it shared them",
     [](Case &c) { ShmNameTakenThenOpenFailed(c, 1); }, KTAP_SKIP,
     "/dev/shm/hugetlbhog exists and is not a regular file (owner uid 65534), taken while the "
     "check ran",
     "psssss"},
    {"a scratch name taken is no excuse for another probe's file",
     [](Case &c) { ShmNameTakenThenOpenFailed(c, 3); }, KTAP_FAIL, "",
     "pppsss/after_anonymous_hugetlb:f"},
    {"/dev/shm full after a growth failure at its file is a skip",
     [](Case &c) { ShmFullThenGrowthFailed(c, 1200); }, KTAP_SKIP,
     "/dev/shm filled up while the check ran: 1200 kB free after it; its file needs 16384 kB",
     "psssss"},
    {"/dev/shm with room after is the kernel's failure",
     [](Case &c) { ShmFullThenGrowthFailed(c, 65536); }, KTAP_FAIL, "", "pfssss"},
    {"a SIGKILL while the OOM kills went up is a skip",
     [](Case &c) {
	     KilledAfterOneProbe(c);
	     c.set.oom_after.system = 4;
     },
     KTAP_SKIP, "killed by the kernel's OOM killer: /proc/vmstat counts 4 OOM kills, 3 before",
     "psssss"},
    {"a SIGKILL in the memory cgroup's OOM is a skip that names it",
     [](Case &c) {
	     KilledAfterOneProbe(c);
	     c.set.oom_before.cgroup = 0;
	     c.set.oom_after.cgroup = 1;
     },
     KTAP_SKIP, "the memory cgroup /lab/job (limit 65536 kB) counts 1 OOM kills", "psssss"},
    {"any other SIGKILL is a failure", [](Case &c) { KilledAfterOneProbe(c); }, KTAP_FAIL, "",
     "psssss/after_anonymous:f"},
    {"huge pages taken by another process are a skip", [](Case &c) { PoolAtRefusal(c, 3, 0); },
     KTAP_SKIP, "with 3 huge pages of 2048 kB free and unreserved; the check needs 8", "ppssss"},
    {"huge pages reserved for others are not free", [](Case &c) { PoolAtRefusal(c, 8, 8); },
     KTAP_SKIP, "with 0 huge pages of 2048 kB free and unreserved", "ppssss"},
    {"a refusal with enough huge pages free is the kernel's failure",
     [](Case &c) { PoolAtRefusal(c, 8, 0); }, KTAP_FAIL, "", "ppfsss"},
};

class Verdict : public testing::TestWithParam<Row>
{
};

// The subtests as the rows write them.
std::string Subtests(const rss_verdict &v)
{
	static const char mark[] = {'p', 'f', 's', 'x', 't'};
	std::string text;
	for (int i = 0; i < v.subtests; i++) {
		if (i >= PROBES)
			text += std::string("/") + v.sub[i].name + ":";
		text += mark[v.sub[i].verdict];
	}
	return text;
}

TEST_P(Verdict, FollowsItsRule)
{
	const Row &row = GetParam();
	static Case c;
	c = Case();
	c.set.memcg = &c.cg; // its own, not the copied one's
	row.arrange(c);
	// As the runner takes the kernel's account: from the trace, or where
	// the trace cannot tell, from a child of its own.
	static kernel_account traced;
	kernel_account_from_trace(&traced, &c.t, c.set.base_kb);
	const kernel_account *m = rss_needs_own_measurement(&c.t, &c.r) ? &c.own : &traced;
	const rss_run run = {&c.r, &c.t, m, c.damaged};
	static rss_verdict v;
	rss_judge(&run, &c.set, &v);
	EXPECT_EQ(v.verdict, row.verdict) << "reason: " << v.reason;
	if (!row.reason[0])
		EXPECT_STREQ(v.reason, "");
	else
		EXPECT_NE(std::string(v.reason).find(row.reason), std::string::npos)
		    << "reason: " << v.reason;
	EXPECT_EQ(Subtests(v), row.subtests);
}

INSTANTIATE_TEST_SUITE_P(Rules, Verdict, testing::ValuesIn(kRows),
			 [](const testing::TestParamInfo<Row> &info) {
				 std::string name;
				 for (const char *p = info.param.rule; *p; p++)
					 name += isalnum((unsigned char)*p) ? *p : '_';
				 return name;
			 });

// The limits that would stop the check before the kernel is asked anything.
TEST(EnvironmentRefusal, EachLimitIsMeasuredAgainstWhatTheCheckNeeds)
{
	struct Row {
		environment_limits limits;
		const char *refusal; // "": none
	} rows[] = {
	    {{-1, -1, -1, -1, -1, ""}, ""},
	    {{8192, -1, -1, -1, -1, ""}, "RLIMIT_FSIZE is 8192 kB"},
	    // The check's own memory counts too: 16 MiB of data is not enough.
	    {{-1, 18432, -1, -1, -1, ""}, "RLIMIT_DATA is 18432 kB"},
	    {{-1, 20480, -1, -1, -1, ""}, ""},
	    {{-1, -1, 20480, -1, -1, ""}, "RLIMIT_AS is 20480 kB"},
	    {{-1, -1, -1, 1048576, 30720, "/lab/job"},
	     "the memory cgroup /lab/job has 30720 kB free of its limit of 1048576 kB"},
	    {{-1, -1, -1, 1048576, 40960, "/lab/job"}, ""},
	    // Huge pages: its file's 16 MiB and the last probe's beside them.
	    {{-1, -1, -1, -1, -1, "", 2048, 16384, 16384, "/lab/job"},
	     "the hugetlb cgroup /lab/job has 16384 kB free of its limit of 16384 kB of 2048 kB "
	     "huge pages; the check holds up to 32768 kB of them at once"},
	    {{-1, -1, -1, -1, -1, "", 2048, 65536, 32768, "/lab/job"}, ""},
	};
	for (const Row &row : rows) {
		char why[256] = "";
		int refused = environment_refusal(&row.limits, why, sizeof(why));
		SCOPED_TRACE(row.refusal);
		EXPECT_EQ(refused, row.refusal[0] ? -1 : 0) << why;
		EXPECT_NE(std::string(why).find(row.refusal), std::string::npos) << why;
	}
}

// The level that leaves the least room holds, wherever it is.
TEST(MemoryCgroup, TheTightestLevelHolds)
{
	struct Row {
		std::vector<memcg_level> levels; // from the process's own up
		long limit_kb, room_kb;
	} rows[] = {
	    {{{-1, 5000}, {-1, 9000}}, -1, -1},
	    {{{1048576, 10240}, {40960, 30720}}, 40960, 10240},
	    {{{40960, 30720}, {1048576, 10240}}, 40960, 10240},
	    {{{20480, 30720}}, 20480, 0},
	};
	for (const Row &row : rows) {
		long limit, room;
		memcg_tightest(row.levels.data(), (int)row.levels.size(), &limit, &room);
		EXPECT_EQ(limit, row.limit_kb);
		EXPECT_EQ(room, row.room_kb);
	}
}

} // namespace
