#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-only
# The three programs, the stand-in check and the tests built with
# AddressSanitizer and UndefinedBehaviorSanitizer in a build tree of their own,
# and every test that needs no guest, no qemu and no kernel build run there
# (the CTest label "sanitize", see tests/CMakeLists.txt): out-of-bounds
# accesses, use after free and undefined behaviour that the plain build lets
# pass unseen, in the programs as the tests drive them and in the runner's
# code that record_test and ktap_test run in-process. Any sanitizer report,
# from any process of the run, fails it.
#
# usage: tests/sanitize.sh [BUILD_DIR]     (default: build-sanitize)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-sanitize}

# C++ only: the one C target, the fault shim (tests/shim), stays plain. It is
# preloaded into the sanitized programs and, through LD_PRELOAD, into the
# plain shells they start; an instrumented shim would bring the ASan runtime
# into those shells after libc, which ASan cannot work with.
sanitize="-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Debug -DCHECKS_ARM64=OFF -DCHECKS_TESTS=ON \
	-DCMAKE_CXX_FLAGS="$sanitize" -DCMAKE_EXE_LINKER_FLAGS="$sanitize"
# The labelled tests and what they run; not the static x86 and arm64 builds.
cmake --build "$build" -j2 --target sanitize_tests

# ASan's reports go to files, one per process, so that none is lost: a
# check's stderr becomes the runner's diagnostics, and a test that expects a
# failing exit status would pass on ASan's. The folder is writable by all, as
# the tests run some processes as another user. UBSan's reports stay on
# stderr: GCC's UBSan runtime, loaded beside ASan's, sets ASan's log_path
# rather than its own (measured), so tests/support/run.cpp fails the test on
# one in any output it reads, and -fno-sanitize-recover=all ends the process
# with a failing status.
reports=$(cd "$build" && pwd)/sanitizer-reports
rm -rf "$reports"
mkdir -m 1777 "$reports"
# detect_leaks=0: run_checks traces its checks with ptrace, and
# LeakSanitizer, which stops the process's threads with ptrace itself, cannot
# work in a traced process: it ends every traced check with a fatal error.
# verify_asan_link_order=0: the tests preload the fault shim, and the kselftest
# runner of 6.12 preloads stdbuf's library, ahead of the ASan runtime, which
# otherwise refuses to start; ASan still initialises first, from the
# program's .preinit_array.
export ASAN_OPTIONS="halt_on_error=1:print_stacktrace=1:detect_leaks=0:verify_asan_link_order=0:log_path=$reports/asan"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"

# Tests that cannot work under the sanitizers, by name, each with its reason.
excluded=(
	# Its runs under RLIMIT_DATA of 8000 kB and RLIMIT_AS of 16000 kB: the
	# sanitized runner cannot even load its sanitizer runtimes under them, let
	# alone reserve ASan's shadow memory.
	RunnerOnSystem.TheEnvironmentIsASkipWithItsMeasuredCause
	# Without /proc, ASan cannot read its options (from /proc/self/environ)
	# nor the runner's stack, and LeakSanitizer, on by default then, dies at
	# exit for want of /proc/PID/task.
	RunnerBed.WithoutProcItNeverRunsChecksFromTheCurrentDirectory
)
pattern=$(printf '|^%s$' "${excluded[@]//./\\.}")
pattern=${pattern:1}

echo "sanitize: not run here, for the reasons in $0: ${excluded[*]}"

status=0
ctest --test-dir "$build" -L sanitize -E "$pattern" -j2 --output-on-failure --no-tests=error ||
	status=$?
for report in "$reports"/*; do
	[ -e "$report" ] || continue
	echo "sanitize: a sanitizer's report, $report:"
	cat "$report"
	status=1
done
exit "$status"
