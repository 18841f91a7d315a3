#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-only
# /init of the LAVA test guests: mount what the kernel does not, then a shell
# on the console, whose prompt LAVA waits for before it runs the tests.
/bin/busybox mkdir -p /proc /sys /dev /tmp /run
/bin/busybox mount -t proc proc /proc
/bin/busybox --install -s /bin # finds itself through /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mkdir -p /dev/shm
mount -t tmpfs tmpfs /dev/shm
mount -t tmpfs tmpfs /tmp
mount -t tmpfs tmpfs /run
export PATH=/bin:/opt/kernel-checks/bin
exec setsid cttyhack sh
