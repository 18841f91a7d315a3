#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-only
# Fetches Debian 12's LAVA dispatcher (lava-dispatcher, lava-common,
# lava-dispatcher-host, lava-server for the device-type templates) and what
# lava-run imports, into a private cache, unpacked and NOT installed:
# installing lava-dispatcher with apt pulls 145-263 packages and upgrades
# perl and systemd, which a test must not do. lava_dispatcher imports guestfs
# when it loads, so python3-guestfs and the libraries it links come along
# although the jobs here never use it. Prints the environment to run
# lava-run with; does nothing more when the cache is complete.
#
# usage: fetch-lava.sh [DIR]   (default ${XDG_CACHE_HOME:-~/.cache}/kernel-checks/lava)
#   then: eval "$(fetch-lava.sh)"; python3 "$LAVA_ROOT/usr/bin/lava-run" ...
set -euo pipefail

dir=${1:-${XDG_CACHE_HOME:-${HOME:-/root}/.cache}/kernel-checks/lava}
root=$dir/root
python_path=$root/usr/lib/python3/dist-packages
library_path=$root/usr/lib/x86_64-linux-gnu:$root/lib/x86_64-linux-gnu
environment() {
	echo "export LAVA_ROOT='$root' PYTHONPATH='$python_path' LD_LIBRARY_PATH='$library_path'"
}
if [ -s "$dir/COMPLETE" ]; then
	environment
	exit 0
fi

packages=(lava-dispatcher lava-common lava-dispatcher-host lava-server
	python3-jinja2 python3-markupsafe python3-voluptuous python3-yaml python3-pexpect
	python3-ptyprocess python3-pyudev python3-requests python3-urllib3 python3-idna
	python3-certifi python3-charset-normalizer python3-chardet python3-configobj
	python3-six python3-setproctitle python3-tz python3-magic python3-netifaces
	python3-guestfs libguestfs0)
rm -rf "$dir"
mkdir -p "$dir/debs" "$root"
apt=(-q -o APT::Sandbox::User=root)
(cd "$dir/debs" && apt-get download "${apt[@]}" "${packages[@]}" >/dev/null)

# The libraries those link, as their packages depend on them: each library
# package that is not installed here, and what it needs in turn.
installed() {
	dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'
}
wanted=(python3-guestfs libguestfs0)
seen=" ${packages[*]} "
while [ "${#wanted[@]}" -gt 0 ]; do
	next=()
	for dep in $(apt-cache depends "${wanted[@]}" | awk '$1 == "Depends:" && $2 ~ /^lib/ { print $2 }' | sort -u); do
		case $seen in *" $dep "*) continue ;; esac
		seen="$seen$dep "
		if ! installed "$dep"; then
			next+=("$dep")
		fi
	done
	if [ "${#next[@]}" -gt 0 ]; then
		(cd "$dir/debs" && apt-get download "${apt[@]}" "${next[@]}" >/dev/null)
	fi
	wanted=("${next[@]}")
done
for deb in "$dir"/debs/*.deb; do
	dpkg-deb -x "$deb" "$root"
	printf '%s %s\n' "$(dpkg-deb -f "$deb" Package)" "$(dpkg-deb -f "$deb" Version)" >>"$dir/VERSIONS"
done
rm -rf "$dir/debs"

eval "$(environment)"
# (ldd fails on the odd file that is not a library: only its output counts)
missing=$({ find "$root" -name '*.so*' -type f -exec ldd {} + 2>/dev/null || true; } |
	awk '/not found/ { print $1 }' | sort -u)
if [ -n "$missing" ]; then
	echo "fetch-lava: still missing: $missing" >&2
	exit 1
fi
/usr/bin/python3 "$root/usr/bin/lava-run" --help >/dev/null
wc -l <"$dir/VERSIONS" >"$dir/COMPLETE"
environment
