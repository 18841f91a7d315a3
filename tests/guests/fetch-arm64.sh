#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-only
# Fetches and caches what the arm64 guest tests boot: Debian's arm64 kernel
# (4 KiB pages), its 16 KiB-page kernel, and arm64 busybox-static; an
# Android-like userland in DIR/android (mksh, statically linked against
# musl, as system/bin/sh; toybox and the glibc libraries it is linked
# against, under lib/); and musl-dev for arm64 (headers, start files,
# libc.a) beside them in DIR/../musl-arm64, for -DCHECKS_LIBC=musl; and in
# DIR/gnu, laid out as a root, Debian's dash and GNU split and tar with the
# libraries they link (Linaro's kselftest.sh needs split's -n and tar's
# reading of a compressed archive, and busybox's sh runs its own applets
# whatever PATH says). Uses apt
# with a private package list for arm64, so the machine's dpkg
# configuration stays as it is. Does nothing when the cache is complete.
#
# usage: fetch-arm64.sh [DIR]   (default $ARM64_IMAGES, else ~/.cache/kernel-checks/arm64)
set -euo pipefail

dir=${1:-${ARM64_IMAGES:-${XDG_CACHE_HOME:-${HOME:-/root}/.cache}/kernel-checks/arm64}}
musl=$(dirname "$dir")/musl-arm64
if [ -s "$dir/vmlinuz-4k" ] && [ -s "$dir/vmlinuz-16k" ] && [ -s "$dir/busybox" ] &&
	[ -s "$dir/android/system/bin/toybox" ] && [ -s "$dir/gnu/bin/dash" ] &&
	[ -s "$musl/usr/lib/aarch64-linux-musl/libc.a" ]; then
	exit 0
fi
mkdir -p "$dir/apt/lists/partial" "$dir/apt/cache/archives/partial"
apt=(-q -o APT::Architecture=arm64 -o APT::Architectures=arm64
	-o "Dir::State::Lists=$dir/apt/lists" -o "Dir::Cache=$dir/apt/cache"
	-o APT::Sandbox::User=root)
apt-get "${apt[@]}" update >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Downloads a package and writes one file of it (a shell pattern) to OUT.
extract() {
	local package=$1 member=$2 out=$3
	(cd "$work" && apt-get "${apt[@]}" download "$package" >/dev/null)
	dpkg-deb --fsys-tarfile "$work/${package}"_*.deb |
		tar -xO --wildcards "$member" >"$out.part"
	mv "$out.part" "$out"
	echo "$package -> $out" >>"$dir/VERSIONS"
}

# The meta packages depend on the current versioned image.
image_of() {
	apt-cache "${apt[@]}" depends "$1" | awk '/Depends: linux-image-/ { print $2; exit }'
}

: >"$dir/VERSIONS"
extract "$(image_of linux-image-arm64)" './boot/vmlinuz-*' "$dir/vmlinuz-4k"
extract "$(image_of linux-image-6.12-arm64-16k)" './boot/vmlinuz-*' "$dir/vmlinuz-16k"
extract busybox-static ./bin/busybox "$dir/busybox"
chmod +x "$dir/busybox"
# Android's shell and tools. No bionic can be had: toybox brings glibc's
# loader and libraries, which nothing else in that root uses.
rm -rf "$dir/android" "$dir/android.part" "$work/pkgs"
mkdir -p "$dir/android.part/system/bin" "$dir/android.part/lib/aarch64-linux-gnu" "$work/pkgs"
for package in mksh toybox libc6 libcrypt1; do
	(cd "$work" && apt-get "${apt[@]}" download "$package" >/dev/null)
	dpkg-deb -x "$work/${package}"_*.deb "$work/pkgs"
	echo "$package -> $dir/android" >>"$dir/VERSIONS"
done
cp "$work/pkgs/usr/lib/aarch64-linux-musl/bin/mksh" "$dir/android.part/system/bin/sh"
cp "$work/pkgs/bin/toybox" "$dir/android.part/system/bin/toybox"
cp -L "$work/pkgs/lib/ld-linux-aarch64.so.1" "$dir/android.part/lib/"
for lib in libc.so.6 libm.so.6 libcrypt.so.1; do
	cp -L "$work/pkgs/lib/aarch64-linux-gnu/$lib" "$dir/android.part/lib/aarch64-linux-gnu/" 2>/dev/null ||
		cp -L "$work/pkgs/usr/lib/aarch64-linux-gnu/$lib" "$dir/android.part/lib/aarch64-linux-gnu/"
done
mv "$dir/android.part" "$dir/android"
rm -rf "$dir/gnu" "$dir/gnu.part" "$work/gnu"
mkdir -p "$dir/gnu.part/bin" "$dir/gnu.part/lib/aarch64-linux-gnu" "$work/gnu"
for package in coreutils tar dash libacl1 libselinux1 libpcre2-8-0 libc6; do
	(cd "$work" && apt-get "${apt[@]}" download "$package" >/dev/null)
	dpkg-deb -x "$work/${package}"_*.deb "$work/gnu"
	echo "$package -> $dir/gnu" >>"$dir/VERSIONS"
done
cp "$work/gnu/usr/bin/split" "$work/gnu/bin/tar" "$work/gnu/bin/dash" "$dir/gnu.part/bin/"
cp -L "$work/gnu/lib/ld-linux-aarch64.so.1" "$dir/gnu.part/lib/"
for lib in libc.so.6 libacl.so.1 libselinux.so.1 libpcre2-8.so.0; do
	cp -L "$(find "$work/gnu" -name "$lib" | head -n 1)" "$dir/gnu.part/lib/aarch64-linux-gnu/"
done
mv "$dir/gnu.part" "$dir/gnu"
# musl for arm64: its headers, start files and libc.a, for the cross
# compiler to take instead of glibc's.
rm -rf "$musl"
mkdir -p "$musl"
(cd "$work" && apt-get "${apt[@]}" download musl-dev >/dev/null)
dpkg-deb -x "$work"/musl-dev_*.deb "$musl"
echo "musl-dev:arm64 -> $musl" >>"$dir/VERSIONS"
rm -rf "$dir/apt"
cat "$dir/VERSIONS"
