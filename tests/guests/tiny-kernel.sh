#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-only
# Builds a minimal kernel from Debian's linux-source package: tinyconfig
# plus a fragment. x86-64, with tests/guests/x86/kernel.config: patched, from
# linux-source-6.1 with tests/guests/x86/hugetlb-rss.patch; patched-6.12, from
# linux-source-6.12 with SMP for many CPUs (tests/guests/x86/smp.config),
# tests/guests/x86/hugetlb-rss-6.12.patch and tests/guests/x86/statm-approximate-6.12.patch.
# The patches act only when switched on from the kernel's command line
# (hugetlb_rss=1: hugetlb pages counted in the RSS counters;
# hugetlb_rss_leak=1: counted in, never out; statm_approximate=1: statm read
# from the counters' approximate value, as from 6.2 until the exact sum):
# switched off, the image is the stock kernel, so that one build serves as
# stock kernel, positive control and broken kernel.
# arm64, from linux-source-6.12 with tests/guests/android/kernel.config: nohugetlbfs,
# built as Android's GKI kernels are in the respect that matters here.
# Each package is fetched once, not installed; each build is cached under a
# hash of the source version, the config and the patches, so a second run
# does not rebuild. Prints the path of the kernel image and, on stderr, how
# long its build took; exits 3 when the source or the compiler cannot be had
# (a test then skips), 1 when the build fails. A failed build is marked, so
# that the guests which need it do not each build it again: until a run with
# --retry, the flavour then exits 4 at once.
#
# usage: tiny-kernel.sh [--retry] FLAVOUR|source [CACHE]   FLAVOUR: patched,
#   patched-6.12 or nohugetlbfs (default CACHE:
#   ${XDG_CACHE_HOME:-~/.cache}/kernel-checks/x86; "source" only fetches and
#   unpacks the 6.1 source, whose tools/testing/kunit the tests use as well)
set -euo pipefail

retry=0
if [ "${1:-}" = --retry ]; then
	retry=1
	shift
fi
flavour=$1
top=$(cd "$(dirname "$0")/../.." && pwd)
cache=${2:-${XDG_CACHE_HOME:-${HOME:-/root}/.cache}/kernel-checks/x86}
x86=$top/tests/guests/x86
series=6.1 src=$cache/src fragments=("$x86/kernel.config") patches=()
make_args=() image=arch/x86/boot/bzImage
case $flavour in
source) ;;
patched) patches=("$x86/hugetlb-rss.patch") ;;
patched-6.12)
	series=6.12 src=$cache/src-6.12
	fragments+=("$x86/smp.config")
	patches=("$x86/hugetlb-rss-6.12.patch" "$x86/statm-approximate-6.12.patch")
	;;
nohugetlbfs)
	series=6.12 src=$cache/src-6.12
	fragments=("$top/tests/guests/android/kernel.config")
	make_args=(ARCH=arm64 CROSS_COMPILE=aarch64-linux-gnu-) image=arch/arm64/boot/Image
	command -v aarch64-linux-gnu-gcc >/dev/null || {
		echo "tiny-kernel: no aarch64-linux-gnu-gcc (scripts/setup.sh --tests installs it)" >&2
		exit 3
	}
	;;
*)
	echo "usage: $0 [--retry] patched|patched-6.12|nohugetlbfs|source [CACHE]" >&2
	exit 2
	;;
esac
mkdir -p "$src"

# One extraction at a time: two builds of a series may start together.
exec 9>"$src/lock"
flock 9
if [ ! -s "$src/VERSION" ]; then
	(cd "$src" && apt-get download -q -o APT::Sandbox::User=root "linux-source-$series" >/dev/null) || {
		echo "tiny-kernel: linux-source-$series cannot be had" >&2
		exit 3
	}
	deb=$(echo "$src/linux-source-${series}_"*.deb)
	rm -rf "$src/linux" "$src/linux.part"
	mkdir "$src/linux.part"
	# Device trees, perf and selftests are not needed.
	dpkg-deb --fsys-tarfile "$deb" | tar -xO "./usr/src/linux-source-$series.tar.xz" |
		tar -xJ -C "$src/linux.part" --strip-components=1 \
			--exclude="linux-source-$series/arch/*/boot/dts" \
			--exclude="linux-source-$series/Documentation/devicetree" \
			--exclude="linux-source-$series/tools/perf" \
			--exclude="linux-source-$series/tools/testing/selftests"
	mv "$src/linux.part" "$src/linux"
	dpkg-deb -f "$deb" Version >"$src/VERSION"
	rm -f "$deb"
