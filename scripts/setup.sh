#!/usr/bin/env bash
# Installs what building and testing need on Debian 12, and nothing when it is
# all there already. Run as root (apt-get).
set -euo pipefail

packages=(cmake g++ make libgtest-dev perl)

missing=()
for p in "${packages[@]}"; do
	dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' ||
		missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
	echo "setup: installing ${missing[*]}"
	apt-get update -q
	DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
