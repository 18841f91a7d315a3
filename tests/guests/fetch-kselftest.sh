#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-only
# Fetches the kernel's own kselftest runner (run_kselftest.sh and
# kselftest/) from Debian's linux-source-6.1 and linux-source-6.12 packages,
# fetched, not installed, into CACHE/6.1 and CACHE/6.12, for the test that
# runs the kernel_checks collection through it. Skips what is there.
#
# usage: fetch-kselftest.sh [CACHE]   (default
#   ${XDG_CACHE_HOME:-~/.cache}/kernel-checks/kselftest)
set -euo pipefail

cache=${1:-${XDG_CACHE_HOME:-${HOME:-/root}/.cache}/kernel-checks/kselftest}
for series in 6.1 6.12; do
	dir=$cache/$series
	[ -s "$dir/run_kselftest.sh" ] && continue
	rm -rf "$dir.part"
	mkdir -p "$dir.part"
	(cd "$dir.part" && apt-get download -q -o APT::Sandbox::User=root "linux-source-$series" >/dev/null)
	deb=$(echo "$dir.part/linux-source-${series}_"*.deb)
	selftests=linux-source-$series/tools/testing/selftests
	dpkg-deb --fsys-tarfile "$deb" | tar -xO "./usr/src/linux-source-$series.tar.xz" |
		tar -xJ -C "$dir.part" --strip-components=4 --wildcards \
			"$selftests/run_kselftest.sh" "$selftests/kselftest/*"
	dpkg-deb -f "$deb" Version >"$dir.part/VERSION"
	rm -f "$deb"
	mv "$dir.part" "$dir"
	echo "linux-source-$series $(cat "$dir/VERSION") -> $dir (run_kselftest.sh, kselftest/)"
done
