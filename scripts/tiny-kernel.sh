#!/usr/bin/env bash
# Builds a minimal kernel from Debian's linux-source package: tinyconfig
# plus a fragment. x86-64, with tests/x86/kernel.config: from
# linux-source-6.1 as it comes (stock) or with tests/x86/hugetlb-rss.patch
# (patched), which also counts hugetlb pages in the RSS counters; from
# linux-source-6.12, all with SMP for many CPUs (tests/x86/smp.config):
# stock-6.12 and patched-6.12 (the same patch in 6.12's terms), and lag:
# statm read from the counters' approximate value (as from 6.2 until the
# exact sum) and, with hugetlb_rss_leak=1 on its command line, hugetlb pages
# counted in but never out (a kernel that reports bad rss-counter state).
# arm64, from linux-source-6.12 with tests/android/kernel.config: nohugetlbfs,
# built as Android's GKI kernels are in the respect that matters here.
# Each package is fetched once, not installed; each build is cached under a
# hash of the source version, the config and the patches, so a second run
# does not rebuild. Prints the path of the kernel image; exits 3 when the
# source or the compiler cannot be had (a test then skips), else non-zero
# when the build fails.
#
# usage: tiny-kernel.sh FLAVOUR|source [CACHE]   FLAVOUR: stock, patched,
#   stock-6.12, patched-6.12, lag or nohugetlbfs (default CACHE:
#   ${XDG_CACHE_HOME:-~/.cache}/kernel-checks/x86; "source" only fetches and
#   unpacks the 6.1 source, whose tools/testing/kunit the tests use as well)
set -euo pipefail

flavour=$1
top=$(cd "$(dirname "$0")/.." && pwd)
cache=${2:-${XDG_CACHE_HOME:-${HOME:-/root}/.cache}/kernel-checks/x86}
x86=$top/tests/x86
series=6.1 src=$cache/src fragments=("$x86/kernel.config") patches=()
make_args=() image=arch/x86/boot/bzImage
case $flavour in
stock | source) ;;
patched) patches=("$x86/hugetlb-rss.patch") ;;
stock-6.12 | patched-6.12 | lag)
	series=6.12 src=$cache/src-6.12
	fragments+=("$x86/smp.config")
	;;&
patched-6.12) patches=("$x86/hugetlb-rss-6.12.patch") ;;
lag) patches=("$x86/statm-approximate-6.12.patch" "$x86/hugetlb-rss-leak-6.12.patch") ;;
stock-6.12) ;;
nohugetlbfs)
	series=6.12 src=$cache/src-6.12
	fragments=("$top/tests/android/kernel.config")
	make_args=(ARCH=arm64 CROSS_COMPILE=aarch64-linux-gnu-) image=arch/arm64/boot/Image
	command -v aarch64-linux-gnu-gcc >/dev/null || {
		echo "tiny-kernel: no aarch64-linux-gnu-gcc (scripts/setup.sh --tests installs it)" >&2
		exit 3
	}
	;;
*)
	echo "usage: $0 stock|patched|stock-6.12|patched-6.12|lag|nohugetlbfs|source [CACHE]" >&2
	exit 2
	;;
esac
mkdir -p "$src"

# One extraction at a time: the stock and patched builds may start together.
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
key=$({
	echo "$version $flavour"
	cat "${fragments[@]}" "${patches[@]}"
} | sha256sum | cut -c1-16)
out=$cache/$flavour-$key
tree=$src/linux
name=$(basename "$image")
if [ ${#patches[@]} -gt 0 ] && [ ! -s "$out/$name" ]; then
	# A linked copy: patch writes each file it changes anew, which breaks
	# the link, so the pristine tree stays pristine.
	tree=$src/linux-$key
	if [ ! -d "$tree" ]; then
		rm -rf "$tree.part"
		cp -al "$src/linux" "$tree.part"
		for p in "${patches[@]}"; do
			patch -d "$tree.part" -p1 --quiet <"$p"
		done
		mv "$tree.part" "$tree"
	fi
fi
flock -u 9
# One build of a flavour at a time: two tests may want the same kernel at
# once, and a second build would remove the first one's work.
exec 8>"$out.lock"
flock 8

if [ -s "$out/$name" ]; then
	echo "cached: $out/$name" >&2
	echo "$out/$name"
	exit 0
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
			echo "tiny-kernel: '$line' did not take" >&2
			exit 1
		}
		;;
	esac
done <"$config"
start=$(date +%s)
make -C "$tree" O="$work" "${make_args[@]}" -j"$(nproc)" "$name" >"$work/build.log" 2>&1 || {
	tail -40 "$work/build.log" >&2
	exit 1
}
echo "built $flavour in $(($(date +%s) - start)) s" >&2
mkdir -p "$out"
cp "$work/.config" "$out/config"
cp "$work/$image" "$out/$name.part"
mv "$out/$name.part" "$out/$name"
rm -rf "$work"
echo "$out/$name"
