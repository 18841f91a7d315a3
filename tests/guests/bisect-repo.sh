#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-only
# Makes the git repository that check-kernel's bisection test bisects:
# Debian's linux-source-6.1 (from tiny-kernel.sh's cache) in three commits,
# tagged "patched" (the source with tests/guests/x86/hugetlb-rss.patch, so
# that with hugetlb_rss=1 the check passes), "reverted" (the patch taken out:
# the commit a bisection must name) and "later" (a harmless change after
# it). Made once, under a hash of the source version and the patch, and
# left at "later"; prints the repository's path. Exits 3 when the source
# cannot be had (the test then skips).
#
# usage: bisect-repo.sh [CACHE]   (default CACHE as tiny-kernel.sh's)
set -euo pipefail

top=$(cd "$(dirname "$0")/../.." && pwd)
cache=${1:-${XDG_CACHE_HOME:-${HOME:-/root}/.cache}/kernel-checks/x86}
patch=$top/tests/guests/x86/hugetlb-rss.patch
command -v git >/dev/null || {
	echo "bisect-repo: no git" >&2
	exit 3
}
src=$("$top/tests/guests/tiny-kernel.sh" source "$cache") || exit 3
key=$({
	cat "$cache/src/VERSION"
	sed -n '/^--- /,$p' "$patch"
} | sha256sum | cut -c1-16)
repo=$cache/bisect-$key
exec 9>"$repo.lock"
flock 9
if git -C "$repo" rev-parse -q --verify refs/tags/later >/dev/null 2>&1; then
	echo "$repo"
	exit 0
fi
rm -rf "$repo" "$repo.part"
# A linked copy: patch and git write each file they change anew, which
# breaks the link, so the unpacked source stays pristine.
cp -al "$src" "$repo.part"
git=(git -C "$repo.part" -c user.name=kernel-checks -c user.email=kernel-checks@localhost
	-c core.compression=1 -c core.looseCompression=1)
"${git[@]}" init -q
patch -d "$repo.part" -p1 --quiet <"$patch"
# -f: Debian's source ignores everything at its top ("/*" in .gitignore).
"${git[@]}" add -A -f
"${git[@]}" commit -q -m "linux-source $(cat "$cache/src/VERSION") with the hugetlb RSS patch"
"${git[@]}" tag patched
patch -d "$repo.part" -p1 -R --quiet <"$patch"
"${git[@]}" commit -q -a -m "Revert the hugetlb RSS patch"
"${git[@]}" tag reverted
echo "A later change that touches no code." >>"$repo.part/README"
"${git[@]}" commit -q -a -m "README: a later change"
"${git[@]}" tag later
mv "$repo.part" "$repo"
echo "$repo"
