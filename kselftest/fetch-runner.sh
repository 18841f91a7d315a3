#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-only
# Fetches the kernel's own kselftest runner (run_kselftest.sh and
# kselftest/, GPL-2.0) from Debian's linux-source package of each SERIES,
# fetched, not installed, into CACHE/SERIES, with VERSION (the package's).
# The kselftest archive carries 6.12's; the tests run the collection under
# 6.1's and 6.12's. Skips what is there.
#
# usage: fetch-runner.sh [CACHE [SERIES...]]   (default
#   ${XDG_CACHE_HOME:-~/.cache}/kernel-checks/kselftest, 6.1 6.12)
set -euo pipefail

cache=${1:-${XDG_CACHE_HOME:-${HOME:-/root}/.cache}/kernel-checks/kselftest}
shift || true
[ "$#" -gt 0 ] || set -- 6.1 6.12
for series in "$@"; do
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
	echo "run_kselftest.sh and kselftest/: the Linux kernel's tools/testing/selftests," \
		"under the GPL-2.0 as each file's SPDX line says, from Debian's linux-source-$series $(cat "$dir.part/VERSION")" \
		>"$dir.part/kselftest/SOURCE"
	rm -f "$deb"
	mv "$dir.part" "$dir"
	echo "linux-source-$series $(cat "$dir/VERSION") -> $dir (run_kselftest.sh, kselftest/)" >&2
done
