#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-only
# The benchmark of scripts/check-kernel: boot to verdict of a tinyconfig
# kernel (tiny-kernel.sh's patched 6.1, its patch switched on, under TCG)
# against bare qemu booting the same kernel and initramfs (check-kernel
# --keep's) to the same verdict, and to an init that only powers off. What
# check-kernel adds to the guest's own work (packing the initramfs, choosing
# the accelerator, reading the console) is its overhead; the goal is under
# 10% of boot to verdict. The three commands run in turn, the order reversed
# every other round; medians of wall time.
#
# usage: bench/check-kernel.sh [--smoke] [BIN_DIR]   BIN_DIR: static x86-64
#   programs (default build/x86/bin, as the tests build them)
#   --smoke: two rounds, no target judged; exits 77 (not 2) when it cannot
#   run here
# Exits 1 when (not --smoke) the overhead misses its target.
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
rounds=15 cannot=2 smoke=0
if [ "${1:-}" = --smoke ]; then
	rounds=2 cannot=77 smoke=1
	shift
fi
bin_dir=${1:-$top/build/x86/bin}
cache=${XDG_CACHE_HOME:-${HOME:-/root}/.cache}/kernel-checks/x86
busybox=$cache/busybox
for need in "$bin_dir/run_checks" "$busybox" /usr/bin/qemu-system-x86_64; do
	[ -e "$need" ] || {
		echo "bench: no $need (scripts/setup.sh --tests, and a build with the tests)" >&2
		exit "$cannot"
	}
done
kernel=$("$top/tests/guests/tiny-kernel.sh" patched "$cache" 2>/dev/null) || {
	echo "bench: no patched kernel (tests/guests/tiny-kernel.sh patched)" >&2
	exit "$cannot"
}

keep=$(mktemp -d)
trap 'rm -rf "$keep"' EXIT
command=("$top/scripts/check-kernel" --accel tcg --append hugetlb_rss=1 --bin-dir "$bin_dir"
	--busybox "$busybox" "$kernel")
status=0
"${command[@]}" --keep "$keep" >"$keep/report" 2>&1 || status=$?
if [ "$status" != 0 ]; then
	echo "bench: check-kernel did not pass on the patched kernel (status $status):" >&2
	cat "$keep/report" >&2
	exit 1
fi
# The same qemu command line, console thrown away; and with the init told
# to power off as soon as it runs.
eval "verdict=($(cat "$keep/qemu-command"))"
poweroff=("${verdict[@]}")
last=$((${#poweroff[@]} - 1))
poweroff[last]="${poweroff[last]} checkkernel.probe=1"

ms() { # COMMAND... -> its wall time in ms
	local start
	start=$(date +%s%N)
	"$@" </dev/null >/dev/null 2>&1 || true
	echo $((($(date +%s%N) - start) / 1000000))
}
rm -f "$keep/poweroff" "$keep/bare" "$keep/command"
for round in $(seq "$rounds"); do
	order=(poweroff bare command)
	[ $((round % 2)) = 0 ] && order=(command bare poweroff)
	for which in "${order[@]}"; do
		case $which in
		poweroff) ms "${poweroff[@]}" >>"$keep/poweroff" ;;
		bare) ms "${verdict[@]}" >>"$keep/bare" ;;
		command) ms "${command[@]}" >>"$keep/command" ;;
		esac
	done
done
median() { sort -n "$1" | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
off=$(median "$keep/poweroff") bare=$(median "$keep/bare") cmd=$(median "$keep/command")
echo "check-kernel on a tinyconfig 6.1 kernel under TCG, $rounds rounds, median wall time:"
printf '  %-58s %7d ms\n' "bare qemu, the same kernel and initramfs, init powers off" "$off" \
	"bare qemu, the same kernel and initramfs, boot to verdict" "$bare" \
	"check-kernel, boot to verdict" "$cmd"
overhead=$((cmd - bare))
percent=$(awk -v o="$overhead" -v b="$bare" 'BEGIN { printf "%.1f", 100 * o / b }')
echo "  check-kernel's overhead: $overhead ms, $percent% of boot to verdict (target: under 10%)"
if [ "$smoke" = 0 ] && awk -v p="$percent" 'BEGIN { exit !(p >= 10) }'; then
	echo "bench: check-kernel's overhead misses its target" >&2
	exit 1
fi
