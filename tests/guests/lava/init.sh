#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-only
# /init of the LAVA test guests: mount what the kernel does not, then a shell
# on the console, whose prompt LAVA waits for before it runs the tests.
/bin/busybox mkdir -p /proc /sys /dev /tmp /run
/bin/busybox mount -t proc proc /proc
/bin/busybox --install -s /bin # finds itself through /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
# What udev would make and devtmpfs does not (kselftest's runner writes to
# /dev/stdout).
ln -s /proc/self/fd /dev/fd
ln -s /proc/self/fd/0 /dev/stdin
ln -s /proc/self/fd/1 /dev/stdout
ln -s /proc/self/fd/2 /dev/stderr
mkdir -p /dev/shm
mount -t tmpfs tmpfs /dev/shm
mount -t tmpfs tmpfs /tmp
mount -t tmpfs tmpfs /run
export PATH=/bin:/usr/bin:/opt/kernel-checks/bin
# The kselftest archive, for a kselftest.sh that downloads it.
if [ -d /www ]; then
	ip link set lo up
	httpd -p 127.0.0.1:18765 -h /www
fi
# The prompt LAVA waits for, whichever sh (busybox's, or dash) this is.
export PS1='/ # '
exec setsid cttyhack sh
