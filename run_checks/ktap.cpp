#include "ktap.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

static struct {
	int number[2]; // the last result number at the top and in the subtests
	int depth;     // 1 inside subtests
	int pass, fail, xfail, skip;
} k;

static const char *indent(void)
{
	return k.depth ? "  " : "";
}

// Writes `text` with every control character as '?': a newline or carriage
// return in a name, a path or a check's output cannot forge a line.
static void put_clean(const char *text, size_t len)
{
	for (size_t i = 0; i < len; i++)
		putchar((unsigned char)text[i] < 0x20 || text[i] == 0x7f ? '?' : text[i]);
}

void ktap_plan(int tests)
{
	printf("TAP version 13\n1..%d\n", tests);
	fflush(stdout);
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
	printf("%s# ", indent());
	put_clean(line, strlen(line));
	putchar('\n');
}

void ktap_quote(const char *prefix, const char *text, size_t len, size_t dropped)
{
	size_t start = 0;
	for (size_t i = 0; i <= len; i++) {
		if (i < len && text[i] != '\n')
			continue;
		if (i > start || i < len) {
			printf("%s# %s", indent(), prefix);
			put_clean(text + start, i - start);
			putchar('\n');
		}
		start = i + 1;
	}
	if (dropped)
		printf("%s# %s... %zu more bytes not shown\n", indent(), prefix, dropped);
}

void ktap_result(enum ktap_verdict verdict, const char *name, const char *reason)
{
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
	bool ok = verdict == KTAP_PASS || verdict == KTAP_SKIP || verdict == KTAP_XFAIL;
	printf("%s%s %d %s", indent(), ok ? "ok" : "not ok", number, name);
	if (verdict == KTAP_SKIP || verdict == KTAP_XFAIL) {
		printf(" # %s ", verdict == KTAP_SKIP ? "SKIP" : "XFAIL");
		put_clean(reason, strlen(reason));
	} else if (verdict == KTAP_TIMEOUT) {
		printf(" # TIMEOUT %s seconds", reason);
	}
	putchar('\n');
	fflush(stdout);
}

void ktap_subtests_begin(const char *name, int tests)
{
	k.depth = 1;
	k.number[1] = 0;
	// The "# Subtest" line is KUnit's: its parser names the group by it.
	printf("  KTAP version 1\n  # Subtest: %s\n  1..%d\n", name, tests);
}

void ktap_subtests_end(void)
{
	k.depth = 0;
}

void ktap_bail_out(int sig)
{
	printf("Bail out! stopped by signal %d (%s)\n", sig, strsignal(sig));
	fflush(stdout);
}

int ktap_totals(void)
{
	printf("# Totals: pass:%d fail:%d xfail:%d xpass:0 skip:%d error:0\n", k.pass, k.fail,
	       k.xfail, k.skip);
	if (fflush(stdout) != 0 || ferror(stdout))
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
