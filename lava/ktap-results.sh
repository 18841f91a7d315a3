#!/bin/sh
# Reads KTAP (as run_checks prints it) on standard input and writes one
# "name result" line per result, subtests included, in Linaro's result.txt
# form: a subtest is named "parent.subtest", "/" becomes "_" (LAVA files a
# case under its name), and a name is the same whatever its result, so
# reasons go to standard error instead. ok is pass, not ok is fail, SKIP is
# skip, XFAIL (an expected failure) is pass, TIMEOUT is fail. POSIX sh and
# awk alone: busybox runs it.
exec awk '
function clean(name) {
	gsub(/\//, "_", name)
	gsub(/[^A-Za-z0-9_.-]/, "_", name)
	return name
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
	for (i = 1; i <= count; i++)
		if (kids[i] != "")
			entry = entry "\n" name "." kids[i]
	pending[level + 1] = ""
	if (level > 0) {
		pending[level] = pending[level] "\n" entry
		next
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
