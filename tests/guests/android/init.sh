#!/system/bin/sh
# SPDX-License-Identifier: GPL-2.0-only
# shellcheck shell=ksh
# /init of the Android-like guest, mksh and toybox alone: mounts what
# Android's init would, measures the kernel apart from the checks, then runs
# run_checks as a tester in an adb root shell does (cd /data/local/tmp &&
# ./run_checks) in two rounds: with /bin linked to /system/bin, as recent
# releases have it, and with no /bin at all, as older ones. Each round also
# runs rss_map_check bare, with its /dev/shm and /hugepages made for it, so
# that only the shell for its system() differs. Reports on the serial
# console in "@@" marker lines and reboots, which with qemu's -no-reboot
# ends the guest.
export PATH=/system/bin
set -o pipefail
mount -t proc proc /proc
mount -t sysfs sysfs /sys
# On a device /dev is a tmpfs that ueventd fills: these are the nodes used.
mount -t tmpfs -o mode=0755,nosuid tmpfs /dev
mknod -m 0666 /dev/null c 1 3
mknod -m 0666 /dev/zero c 1 5
mknod -m 0666 /dev/full c 1 7
mknod -m 0666 /dev/urandom c 1 9
mknod -m 0600 /dev/kmsg c 1 11
mknod -m 0600 /dev/console c 5 1
echo "@@BEGIN $(uname -r) $(uname -m)"

# The guest's own measurement, with a /tmp and a /dev/shm lent to it alone.
mkdir /tmp /dev/shm
mount -t tmpfs tmpfs /tmp
mount -t tmpfs tmpfs /dev/shm
guest_probe measure
umount /dev/shm
umount /tmp
rmdir /dev/shm /tmp

# What a run could leave changed: names in /, /dev and /data/local/tmp, the
# mounts, the huge-page count.
state() {
	names=$(ls -a / /dev /data/local/tmp)
	pages=$(cat /proc/sys/vm/nr_hugepages 2>/dev/null || echo none)
	echo "${names//$'\n'/ } mounts=$(grep -c . /proc/mounts) pages=$pages"
}

for round in bin nobin; do
	if [ "$round" = bin ]; then
		ln -s /system/bin /bin
	else
		rm /bin
	fi
	echo "@@SH.$round $(ls -ld /bin 2>&1)"
	before=$(state)
	cd /data/local/tmp && ./run_checks -t 120 >/dev/.ktap 2>&1 &
	runner=$!
	# Where the runner keeps its lock and record while it runs.
	while kill -0 "$runner" 2>/dev/null && [ ! -d /dev/kernel-checks ]; do :; done
	stat -c "@@STATE.$round %n %a %u" /dev/kernel-checks 2>/dev/null
	wait "$runner"
	echo "@@STATUS.$round $?"
	sed "s/^/@@KTAP.$round /" /dev/.ktap
	rm /dev/.ktap
	after=$(state)
	if [ "$before" = "$after" ]; then
		echo "@@LEFT.$round nothing"
	else
		echo "@@LEFT.$round before: $before after: $after"
	fi

	mkdir /dev/shm /hugepages
	mount -t tmpfs tmpfs /dev/shm
	mount -t hugetlbfs none /hugepages 2>/dev/null
	(cd /data/local/tmp && ./rss_map_check 2>&1) | sed "s/^/@@BARE.$round /"
	echo "@@BARE_STATUS.$round $?"
	echo "@@BARE_PAGES.$round $(cat /proc/sys/vm/nr_hugepages 2>/dev/null || echo none)"
	umount /hugepages 2>/dev/null
	umount /dev/shm
	rmdir /dev/shm /hugepages
	echo 0 >/proc/sys/vm/nr_hugepages 2>/dev/null
done
echo "@@END"
reboot -f
