#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-only
# /init of the test guests: mount what the kernel does not, measure the
# kernel apart from the checks, run rss_map_check once under a tracer of its
# own to see which probe it stops at, then run_checks (and again with
# --strict, through the LAVA definition's script, and checks.runs=N more
# times, beside checks.busy=N spinning processes, when the kernel command
# line asks);
# report on the serial console in "@@" marker lines and reboot, which with
# qemu's -no-reboot ends the guest.
export PATH=/bin:/checks
mkdir -p /proc /sys /dev /tmp
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
# What udev would make and devtmpfs does not (kselftest's runner writes
# to /dev/stdout).
ln -s /proc/self/fd /dev/fd
ln -s /proc/self/fd/0 /dev/stdin
ln -s /proc/self/fd/1 /dev/stdout
ln -s /proc/self/fd/2 /dev/stderr
mkdir -p /dev/shm
mount -t tmpfs tmpfs /dev/shm
mount -t tmpfs tmpfs /tmp
echo "@@BEGIN $(uname -r) $(uname -m)"
echo "@@CPUS $(grep -c '^processor' /proc/cpuinfo)"
guest_probe measure

mkdir /hugepages
mount -t hugetlbfs none /hugepages
guest_probe trace /checks/rss_map_check >/tmp/trace.out 2>/tmp/trace.err
grep '^@@' /tmp/trace.out
grep -v '^@@' /tmp/trace.out | sed 's/^/@@TRACE_OUT /'
sed 's/^/@@TRACE_ERR /' /tmp/trace.err
umount /hugepages
rmdir /hugepages
echo 0 >/proc/sys/vm/nr_hugepages

run_checks -t 120 >/tmp/ktap 2>&1
echo "@@STATUS $?"
sed 's/^/@@KTAP /' /tmp/ktap
run_checks -t 120 --strict >/tmp/strict 2>&1
echo "@@STRICT_STATUS $?"
grep -e '^ *\(not \)\{0,1\}ok ' -e '^ *# [^ ]*: SKIP ' /tmp/strict | sed 's/^/@@STRICT /'

# The LAVA definition's script, as a plain shell runs it: result.txt.
/checks/lava/kernel-checks.sh -t 120 -r /checks/run_checks >/tmp/lava.log 2>&1
sed 's/^/@@RESULT /' /checks/lava/output/result.txt
sed 's/^/@@LAVA_KTAP /' /checks/lava/output/ktap.txt

# The collection under the kernel's own kselftest runner, where it is there.
if [ -x /kselftest/run_kselftest.sh ]; then
	# Appending: the runner reopens /dev/stdout, whose writes then append.
	/kselftest/run_kselftest.sh -c kernel_checks >>/tmp/kselftest 2>&1
	echo "@@KSELFTEST_STATUS $?"
	sed 's/^/@@KSELFTEST /' /tmp/kselftest
fi

# Linaro's kselftest.sh, unchanged, in both of its modes, where the guest has
# it: the archive downloaded from busybox's httpd (TESTPROG_URL), and the
# archive unpacked onto a kernel's install at KSELFTEST_PATH, as tuxlava
# overlays it (the install's list names another collection). No python3
# here: its log is parsed on the host.
linaro() {
	mode=$1
	shift
	# dash: /bin/sh on a lab's Debian, which its "#!/bin/sh" means there.
	(cd /linaro/automated/linux/kselftest && dash ./kselftest.sh -c kernel_checks -s True "$@" \
		>/tmp/linaro.log 2>&1)
	echo "@@LINARO_${mode}_STATUS $?"
	sed "s/^/@@LINARO_${mode}_CONSOLE /" /tmp/linaro.log
	sed "s/^/@@LINARO_${mode}_RESULT /" /linaro/automated/linux/kselftest/output/result.txt
	sed "s/^/@@LINARO_${mode}_LOG /" /linaro/automated/linux/kselftest/output/kselftest.txt
}
if [ -d /linaro ] && ip link set lo up; then
	archive=$(basename /www/*.tar.gz)
	httpd -p 127.0.0.1:18765 -h /www
	linaro URL -u "http://127.0.0.1:18765/$archive" -p /nonexistent/kselftest
	install=/opt/kselftests/default-in-kernel
	mkdir -p "$install"
	cp -r /kselftest/run_kselftest.sh /kselftest/kselftest "$install/"
	echo size:get_size >"$install/kselftest-list.txt"
	tar -xzf "/www/$archive" -C "$install"
	linaro INSTALLED -p "$install/"
	echo "@@LINARO_INSTALLED_LIST $(cat "$install/kselftest-list.txt")"
fi

# checks.busy=N: as many processes spinning while the runs repeat, so that
# the scheduler moves the check between CPUs as it maps.
busy=$(sed -n 's/.*checks\.busy=\([0-9]*\).*/\1/p' /proc/cmdline)
i=0
while [ "$i" -lt "${busy:-0}" ]; do
	(while :; do :; done) &
	i=$((i + 1))
done
runs=$(sed -n 's/.*checks\.runs=\([0-9]*\).*/\1/p' /proc/cmdline)
i=0
while [ "$i" -lt "${runs:-0}" ]; do
	run_checks -t 120 | grep -e '^# kernel: anonymous ' -e '^  # anonymous: ' -e '^  not ok' \
		-e '^  ok .* # XFAIL' \
		-e '^\(not \)\{0,1\}ok 1 ' | sed 's/^/@@REPEAT /'
	i=$((i + 1))
done
echo "@@NR_HUGEPAGES $(cat /proc/sys/vm/nr_hugepages)"
echo "@@MOUNTS $(grep -c hugetlbfs /proc/mounts)"
echo "@@END"
reboot -f
