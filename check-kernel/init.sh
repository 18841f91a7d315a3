#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-only
# /init of the guest that scripts/check-kernel boots: mounts what run_checks
# needs, runs it (with the arguments in /checks/args, one a line) as many
# times as /checks/runs says, and reboots, which qemu's -no-reboot turns into
# its exit. Everything the host reads is on the serial console in "@@CK"
# lines, so that the kernel's own messages in between are told apart; a
# mount the checks cannot do without that fails ends in "@@CK BAIL reason".
export PATH=/bin:/checks

bail() {
	echo "@@CK BAIL $*"
	reboot -f
	exit 1
}

mkdir -p /proc /sys /dev
mount -t proc proc /proc || bail "no procfs: mounting /proc failed (CONFIG_PROC_FS)"
echo "@@CK INIT $(cut -d ' ' -f 1 /proc/uptime)"
# The KVM probe of check-kernel only wants to see that a guest gets here.
case " $(cat /proc/cmdline) " in
*" checkkernel.probe=1 "*) reboot -f ;;
esac
mount -t sysfs sysfs /sys 2>/dev/null
mount -t devtmpfs devtmpfs /dev ||
	bail "no devtmpfs: mounting it on /dev failed (CONFIG_DEVTMPFS)"
mkdir -p /dev/shm /tmp
mount -t tmpfs tmpfs /dev/shm 2>/dev/null
# new_file_read_check's directory: on a tmpfs as on most machines (on the
# initramfs itself where there is none).
mount -t tmpfs tmpfs /tmp 2>/dev/null

set --
while IFS= read -r arg; do
	set -- "$@" "$arg"
done </checks/args
runs=$(cat /checks/runs)
echo "@@CK CPUS $(grep -c '^processor' /proc/cpuinfo)"

# The first run in full; the repeats only as far as the first probe's statm
# and the check's verdict, which is what their distribution needs.
run_checks "$@" >/ktap 2>&1
echo "@@CK STATUS $?"
sed 's/^/@@CK KTAP /' /ktap
i=1
while [ "$i" -lt "$runs" ]; do
	run_checks "$@" >/ktap 2>&1
	status=$?
	grep -e '^  # anonymous: ' -e '^\(not \)\{0,1\}ok 1 rss_map_check' /ktap |
		sed "s/^/@@CK REPEAT $i $status /"
	i=$((i + 1))
done
echo "@@CK DONE $(cut -d ' ' -f 1 /proc/uptime)"
reboot -f
