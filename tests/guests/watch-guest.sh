#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-only
# Runs a qemu guest whose serial console goes to LOG and bounds it by its
# own work, not by the wall clock under others' load: the guest is stopped
# when qemu has used CPU_LIMIT seconds of CPU (it spins: hung), when for
# IDLE_LIMIT seconds no qemu thread wanted a CPU and the console stayed
# silent (it waits for nothing: hung), or, as a last resort, after
# WALL_LIMIT seconds (starved when the rest of the host used more CPU than
# qemu did in that time, else hung). A guest that ends by itself is
# judged by its console: "Kernel panic" there is a panic (with panic=-1
# qemu then exits 0). Either way one line on stderr says which, with the
# console's last lines; a last line gives the guest's wall and CPU time.
#
# usage: watch-guest.sh LOG QEMU ARGS...
#   environment: GUEST_CPU_LIMIT (default 600), GUEST_IDLE_LIMIT (120),
#   GUEST_WALL_LIMIT (1500), in seconds (the test guests use 2 to 40 s of
#   CPU each)
# exits with qemu's status, 124 when stopped here, 125 on a panic
set -euo pipefail

log=$1
shift
cpu_limit=${GUEST_CPU_LIMIT:-600} idle_limit=${GUEST_IDLE_LIMIT:-120}
wall_limit=${GUEST_WALL_LIMIT:-1500}
tick=$(getconf CLK_TCK)

# The host's busy CPU time in ticks, from /proc/stat's first line.
host_busy() {
	awk '/^cpu / { print $2 + $3 + $4 + $7 + $8 + $9; exit }' /proc/stat
}

# qemu's own CPU time in ticks (all its threads; empty once it is gone),
# and whether any of its threads is running or wants to.
qemu_cpu() {
	awk '{ sub(/^.*\) /, ""); print $12 + $13 }' "/proc/$1/stat" 2>/dev/null || true
}
qemu_runnable() {
	{ cat /proc/"$1"/task/*/stat 2>/dev/null || true; } |
		awk '{ sub(/^.*\) /, "") } $1 == "R" { r = 1 } END { exit !r }'
}

"$@" &
qemu=$!
trap 'kill -9 "$qemu" 2>/dev/null || true' EXIT
start=$SECONDS busy0=$(host_busy) size=-1 quiet_since=$SECONDS cpu=0 why=""
# A guest is doing something while its console grows, a qemu thread runs or
# wants to, or qemu used a tenth of a CPU since the last look.
while sleep 1 && kill -0 "$qemu" 2>/dev/null; do
	last_cpu=$cpu
	now_cpu=$(qemu_cpu "$qemu")
	cpu=${now_cpu:-$cpu}
	now_size=$(stat -c %s "$log" 2>/dev/null || echo 0)
	if [ "$now_size" != "$size" ] || [ $((cpu - last_cpu)) -ge $((tick / 10)) ] ||
		qemu_runnable "$qemu"; then
		size=$now_size quiet_since=$SECONDS
	fi
	if [ $((cpu / tick)) -ge "$cpu_limit" ]; then
		why="hung: it used its ${cpu_limit} s of CPU without finishing"
	elif [ $((SECONDS - quiet_since)) -ge "$idle_limit" ]; then
		why="hung: for ${idle_limit} s it ran nothing and printed nothing"
	elif [ $((SECONDS - start)) -ge "$wall_limit" ]; then
		others=$((($(host_busy) - busy0 - cpu) / tick))
		if [ "$others" -gt $((cpu / tick)) ]; then
			why="starved: in ${wall_limit} s the host gave it $((cpu / tick)) s of CPU and others ${others} s"
		else
			why="hung: in ${wall_limit} s it had $((cpu / tick)) s of CPU and did not finish"
		fi
	fi
	if [ -n "$why" ]; then
		kill -9 "$qemu" 2>/dev/null || true
		break
	fi
done
status=0
wait "$qemu" 2>/dev/null || status=$?
trap - EXIT
if [ -z "$why" ] && [ "$status" = 0 ] && grep -q "Kernel panic" "$log" 2>/dev/null; then
	why="panicked" status=125
elif [ -n "$why" ]; then
	status=124
fi
if [ -n "$why" ]; then
	echo "guest: $why; the console's last lines:" >&2
	tail -n 15 "$log" 2>/dev/null | tr -d '\r' | sed 's/^/guest:   /' >&2
fi
echo "guest: $((SECONDS - start)) s, $((cpu / tick)) s of CPU" >&2
exit "$status"
