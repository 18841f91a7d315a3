#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-only
# Boots an arm64 kernel under qemu-system-aarch64 (TCG) with an initramfs
# laid out as an Android device's userland: mksh as /system/bin/sh and
# toybox for the tools (Debian's arm64 builds, from fetch-arm64.sh:
# ANDROID_ROOT); /data/local/tmp owned by the shell user (uid 2000), mode
# 0771, holding the static programs of BIN_DIR as adb push leaves them
# (owned by that user); no /run, no /tmp, no /bin (the init links /bin to
# /system/bin for its first round only); tests/guests/android/init.sh as /init,
# which makes /dev a tmpfs. Debian's toybox is linked against glibc, where a
# device's is against bionic: its loader and libraries are under /lib,
# which nothing else uses. The serial console goes to LOG ("@@" marker
# lines). Needs root, for the files' owners.
#
# usage: android-guest.sh KERNEL CPU BIN_DIR ANDROID_ROOT LOG [KERNEL_ARGS]
#   CPU: cortex-a57 for 4 KiB-page kernels, max,pauth=off for 16 KiB ones
set -euo pipefail
kernel=$1 cpu=$2 bin_dir=$3 android=$4 log=$5 extra=${6:-}
top=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
root=$work/root
mkdir -p "$root/proc" "$root/sys" "$root/dev" "$root/data/local/tmp"
cp -a "$android/." "$root/"
for applet in cat chmod cut grep head id kill ln ls mkdir mknod mount reboot rm rmdir sed \
	sleep sort stat umount uname wc; do
	ln -s toybox "$root/system/bin/$applet"
done
cp "$bin_dir/guest_probe" "$root/system/bin/"
for program in run_checks rss_map_check new_file_read_check; do
	install -m 0755 "$bin_dir/$program" "$root/data/local/tmp/"
done
chown 1000:1000 "$root/data"
chmod 0771 "$root/data"
chown -R 2000:2000 "$root/data/local"
chmod 0751 "$root/data/local"
chmod 0771 "$root/data/local/tmp"
install -m 0755 "$top/tests/guests/android/init.sh" "$root/init"
(cd "$root" && find . | cpio -o -H newc --quiet) | gzip -1 >"$work/initramfs.gz"
"$top/tests/guests/watch-guest.sh" "$log" qemu-system-aarch64 -M virt -cpu "$cpu" -smp 2 -m 1024 -nic none \
	-display none -monitor none -serial "file:$log" -no-reboot \
	-kernel "$kernel" -initrd "$work/initramfs.gz" \
	-append "console=ttyAMA0 panic=-1 quiet $extra"
