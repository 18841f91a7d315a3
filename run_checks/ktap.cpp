// SPDX-License-Identifier: GPL-2.0-only
#include "ktap.h"

#include "signals.h"

#include <errno.h>
#include <poll.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

static struct {
	int number[2]; // the last result number at the top and in the subtests
	int depth;     // 1 inside subtests
	int pass, fail, xfail, skip;
} k;

// The report is held here and written only when standard output can take
// it: a stalled console (XOFF, a logger that stops reading) must never keep
// the runner in write() while a stop signal waits to put the machine back.
static struct {
	char text[65536];
	size_t len;
	bool failed; // a write failed: the report is incomplete
} report;

// Writes what is held; with `wait`, until all is written or a stop signal
// comes (which then stops the run), else only what goes without waiting.
static void flush(bool wait)
{
	size_t done = 0;
	while (done < report.len && !report.failed) {
		struct pollfd p[2] = {{1, POLLOUT, 0}, {signals_fd(), POLLIN, 0}};
		int n = poll(p, wait ? 2 : 1, wait ? 200 : 0);
		if (n < 0 && errno != EINTR)
			break;
		if (wait && signals_pending_stop()) {
			memmove(report.text, report.text + done, report.len - done);
			report.len -= done;
			signals_stop(signals_pending_stop());
		}
		if (p[0].revents & POLLNVAL) {
			report.failed = true;
		} else if (p[0].revents) {
			// Small pieces: POLLOUT promises room for little on a tty.
			size_t piece = report.len - done < 256 ? report.len - done : 256;
			ssize_t w = write(1, report.text + done, piece);
			if (w > 0)
				done += (size_t)w;
			else if (w < 0 && errno != EINTR && errno != EAGAIN)
				report.failed = true;
		} else if (!wait) {
			break;
		}
	}
	memmove(report.text, report.text + done, report.len - done);
	report.len = report.failed ? 0 : report.len - done;
}

static void put(const char *text, size_t len)
{
	while (len) {
		if (report.len == sizeof(report.text))
			flush(true);
		if (report.failed)
			return;
		size_t n =
		    sizeof(report.text) - report.len < len ? sizeof(report.text) - report.len : len;
		memcpy(report.text + report.len, text, n);
		report.len += n;
		text += n;
		len -= n;
	}
}

