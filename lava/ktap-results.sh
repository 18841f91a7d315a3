#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-only
# Reads KTAP (as run_checks prints it) on standard input and writes one
# "name result" line per result, subtests included, in Linaro's result.txt
# form: a subtest is named "parent.subtest", "/" becomes "_" (LAVA files a
# case under its name), and a name is the same whatever its result, so
# reasons go to standard error instead. ok is pass, not ok is fail, SKIP is
# skip, XFAIL (an expected failure) is pass, TIMEOUT is fail. POSIX sh and
# awk alone: busybox runs it.
#
# Each probe of rss_map_check carries a measurement, so that a dashboard
# can plot it across kernels without reading logs: its result line the
# growth of statm's resident figure ("name result 16384 kB"), and a case of
# its own, "PROBE.kernel_rss", the kernel's account of the same mapping
# (smaps Rss plus HugetlbPages): pass with the figure, skip where the probe
# mapped nothing. Both come from run_checks' "# kernel:" lines.
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
# A probe of rss_map_check as a case: "name result[ measurement kB]<TAB>reason",
# then its kernel_rss case.
function measured(entry,    tab, head, reason, name) {
	tab = index(entry, "\t")
	head = substr(entry, 1, tab - 1)
	reason = substr(entry, tab)
	name = substr(head, 1, index(head, " ") - 1)
	if (!(name in probe))
		return entry
	if (!(name in statm))
		return entry "\n" name ".kernel_rss skip\t"
	return head " " statm[name] " kB" reason "\n" \
	    name ".kernel_rss pass " kernel[name] " kB\t"
}
/^# kernel: [A-Za-z0-9_]+ statm [-+][0-9]+ kB, smaps Rss [-+][0-9]+ kB, HugetlbPages [-+][0-9]+ kB$/ {
	split($0, f, " ")
	statm[f[3]] = f[5] + 0
	kernel[f[3]] = f[9] + f[12]
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
		print substr(lines[i], 1, tab - 1)
		if (tab < length(lines[i]))
			print "kernel-checks: " substr(lines[i], 1, index(lines[i], " ") - 1) ": " \
			    substr(lines[i], tab + 1) | "cat 1>&2"
	}
	next
}
/^Bail out!/ { print "kernel-checks: " $0 | "cat 1>&2" }
'
