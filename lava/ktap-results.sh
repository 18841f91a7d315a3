#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-only
# Reads KTAP (as run_checks prints it) on standard input and writes one
# "name result" line per result, subtests included, in Linaro's result.txt
# form: a subtest is named "parent.subtest", "/" becomes "_" (LAVA files a
# case under its name), and a name is the same whatever its result, so
# reasons go to standard error instead (a skip's from the "# NAME: SKIP
# REASON" line before its result). ok is pass, not ok is fail, SKIP is
# skip, XFAIL (an expected failure) is pass, TIMEOUT is fail. POSIX sh and
# awk alone: busybox runs it.
#
# Each probe of rss_map_check has two measurements, so that a dashboard can
# plot them across kernels without reading logs, each a case of its own:
# "PROBE.statm_kb", the growth of statm's resident figure, and
# "PROBE.kernel_kb", the kernel's account of the same mapping (smaps Rss plus
# HugetlbPages), both from run_checks' "# kernel:" lines: pass with the
# figure ("name pass 16384 kB"), skip where the probe mapped nothing. No case
# with a verdict carries a figure: a results database that keeps a measured
# case as a metric only (SQUAD) would lose a failed probe. LAVA's cleaning
# could make two names one (a/b and a_b): a later one gets "_dup2", "_dup3".
exec awk '
BEGIN {
	split("anonymous shm_file anonymous_hugetlb hugetlbfs_file " \
	    "hugetlbfs_file_map_hugetlb anonymous_hugetlb_kept", list, " ")
	for (i in list)
		probe[list[i]] = 1
}
function clean(name) {
	gsub(/\//, "_", name)
	gsub(/[^A-Za-z0-9_.-]/, "_", name)
	return name
}
# The case of a probe of rss_map_check ("name result<TAB>reason"), then the
# cases of its two measurements.
function measured(entry,    name) {
	name = substr(entry, 1, index(entry, " ") - 1)
	if (!(name in probe))
		return entry
	if (!(name in statm))
		return entry "\n" name ".statm_kb skip\t\n" name ".kernel_kb skip\t"
	return entry "\n" name ".statm_kb pass " statm[name] " kB\t\n" \
	    name ".kernel_kb pass " kernel[name] " kB\t"
}
# A name that the cleaning made the same as an earlier one.
function unique(name,    n) {
	if (!(name in seen)) {
		seen[name] = 1
		return name
	}
	for (n = 2; (name "_dup" n) in seen; n++)
		;
	seen[name "_dup" n] = 1
	return name "_dup" n
}
/^# kernel: [A-Za-z0-9_]+ statm [-+][0-9]+ kB, smaps Rss [-+][0-9]+ kB, HugetlbPages [-+][0-9]+ kB$/ {
	split($0, f, " ")
	statm[f[3]] = f[5] + 0
	kernel[f[3]] = f[9] + f[12]
	next
}
# The reason of a skip, on the line before its result.
/^ *# [^ ]+: SKIP / {
	skipped = $0
	sub(/^ *# /, "", skipped)
	at = index(skipped, ": SKIP ")
	skipped_reason = substr(skipped, at + 2)
	skipped = substr(skipped, 1, at - 1)
	next
}
/^ *(not )?ok [0-9]+/ {
	line = $0
	level = int((match(line, /[^ ]/) - 1) / 2)
	sub(/^ */, "", line)
	passed = line !~ /^not ok/
	sub(/^(not )?ok [0-9]+ (- )?/, "", line)
	name = line
	directive = ""
	if ((at = index(line, " # ")) > 0) {
		name = substr(line, 1, at - 1)
		directive = substr(line, at + 3)
	}
	if (directive == "SKIP" && name == skipped)
		directive = skipped_reason
	skipped = ""
	name = clean(name)
	result = passed ? "pass" : "fail"
	if (directive ~ /^SKIP/)
		result = "skip"
	# A result takes the subtests that came before it, one level deeper;
	# each entry is "name result<TAB>reason".
	entry = name " " result "\t" directive
	count = split(pending[level + 1], kids, "\n")
	for (i = 1; i <= count; i++) {
		if (kids[i] == "")
			continue
		if (level == 0 && name == "rss_map_check")
			kids[i] = measured(kids[i])
		gsub(/\n/, "\n" name ".", kids[i])
		entry = entry "\n" name "." kids[i]
	}
	pending[level + 1] = ""
	if (level > 0) {
		pending[level] = pending[level] "\n" entry
		next
	}
	if (name == "rss_map_check") {
		split("", statm)
		split("", kernel)
	}
	count = split(entry, lines, "\n")
	for (i = 1; i <= count; i++) {
		tab = index(lines[i], "\t")
		space = index(lines[i], " ")
		case_name = unique(substr(lines[i], 1, space - 1))
		print case_name substr(lines[i], space, tab - space)
		if (tab < length(lines[i]))
			print "kernel-checks: " case_name ": " substr(lines[i], tab + 1) | "cat 1>&2"
	}
	next
}
/^Bail out!/ { print "kernel-checks: " $0 | "cat 1>&2" }
'