static void putf(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
static void putf(const char *fmt, ...)
{
	char line[1024];
	va_list ap;
	va_start(ap, fmt);
	int n = vsnprintf(line, sizeof(line), fmt, ap);
	va_end(ap);
	if (n > 0)
		put(line, (size_t)n < sizeof(line) ? (size_t)n : sizeof(line) - 1);
}

static const char *indent(void)
{
	return k.depth ? "  " : "";
}

// Writes `text` with every control character as '?': a newline or carriage
// return in a name, a path or a check's output cannot forge a line.
static void put_clean(const char *text, size_t len)
{
	for (size_t i = 0; i < len; i++) {
		// LAVA takes "<LAVA_..." anywhere in a console line as its own
		// signal: a check's output must not record cases of its own.
		if (text[i] == '<' && len - i > 5 && !memcmp(text + i + 1, "LAVA_", 5)) {
			put("<LAVA-", 6);
			i += 5;
			continue;
		}
		char c = (unsigned char)text[i] < 0x20 || text[i] == 0x7f ? '?' : text[i];
		put(&c, 1);
	}
}

static void plan_names(int tests);

void ktap_plan(int tests)
{
	plan_names(tests);
	putf("TAP version 13\n1..%d\n", tests);
	flush(false);
}

void ktap_diag(const char *fmt, ...)
{
	char line[1024];
	va_list ap;

	va_start(ap, fmt);
	int n = vsnprintf(line, sizeof(line), fmt, ap);
	va_end(ap);
	if (n < 0)
		return;
	putf("%s# ", indent());
	put_clean(line, strlen(line));
	put("\n", 1);
}

void ktap_quote(const char *prefix, const char *text, size_t len, size_t dropped)
{
	size_t start = 0;
	for (size_t i = 0; i <= len; i++) {
		if (i < len && text[i] != '\n')
			continue;
		if (i > start || i < len) {
			putf("%s# %s", indent(), prefix);
			put_clean(text + start, i - start);
			put("\n", 1);
		}
		start = i + 1;
	}
	if (dropped)
		putf("%s# %s... %zu more bytes not shown\n", indent(), prefix, dropped);
}

// The names given at the top level, by hash: two -d directories can map to
// one name, and parsers pile results of one name together. The table is
// sized by the plan; a full one (more results than planned) lets a name
// through as it is.
static struct {
	unsigned long long *hash;
	size_t size, count;
} names;

static unsigned long long name_hash(const char *name)
{
	unsigned long long h = 14695981039346656037ULL;
	for (; *name; name++)
		h = (h ^ (unsigned char)*name) * 1099511628211ULL;
	return h ? h : 1;
}

// Takes `name` if it is free and returns true; false if it is taken.
static bool take_name(const char *name)
{
	if (names.count >= names.size / 2)
		return true;
	unsigned long long h = name_hash(name);
	size_t at = h % names.size;
	for (; names.hash[at]; at = (at + 1) % names.size)
		if (names.hash[at] == h)
			return false;
	names.hash[at] = h;
	names.count++;
	return true;
}

static void plan_names(int tests)
{
	size_t size = 2 * (size_t)(tests > 0 ? tests : 1) + 2;
	void *table = mmap(nullptr, size * sizeof(*names.hash), PROT_READ | PROT_WRITE,
			   MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
	if (table == MAP_FAILED)
		return; // every name as it is
	names = {(unsigned long long *)table, size, 0};
}

void ktap_unique_name(const char *name, char *unique, size_t size)
{
	snprintf(unique, size, "%s", name);
	// As Linaro's parser names a repeated test: _dup2, _dup3, ...
	for (int n = 2; !take_name(unique) && n < 1000000; n++)
		snprintf(unique, size, "%.1000s_dup%d", name, n);
}

void ktap_result(enum ktap_verdict verdict, const char *name, const char *reason)
{
	char unique[1100];
	if (!k.depth) {
		ktap_unique_name(name, unique, sizeof(unique));
		name = unique;
	}
	int number = ++k.number[k.depth];
	if (!k.depth) {
		if (verdict == KTAP_PASS)
			k.pass++;
		else if (verdict == KTAP_SKIP)
			k.skip++;
		else if (verdict == KTAP_XFAIL)
			k.xfail++;
		else
			k.fail++;
	}
	// A skip's reason goes on the line before its result: Linaro's parser
	// appends a SKIP directive's text to the test's name, and a test must
	// keep one name whatever its result.
	if (verdict == KTAP_SKIP) {
		putf("%s# %s: SKIP ", indent(), name);
		put_clean(reason, strlen(reason));
		put("\n", 1);
	}
	bool ok = verdict == KTAP_PASS || verdict == KTAP_SKIP || verdict == KTAP_XFAIL;
	putf("%s%s %d %s", indent(), ok ? "ok" : "not ok", number, name);
	if (verdict == KTAP_SKIP) {
		put(" # SKIP", 7);
	} else if (verdict == KTAP_XFAIL) {
		put(" # XFAIL ", 9);
		put_clean(reason, strlen(reason));
	} else if (verdict == KTAP_TIMEOUT) {
		putf(" # TIMEOUT %s seconds", reason);
	}
	put("\n", 1);
	flush(false);
}

void ktap_subtests_begin(const char *name, int tests)
{
	k.depth = 1;
	k.number[1] = 0;
	// The "# Subtest" line is KUnit's: its parser names the group by it.
	putf("  KTAP version 1\n  # Subtest: %s\n  1..%d\n", name, tests);
}

void ktap_subtests_end(void)
{
	k.depth = 0;
}

void ktap_bail_out(int sig)
{
	putf("Bail out! stopped by signal %d (%s)\n", sig, strsignal(sig));
	flush(false); // whatever the output takes now; the run is over
}

int ktap_totals(void)
{
	putf("# Totals: pass:%d fail:%d xfail:%d xpass:0 skip:%d error:0\n", k.pass, k.fail,
	     k.xfail, k.skip);
	flush(true);
	if (report.failed)
		return 1;
	if (k.fail)
		return 1;
	return k.pass || k.xfail ? 0 : 4;
}

void ktap_name(char *out, size_t size, const char *text)
{
	size_t n = 0;
	for (; *text && n + 1 < size; text++) {
		char c = *text;
		bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
			    (c >= '0' && c <= '9') || strchr("_-./", c);
		out[n++] = keep ? c : '_';
	}
	out[n] = '\0';
}
