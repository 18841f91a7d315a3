#!/usr/bin/env bash
# The benchmark: each check program against its floor (the same system calls
# and nothing else, bench/floor_*.c), in one run, three ways:
#   1. user-space instructions under callgrind (the same count every run);
#   2. system calls under strace -f -c: the same calls, the same number;
#   3. wall time and peak RSS, the commands interleaved (A B C D A B ...), of
#      the dynamic and the static builds.
# rss_map_check is compared like with like twice: with all six probes run
# under the fault shim's statm model (user space only: its mappings are not
# real), and on the real kernel with the floor stopping where the check's
# verdict on this kernel stops it.
#
# usage: bench/run.sh [--smoke]     as root; builds Release into build-bench*/
#   (or under $BENCH_BUILD_DIR)
#   --smoke: a few runs only, to see that it all still builds and runs; exits
#   77 (not 2) when it cannot run here.
# Exits 1 when a program's system calls differ from its floor's; no timing is
# ever judged.
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
builds=${BENCH_BUILD_DIR:-$top}
runs=300 warmup=30 cannot=2
if [ "${1:-}" = "--smoke" ]; then
	runs=3 warmup=1 cannot=77
fi
if [ "$(id -u)" != 0 ]; then
	echo "bench: needs root (hugetlbfs at /hugepages, /proc/sys/vm/nr_hugepages)" >&2
	exit "$cannot"
fi
for tool in valgrind strace; do
	command -v "$tool" >/dev/null || {
		echo "bench: needs $tool (apt-get install $tool)" >&2
		exit "$cannot"
	}
done

# Runs a command with its output and any "Aborted" notice of a check's abort
# hidden; the status is left for the caller.
quiet() {
	("$@"
		exit $?) >/dev/null 2>&1
}

build() { # DIR [CMAKE ARGS...]
	local dir=$1
	shift
	cmake -S "$top" -B "$dir" -DCMAKE_BUILD_TYPE=Release -DCHECKS_BENCH=ON -DCHECKS_TESTS=OFF \
		"$@" >/dev/null
	cmake --build "$dir" -j2 >/dev/null
}
build "$builds/build-bench"
build "$builds/build-bench-static" -DCHECKS_STATIC=ON
dyn=$builds/build-bench/bin
sta=$builds/build-bench-static/bin
shim=$builds/build-bench/tests/shim/libfault_shim.so
interleave=$builds/build-bench/bench/interleave

# The system as rss_map_check needs it, and put back afterwards.
work=$(mktemp -d)
saved_pages=$(cat /proc/sys/vm/nr_hugepages)
mounted=0 made_dir=0
restore() {
	echo "$saved_pages" >/proc/sys/vm/nr_hugepages
	if [ "$mounted" = 1 ]; then umount /hugepages; fi
	if [ "$made_dir" = 1 ]; then rmdir /hugepages; fi
	rm -rf "$work"
}
trap restore EXIT
if ! grep -q ' /hugepages hugetlbfs ' /proc/mounts; then
	if [ ! -d /hugepages ]; then
		mkdir /hugepages
		made_dir=1
	fi
	mount -t hugetlbfs none /hugepages
	mounted=1
fi
echo 100 >/proc/sys/vm/nr_hugepages

# Where this kernel's verdict stops rss_map_check: the number of its 16 MiB
# mappings before it ends.
quiet strace -f -e trace=mmap -o "$work/mmaps" "$dyn/rss_map_check" || true
stop_at=$(grep -c 'mmap(NULL, 16777216,' "$work/mmaps")
if quiet "$dyn/rss_map_check"; then stop_at=0; fi

instructions() { # LABEL ENV... -- CMD...
	local label=$1 out
	shift
	out=$work/cg.$RANDOM
	local env=()
	while [ "$1" != "--" ]; do
		env+=("$1")
		shift
	done
	shift
	quiet env "${env[@]}" valgrind --tool=callgrind --callgrind-out-file="$out" "$@" || true
	printf '%s\t%s\n' "$label" "$(awk '/^summary:/ { print $2 }' "$out")"
}

