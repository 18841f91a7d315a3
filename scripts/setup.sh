#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-only
# Installs what building the checks needs on Debian 12 (and mount, its own
# package on a minimal system, which run_checks' tests and the benchmark use)
# and, with --tests, what the tests need too: GoogleTest, Perl's TAP::Parser,
# python3 (the kernel's kunit_parser.py), valgrind and strace, musl-dev, the
# arm64 cross compiler, qemu-user, qemu-system-arm and qemu-system-x86, what building a
# kernel takes, and (through fetch-arm64.sh and fetch-x86.sh) the kernels,
# busybox and the kernel source that the guest tests boot and build,
# (through fetch-lava.sh) Debian's LAVA dispatcher, unpacked, not installed,
# and (through kselftest/fetch-runner.sh) the kernel's kselftest runner of 6.1 and
# 6.12; python3-tap (tappy) reads its output as Linaro's parser does; reuse
# checks that every file names its license; lintian judges the Debian
# package; cppcheck is tests/lint.sh's
# analyser (tests/sanitize.sh needs only g++, whose libasan8 and libubsan1
# come with it).
# Installs nothing that is there already. Run as root (apt-get).
#
# usage: setup.sh [--tests]
set -euo pipefail

packages=(cmake g++ make mount)
if [ "${1:-}" = "--tests" ]; then
	packages+=(libgtest-dev libgmock-dev perl python3 util-linux cpio gzip xz-utils valgrind
		strace g++-aarch64-linux-gnu qemu-user qemu-system-arm qemu-system-x86
		flex bison bc libelf-dev patch musl-dev python3-tap reuse lintian cppcheck)
fi

missing=()
for p in "${packages[@]}"; do
	dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' ||
		missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
	echo "setup: installing ${missing[*]}"
	apt-get update -q
	# qemu without its recommends: no firmware bundles or GUI pieces.
	DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

if [ "${1:-}" = "--tests" ]; then
	"$(dirname "$0")/../tests/guests/fetch-arm64.sh"
	"$(dirname "$0")/../tests/guests/fetch-x86.sh"
	"$(dirname "$0")/../tests/guests/fetch-lava.sh" >/dev/null
	"$(dirname "$0")/../kselftest/fetch-runner.sh"
fi
