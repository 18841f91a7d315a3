#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-only
# Boots a kernel under qemu-system-aarch64 or qemu-system-x86_64 (TCG: the
# /dev/kvm of these machines cannot boot a Linux guest) with an initramfs
# holding the static programs of BIN_DIR, the LAVA definition's scripts, the
# kselftest runner of GUEST_KSELFTEST with the kernel_checks collection,
# busybox as /bin/sh and tests/guests/busybox/init.sh as /init, which measures the kernel, runs the checks
# and reboots. The serial console (CRLF lines, results as "@@" marker lines)
# goes to LOG. qemu exits 0 even when the guest panics: trust only the
# markers. tests/guests/watch-guest.sh bounds the guest by its own CPU time and
# says why it stopped one that did not finish.
#
# usage: guest.sh arm64|x86_64 KERNEL CPU BIN_DIR BUSYBOX LOG [KERNEL_ARGS [CPUS]]
#   CPU: cortex-a57 for 4 KiB-page arm64 kernels, max,pauth=off for 16 KiB
#   ones, max for x86_64; CPUS: how many (default 2), each a host thread
set -euo pipefail

arch=$1 kernel=$2 cpu=$3 bin_dir=$4 busybox=$5 log=$6 extra=${7:-} cpus=${8:-2}
top=$(cd "$(dirname "$0")/../.." && pwd)

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
root=$work/root
mkdir -p "$root/bin" "$root/checks"
cp "$busybox" "$root/bin/busybox"
for applet in sh mount umount mkdir rmdir cat sed grep uname reboot awk dirname realpath basename \
	cut tr mktemp head wc sort rm which ln; do
	ln -s busybox "$root/bin/$applet"
done
for program in rss_map_check new_file_read_check run_checks guest_probe; do
	cp "$bin_dir/$program" "$root/checks/"
done
mkdir -p "$root/checks/lava"
cp "$top/lava/kernel-checks.sh" "$top/lava/ktap-results.sh" "$root/checks/lava/"
cp "$top/tests/guests/busybox/init.sh" "$root/init"
# The kernel's kselftest runner (GUEST_KSELFTEST: from kselftest/fetch-runner.sh)
# with the kernel_checks collection merged in, as a lab installs it.
if [ -s "${GUEST_KSELFTEST:-}/run_kselftest.sh" ]; then
	cp -r "$GUEST_KSELFTEST" "$root/kselftest"
	mkdir "$root/kselftest/kernel_checks"
	for program in rss_map_check new_file_read_check run_checks; do
		cp "$bin_dir/$program" "$root/kselftest/kernel_checks/"
	done
	cp "$top/kselftest/settings" "$top/kselftest/config" "$root/kselftest/kernel_checks/"
	cp "$top/kselftest/kselftest-list.txt" "$root/kselftest/"
fi
# Linaro's kselftest.sh (GUEST_LINARO: the definitions' automated/, copied
# in unchanged) and the kselftest archive it fetches (GUEST_KSELFTEST_ARCHIVE,
# served by busybox's httpd in the guest), with what a lab's Debian gives it:
# dash as its sh (busybox's sh runs its own applets whatever PATH says), GNU
# split and tar (GUEST_GNU: a root holding them in bin/ and their libraries;
# for x86-64, this machine's own).
if [ -n "${GUEST_LINARO:-}" ] && [ -s "${GUEST_KSELFTEST_ARCHIVE:-}" ]; then
	mkdir -p "$root/linaro" "$root/www" "$root/usr/bin"
	cp -r "$GUEST_LINARO/automated" "$root/linaro/"
	cp "$GUEST_KSELFTEST_ARCHIVE" "$root/www/"
	for applet in wget httpd id tee mktemp readlink cp mv date ip env tail timeout sleep gzip; do
		ln -sf busybox "$root/bin/$applet"
	done
	ln -sf /bin/env "$root/usr/bin/env"
	if [ -n "${GUEST_GNU:-}" ]; then
		cp -r "$GUEST_GNU/." "$root/"
	else
		cp /usr/bin/split /usr/bin/tar /usr/bin/dash "$root/bin/"
		for lib in $(ldd /usr/bin/split /usr/bin/tar /usr/bin/dash |
			awk '$2 == "=>" && $3 ~ /^\// { print $3 } $1 ~ /^\/.*\.so/ { print $1 }' | sort -u); do
			mkdir -p "$root$(dirname "$lib")"
			cp -L "$lib" "$root$lib"
		done
	fi
fi
(cd "$root" && find . | cpio -o -H newc --quiet) | gzip -1 >"$work/initramfs.gz"

case $arch in
arm64) qemu=(qemu-system-aarch64 -M virt) console=ttyAMA0 ;;
# no_timer_check: a guest that TCG runs slowly (a busy host) would fail the
# IO-APIC timer check and panic; a virtual machine's timer needs no check.
x86_64)
	qemu=(qemu-system-x86_64 -M q35 -accel "tcg,thread=multi") console=ttyS0
	extra="no_timer_check $extra"
	;;
*)
	echo "guest.sh: unknown architecture $arch" >&2
	exit 2
	;;
esac
"$top/tests/guests/watch-guest.sh" "$log" "${qemu[@]}" -cpu "$cpu" -smp "$cpus" -m 1024 -nic none \
	-display none -monitor none -serial "file:$log" -no-reboot \
	-kernel "$kernel" -initrd "$work/initramfs.gz" \
	-append "console=$console panic=-1 quiet $extra"
