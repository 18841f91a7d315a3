#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-only
# Runs run_checks on this device and records one result per KTAP result,
# subtests included, and the measurements of each probe as cases of their
# own (see ktap-results.sh):
# through lava-test-case inside LAVA, and in every case in output/result.txt
# (Linaro's "name result [measurement units]" form), so that the same
# script serves LAVA and a plain shell. The full KTAP goes to the log and to
# output/ktap.txt. POSIX sh: busybox runs it.
#
# usage: kernel-checks.sh [-e] [-t SECONDS] [-d "DIR ..."] [-s true|false] [-r RUN_CHECKS]
#   -e  take TIMEOUT, DIRS, STRICT and RUN_CHECKS from the environment (the
#       definition does: a test shell traces its steps on the console, where
#       LAVA would take a parameter's text for a signal)
#   -t  run_checks' timeout per check (default 30)
#   -d  directories to check new files in, one a line (run_checks -d); a
#       path may hold spaces and glob characters, never a newline
#   -s  true: report expected failures as failures (run_checks --strict)
#   -r  the run_checks to run (default: ../bin/run_checks beside this
#       folder, as the packages lay it out, else run_checks on PATH)
set -u
set -f # DIRS is never globbed
here=$(cd "$(dirname "$0")" && pwd)
timeout=30 dirs="" strict=false run_checks=""
while getopts et:d:s:r: opt; do
	case $opt in
	e)
		timeout=${TIMEOUT:-30} dirs=${DIRS:-} strict=${STRICT:-false}
		run_checks=${RUN_CHECKS:-}
		;;
	t) timeout=$OPTARG ;;
	d) dirs=$OPTARG ;;
	s) strict=$OPTARG ;;
	r) run_checks=$OPTARG ;;
	*)
		sed -n 's/^# usage: /usage: /p' "$0" >&2
		exit 2
		;;
	esac
done
if [ -z "$run_checks" ]; then
	if [ -x "$here/../bin/run_checks" ]; then
		run_checks=$here/../bin/run_checks
	else
		run_checks=$(command -v run_checks) || {
			echo "kernel-checks: no run_checks beside $here or on PATH" >&2
			exit 2
		}
	fi
fi

output=$here/output
mkdir -p "$output"
set -- -t "$timeout"
newline='
'
old_ifs=$IFS
IFS=$newline
for dir in $dirs; do
	set -- "$@" -d "$dir"
done
IFS=$old_ifs
if [ "$strict" = true ]; then
	set -- "$@" --strict
fi
"$run_checks" "$@" >"$output/ktap.txt" 2>&1
status=$?
# The console is where LAVA looks for its signals: none may come from here.
sed 's/<LAVA_/<LAVA-/g' "$output/ktap.txt"
"$here/ktap-results.sh" <"$output/ktap.txt" >"$output/result.txt"
# A run that gave no whole report is a failed case, never a green definition.
plan=$(sed -n 's/^1\.\.\([0-9][0-9]*\)$/\1/p' "$output/ktap.txt" | head -n 1)
results=$(grep -c -E '^(not )?ok [0-9]+' "$output/ktap.txt")
why=""
if [ "$status" -ne 0 ] && [ "$status" -ne 1 ] && [ "$status" -ne 4 ]; then
	why="run_checks exited with status $status"
elif grep -q '^Bail out!' "$output/ktap.txt"; then
	why="run_checks bailed out"
elif [ -z "$plan" ] || [ "$results" -ne "$plan" ]; then
	why="run_checks reported ${results} results for a plan of ${plan:-none}"
fi
if [ -n "$why" ]; then
	echo "kernel-checks fail" >>"$output/result.txt"
	echo "kernel-checks: $why" >&2
fi
if command -v lava-test-case >/dev/null 2>&1; then
	while read -r name result measurement units; do
		if [ -n "$measurement" ]; then
			lava-test-case "$name" --result "$result" \
				--measurement "$measurement" --units "$units"
		else
			lava-test-case "$name" --result "$result"
		fi
	done <"$output/result.txt"
fi
echo "kernel-checks: run_checks exited with status $status; results in $output/result.txt"
[ -z "$why" ]
