#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-only
# Fetches and caches what the x86-64 guest tests boot besides the kernels
# they build: Debian's current amd64 kernel and busybox-static, taken out of
# their packages without installing them, and the kernel source
# (tests/guests/tiny-kernel.sh source). Does nothing when the cache is complete.
#
# usage: fetch-x86.sh [DIR]   (default ${XDG_CACHE_HOME:-~/.cache}/kernel-checks/x86)
set -euo pipefail

dir=${1:-${XDG_CACHE_HOME:-${HOME:-/root}/.cache}/kernel-checks/x86}
mkdir -p "$dir"
if [ ! -s "$dir/vmlinuz-debian" ] || [ ! -s "$dir/busybox" ]; then
	work=$(mktemp -d)
	trap 'rm -rf "$work"' EXIT
	extract() { # PACKAGE MEMBER OUT
		(cd "$work" && apt-get download -q -o APT::Sandbox::User=root "$1" >/dev/null)
		dpkg-deb --fsys-tarfile "$work/$1"_*.deb | tar -xO --wildcards "$2" >"$3.part"
		mv "$3.part" "$3"
		echo "$1 -> $3" >>"$dir/VERSIONS"
	}
	# The meta package depends on the current versioned image.
	image=$(apt-cache depends linux-image-amd64 | awk '/Depends: linux-image-/ { print $2; exit }')
	: >"$dir/VERSIONS"
	extract "$image" './boot/vmlinuz-*' "$dir/vmlinuz-debian"
	extract busybox-static ./bin/busybox "$dir/busybox"
	chmod +x "$dir/busybox"
	cat "$dir/VERSIONS"
fi
"$(dirname "$0")/tiny-kernel.sh" source "$dir" >/dev/null
