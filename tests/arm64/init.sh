#!/bin/sh
# /init of the arm64 test guest: mount what the kernel does not, measure the
# kernel apart from the checks, run rss_map_check once under a tracer to see
# which probe it stops at, then run_checks; report on the serial console in
# "@@" marker lines and power off.
export PATH=/bin:/checks
mkdir -p /proc /sys /dev /tmp
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mkdir -p /dev/shm
mount -t tmpfs tmpfs /dev/shm
mount -t tmpfs tmpfs /tmp
echo "@@BEGIN $(uname -r) $(uname -m)"
guest_probe measure

mkdir /hugepages
mount -t hugetlbfs none /hugepages
guest_probe trace /checks/rss_map_check 2>/tmp/trace.err
sed 's/^/@@TRACE_ERR /' /tmp/trace.err
umount /hugepages
rmdir /hugepages
echo 0 >/proc/sys/vm/nr_hugepages

run_checks -t 120 >/tmp/ktap 2>&1
echo "@@STATUS $?"
sed 's/^/@@KTAP /' /tmp/ktap
echo "@@NR_HUGEPAGES $(cat /proc/sys/vm/nr_hugepages)"
echo "@@MOUNTS $(grep -c hugetlbfs /proc/mounts)"
echo "@@END"
poweroff -f