fi
version=$(cat "$src/VERSION")
if [ "$flavour" = source ]; then
	echo "$src/linux"
	exit 0
fi
# The key is what the build reads: the options and the patches' hunks, so
# that a comment or a patch's description never forces a rebuild.
key=$({
	echo "$version $flavour"
	grep -h -e '^CONFIG_' -e '^# CONFIG_.* is not set$' "${fragments[@]}"
	for p in "${patches[@]}"; do
		sed -n '/^--- /,$p' "$p"
	done
} | sha256sum | cut -c1-16)
out=$cache/$flavour-$key
tree=$src/linux
name=$(basename "$image")
flock -u 9
# One build of a flavour at a time: two tests may want the same kernel at
# once, and a second build would remove the first one's work.
exec 8>"$out.lock"
flock 8

if [ -s "$out/$name" ]; then
	echo "cached: $out/$name (built in $(cat "$out/build-seconds" 2>/dev/null || echo "?") s)" >&2
	echo "$out/$name"
	exit 0
fi
[ "$retry" = 1 ] && rm -f "$out.failed"
if [ -s "$out.failed" ]; then
	echo "tiny-kernel: the $flavour kernel failed to build (see $out.failed; --retry builds it again)" >&2
	exit 4
fi
# Until the image is in place the mark says the build did not finish, so
# that one killed on the way (a test's timeout) counts as failed too.
echo "tiny-kernel: the build of $flavour that started $(date -u) did not finish" >"$out.failed"
if [ ${#patches[@]} -gt 0 ]; then
	# A linked copy: patch writes each file it changes anew, which breaks
	# the link, so the pristine tree stays pristine.
	tree=$src/linux-$key
	if [ ! -d "$tree" ]; then
		rm -rf "$tree.part"
		cp -al "$src/linux" "$tree.part"
		for p in "${patches[@]}"; do
			patch -d "$tree.part" -p1 --quiet <"$p" || {
				echo "tiny-kernel: $p does not apply" | tee "$out.failed" >&2
				exit 1
			}
		done
		mv "$tree.part" "$tree"
	fi
fi
work=$out.build
rm -rf "$work"
mkdir -p "$work"
# One fragment: a later one's option replaces an earlier one's.
config=$work/fragment.config
for f in "${fragments[@]}"; do
	sed -n 's/^\(# \)\{0,1\}\(CONFIG_[A-Z0-9_]*\)[= ].*/\2/p' "$f" | while read -r option; do
		[ -f "$config" ] && sed -i "/^\(# \)\{0,1\}${option}[= ]/d" "$config"
		true
	done
	cat "$f" >>"$config"
done
make -s -C "$tree" O="$work" "${make_args[@]}" tinyconfig >/dev/null
"$tree/scripts/kconfig/merge_config.sh" -m -O "$work" "$work/.config" "$config" >/dev/null
make -s -C "$tree" O="$work" "${make_args[@]}" olddefconfig >/dev/null
# Every line of the fragment must have taken; a dependency it lacks would
# otherwise drop an option silently.
while read -r line; do
	case $line in
	CONFIG_* | "# CONFIG_"*" is not set")
		grep -qxF "$line" "$work/.config" || {
			echo "tiny-kernel: '$line' did not take" | tee "$out.failed" >&2
			exit 1
		}
		;;
	esac
done <"$config"
start=$(date +%s)
make -C "$tree" O="$work" "${make_args[@]}" -j"$(nproc)" "$name" >"$work/build.log" 2>&1 || {
	tail -40 "$work/build.log" | tee "$out.failed" >&2
	exit 1
}
seconds=$(($(date +%s) - start))
echo "built $flavour in $seconds s" >&2
mkdir -p "$out"
echo "$seconds" >"$out/build-seconds"
cp "$work/.config" "$out/config"
cp "$work/$image" "$out/$name.part"
mv "$out/$name.part" "$out/$name"
rm -f "$out.failed"
rm -rf "$work"
echo "$out/$name"
