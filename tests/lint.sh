#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-only
# cppcheck over all of the project's C and C++ (the programs, the tests, the
# fault shim, the stand-in, the guest's probe and the benchmark), with the
# checks that find faults: "warning" (undefined behaviour, bad iterators,
# overlapping buffers, leaks, wrong format strings), "performance" and
# "portability", none of "style". Any finding fails it; the few false
# positives are suppressed, each with its reason, in
# tests/cppcheck-suppressions.xml, or where they stand (// cppcheck-suppress).
# It takes about two seconds.
#
# usage: tests/lint.sh
set -euo pipefail
cd "$(dirname "$0")/.."

# No -j: with it, cppcheck 2.10 (Debian 12) prints the findings that a
# suppression by symbol hides, and then exits 0 all the same.
cppcheck --enable=warning,performance,portability --error-exitcode=1 --inline-suppr \
	--std=c++20 --library=googletest --suppress-xml=tests/cppcheck-suppressions.xml -q \
	run_checks rss_map_check new_file_read_check tests bench
echo "lint: cppcheck $(cppcheck --version | cut -d' ' -f2): no finding"
