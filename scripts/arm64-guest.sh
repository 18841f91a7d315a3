#!/usr/bin/env bash
# Boots an arm64 kernel under qemu-system-aarch64 with an initramfs holding
# the static arm64 programs, busybox as /bin/sh and tests/arm64/init.sh as
# /init, which runs run_checks and powers off. The serial console (CRLF lines,
# results as "@@" marker lines) goes to LOG. qemu exits 0 even when the guest
# panics: trust only the markers.
#
# usage: arm64-guest.sh KERNEL CPU BIN_DIR BUSYBOX LOG [KERNEL_ARGS]
#   CPU: cortex-a57 for 4 KiB-page kernels, max,pauth=off for 16 KiB ones
set -euo pipefail

kernel=$1 cpu=$2 bin_dir=$3 busybox=$4 log=$5 extra=${6:-}
top=$(cd "$(dirname "$0")/.." && pwd)

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
root=$work/root
mkdir -p "$root/bin" "$root/checks"
cp "$busybox" "$root/bin/busybox"
for applet in sh mount umount mkdir rmdir cat sed grep uname poweroff; do
	ln -s busybox "$root/bin/$applet"
done
for program in rss_map_check new_file_read_check run_checks guest_probe; do
	cp "$bin_dir/$program" "$root/checks/"
done
cp "$top/tests/arm64/init.sh" "$root/init"
(cd "$root" && find . | cpio -o -H newc --quiet) | gzip -1 >"$work/initramfs.gz"

timeout 300 qemu-system-aarch64 -M virt -cpu "$cpu" -smp 2 -m 1024 -nic none \
	-display none -monitor none -serial "file:$log" -no-reboot \
	-kernel "$kernel" -initrd "$work/initramfs.gz" \
	-append "console=ttyAMA0 panic=-1 quiet $extra"