echo "## User-space instructions (callgrind)"
echo
{
	instructions "rss_map_check, six probes (statm model)" LD_PRELOAD="$shim" SHIM_STATM=model \
		-- "$dyn/rss_map_check"
	instructions "floor, six probes (statm model)" LD_PRELOAD="$shim" SHIM_STATM=model \
		-- "$dyn/floor_rss_map_check"
	instructions "rss_map_check, real kernel" -- "$dyn/rss_map_check"
	instructions "floor, real kernel, stops at probe $stop_at" -- "$dyn/floor_rss_map_check" "$stop_at"
	instructions "new_file_read_check" -- "$dyn/new_file_read_check" "$work/cg-new"
	instructions "floor" -- "$dyn/floor_new_file_read_check" "$work/cg-floor"
} | awk -F'\t' '
	BEGIN { print "| command | instructions | ratio to floor |"; print "|---|---:|---:|" }
	NR % 2 == 1 { label = $1; n = $2; next }
	{ printf "| %s | %d | %.4f |\n| %s | %d | |\n", label, n, n / $2, $1, $2 }'
echo

syscalls() { # FILE: "name calls" lines from strace -c
	awk '/^-----/ { table = !table; next }
	     table && NF >= 5 && $NF != "total" { print $NF, $4 }' "$1" | sort
}
compare_syscalls() { # LABEL ENV... -- CHECK... -- FLOOR...
	local label=$1
	shift
	local env=() check=() floor=()
	while [ "$1" != "--" ]; do
		env+=("$1")
		shift
	done
	shift
	while [ "$1" != "--" ]; do
		check+=("$1")
		shift
	done
	shift
	floor=("$@")
	quiet env "${env[@]}" strace -f -c -o "$work/sc.check" "${check[@]}" || true
	quiet env "${env[@]}" strace -f -c -o "$work/sc.floor" "${floor[@]}" || true
	syscalls "$work/sc.check" >"$work/sc.check.calls"
	syscalls "$work/sc.floor" >"$work/sc.floor.calls"
	local same=yes
	if ! cmp -s "$work/sc.check.calls" "$work/sc.floor.calls"; then
		same=NO
		differ=1
	fi
	echo "### $label: the same calls, the same number: $same"
	echo
	echo "| system call | check | floor |"
	echo "|---|---:|---:|"
	join -a1 -a2 -e- -o 0,1.2,2.2 "$work/sc.check.calls" "$work/sc.floor.calls" |
		awk '{ printf "| %s | %s | %s |\n", $1, $2, $3 }'
	echo
}

differ=0
echo "## System calls (strace -f -c, the shell of system() included)"
echo
compare_syscalls "rss_map_check, six probes (huge pages counted by the shim)" \
	LD_PRELOAD="$shim" SHIM_STATM=hugetlb -- "$dyn/rss_map_check" -- "$dyn/floor_rss_map_check"
compare_syscalls "rss_map_check, real kernel (stops at probe $stop_at)" \
	-- "$dyn/rss_map_check" -- "$dyn/floor_rss_map_check" "$stop_at"
compare_syscalls "new_file_read_check" \
	-- "$dyn/new_file_read_check" "$work/sc-new" -- "$dyn/floor_new_file_read_check" "$work/sc-floor"

echo "## Wall time and peak RSS, interleaved ($runs runs after $warmup warm-up)"
echo
"$interleave" "$runs" "$warmup" \
	-- "rss_map_check" "$dyn/rss_map_check" \
	-- "floor (stops at probe $stop_at)" "$dyn/floor_rss_map_check" "$stop_at" \
	-- "rss_map_check static" "$sta/rss_map_check" \
	-- "floor static" "$sta/floor_rss_map_check" "$stop_at"
echo
"$interleave" "$runs" "$warmup" \
	-- "new_file_read_check" "$dyn/new_file_read_check" "$work/new" \
	-- "floor" "$dyn/floor_new_file_read_check" "$work/floor" \
	-- "new_file_read_check static" "$sta/new_file_read_check" "$work/new-static" \
	-- "floor static" "$sta/floor_new_file_read_check" "$work/floor-static"
echo
echo "NEEDED: $(readelf -d "$dyn/rss_map_check" "$dyn/new_file_read_check" | awk '/NEEDED/ { print $NF }' | sort -u | tr '\n' ' ')"
if [ "$differ" = 1 ]; then
	echo "bench: a program's system calls differ from its floor's" >&2
	exit 1
fi
