#!/usr/bin/env bash
# Installs what building the checks needs on Debian 12 and, with --tests, what
# the tests need too: GoogleTest, Perl's TAP::Parser, valgrind and strace (the
# benchmark's smoke test), the arm64 cross compiler,
# qemu-user and qemu-system-arm, and (through fetch-arm64.sh) the arm64
# kernels and busybox that the guest tests boot. Installs nothing that is
# there already. Run as root (apt-get).
#
# usage: setup.sh [--tests]
set -euo pipefail

packages=(cmake g++ make)
if [ "${1:-}" = "--tests" ]; then
	packages+=(libgtest-dev libgmock-dev perl util-linux cpio gzip valgrind strace
		g++-aarch64-linux-gnu qemu-user qemu-system-arm)
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
	"$(dirname "$0")/fetch-arm64.sh"
fi
