#!/usr/bin/env bash
# Builds a minimal x86-64 kernel from Debian's linux-source-6.1 package:
# tinyconfig plus tests/x86/kernel.config, as it comes (stock) or with
# tests/x86/hugetlb-rss.patch (patched), which also counts hugetlb pages in
# the RSS counters. The package is fetched once, not installed; each build is
# cached under a hash of the source version, the config and the patch, so a
# second run does not rebuild. Prints the path of the bzImage.
#
# usage: x86-kernel.sh stock|patched|source [CACHE]   (default CACHE:
#   ${XDG_CACHE_HOME:-~/.cache}/kernel-checks/x86; "source" only fetches and
#   unpacks the source, whose tools/testing/kunit the tests use as well)
set -euo pipefail

flavour=$1
case $flavour in stock | patched | source) ;; *)
	echo "usage: $0 stock|patched|source [CACHE]" >&2
	exit 2
	;;
esac
top=$(cd "$(dirname "$0")/.." && pwd)
cache=${2:-${XDG_CACHE_HOME:-${HOME:-/root}/.cache}/kernel-checks/x86}
config=$top/tests/x86/kernel.config
patch=$top/tests/x86/hugetlb-rss.patch
src=$cache/src
mkdir -p "$src"

# One extraction at a time: the stock and patched builds may start together.
exec 9>"$src/lock"
flock 9
if [ ! -s "$src/VERSION" ]; then
	(cd "$src" && apt-get download -q -o APT::Sandbox::User=root linux-source-6.1 >/dev/null)
	deb=$(echo "$src"/linux-source-6.1_*.deb)
	rm -rf "$src/linux" "$src/linux.part"
	mkdir "$src/linux.part"
	# Device trees, perf and selftests are not needed.
	dpkg-deb --fsys-tarfile "$deb" | tar -xO ./usr/src/linux-source-6.1.tar.xz |
		tar -xJ -C "$src/linux.part" --strip-components=1 \
			--exclude='linux-source-6.1/arch/*/boot/dts' \
			--exclude='linux-source-6.1/Documentation/devicetree' \
			--exclude='linux-source-6.1/tools/perf' \
			--exclude='linux-source-6.1/tools/testing/selftests'
	mv "$src/linux.part" "$src/linux"
	dpkg-deb -f "$deb" Version >"$src/VERSION"
	rm -f "$deb"
fi
version=$(cat "$src/VERSION")
if [ "$flavour" = source ]; then
	echo "$src/linux"
	exit 0
fi
inputs=("$config")
if [ "$flavour" = patched ]; then inputs+=("$patch"); fi
key=$({
	echo "$version $flavour"
	cat "${inputs[@]}"
} | sha256sum | cut -c1-16)
out=$cache/$flavour-$key
tree=$src/linux
if [ "$flavour" = patched ] && [ ! -s "$out/bzImage" ]; then
	# A linked copy: patch writes each file it changes anew, which breaks
	# the link, so the pristine tree stays pristine.
	tree=$src/linux-$key
	if [ ! -d "$tree" ]; then
		rm -rf "$tree.part"
		cp -al "$src/linux" "$tree.part"
		patch -d "$tree.part" -p1 --quiet <"$patch"
		mv "$tree.part" "$tree"
	fi
fi
flock -u 9

if [ -s "$out/bzImage" ]; then
	echo "cached: $out/bzImage" >&2
	echo "$out/bzImage"
	exit 0
fi
work=$out.build
rm -rf "$work"
mkdir -p "$work"
make -s -C "$tree" O="$work" tinyconfig >/dev/null
"$tree/scripts/kconfig/merge_config.sh" -m -O "$work" "$work/.config" "$config" >/dev/null
make -s -C "$tree" O="$work" olddefconfig >/dev/null
# Every line of the fragment must have taken; a dependency it lacks would
# otherwise drop an option silently.
while read -r line; do
	case $line in
	CONFIG_* | "# CONFIG_"*" is not set")
		grep -qxF "$line" "$work/.config" || {
			echo "x86-kernel: '$line' did not take" >&2
			exit 1
		}
		;;
	esac
done <"$config"
start=$(date +%s)
make -C "$tree" O="$work" -j"$(nproc)" bzImage >"$work/build.log" 2>&1 || {
	tail -40 "$work/build.log" >&2
	exit 1
}
echo "built $flavour in $(($(date +%s) - start)) s" >&2
mkdir -p "$out"
cp "$work/.config" "$out/config"
cp "$work/arch/x86/boot/bzImage" "$out/bzImage.part"
mv "$out/bzImage.part" "$out/bzImage"
rm -rf "$work"
echo "$out/bzImage"
