#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-only
# The benchmark: each check program as three builds (glibc dynamic, glibc
# static, musl static) against its true floor (bench/nolibc_floor_*.c: no C
# library, the system calls of the musl build after musl's start-up, and
# nothing else), in one run:
#   1. user-space instructions under callgrind, the children counted (the
#      shell of system()), and the program's own process alone;
#   2. system calls under strace -f, the children counted, and whether they
#      are the floor's, in number and order, process by process;
#   3. wall time, the floor and the three builds interleaved (F A B C, then
#      C B A F, ...), paired per-round ratios to the floor with a 95%
#      bootstrap interval, and the program's own peak RSS (VmHWM at its exit);
#      new_file_read_check on a path no run used before;
#   4. run_checks against the two checks run by hand with the same
#      preparation (bench/hand_run.cpp), glibc and musl, with the machine's
#      pool empty (each run reserves it: cold) and already reserved (warm);
#      and with none, 1, 10 and 100 -d directories against a bare
#      new_file_read_check;
#   5. the sizes of the binaries, static arm64 builds included where the
#      cross compiler and the musl of tests/guests/fetch-arm64.sh are there;
#   6. scripts/check-kernel against bare qemu booting the same kernel and
#      initramfs (bench/check-kernel.sh);
# and then the targets. rss_map_check runs on the real kernel, so every side
# stops where this kernel's verdict stops the check.
#
# usage: bench/run.sh [--smoke]     as root; builds Release into build-bench*/
#   (or under $BENCH_BUILD_DIR)
#   --smoke: a few runs only, to see that it all still builds and runs, and
#   that the musl builds still make their floors' system calls; exits 77
#   (not 2) when it cannot run here, and judges no timing.
# Exits 1 when a musl build's system calls differ from its floor's, or (not
# --smoke) when a target is missed.
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
builds=${BENCH_BUILD_DIR:-$top}
runs=300 warmup=30 runner_runs=100 cannot=2 smoke=0
if [ "${1:-}" = "--smoke" ]; then
	runs=3 warmup=1 runner_runs=3 cannot=77 smoke=1
fi
if [ "$(id -u)" != 0 ]; then
	echo "bench: needs root (hugetlbfs at /hugepages, /proc/sys/vm/nr_hugepages)" >&2
	exit "$cannot"
fi
for tool in valgrind strace; do
	command -v "$tool" >/dev/null || {
		echo "bench: needs $tool (scripts/setup.sh --tests installs it)" >&2
		exit "$cannot"
	}
done
if [ ! -s /usr/lib/x86_64-linux-musl/libc.a ]; then
	echo "bench: needs musl-dev (scripts/setup.sh --tests installs it)" >&2
	exit "$cannot"
fi

# Runs a command with its output and any "Aborted" notice of a check's abort
# hidden; the status is left for the caller.
quiet() {
	("$@"
		exit $?) >/dev/null 2>&1
}

build() { # DIR [CMAKE ARGS...]
	local dir=$1
	shift
	cmake -S "$top" -B "$dir" -DCMAKE_BUILD_TYPE=Release -DCHECKS_TESTS=OFF "$@" >/dev/null
	cmake --build "$dir" -j2 >/dev/null
}
build "$builds/build-bench" -DCHECKS_BENCH=ON
build "$builds/build-bench-static" -DCHECKS_STATIC=ON
build "$builds/build-bench-musl" -DCHECKS_LIBC=musl
arm64=()
musl_arm64=${XDG_CACHE_HOME:-${HOME:-/root}/.cache}/kernel-checks/musl-arm64
if command -v aarch64-linux-gnu-g++ >/dev/null && [ -s "$musl_arm64/usr/lib/aarch64-linux-musl/libc.a" ]; then
	toolchain=-DCMAKE_TOOLCHAIN_FILE=$top/cmake/aarch64-linux-gnu.cmake
	build "$builds/build-bench-arm64" "$toolchain" -DCHECKS_STATIC=ON
	build "$builds/build-bench-arm64-musl" "$toolchain" -DCHECKS_LIBC=musl
	arm64=(arm64 arm64-musl)
fi
bin() { # BUILD -> its bin/
	case $1 in
	floor | dynamic) echo "$builds/build-bench/bin" ;;
	static) echo "$builds/build-bench-static/bin" ;;
	musl) echo "$builds/build-bench-musl/bin" ;;
	*) echo "$builds/build-bench-$1/bin" ;;
	esac
}
interleave=$builds/build-bench/bench/interleave
hand_run=$builds/build-bench/bench/hand_run
label() { # BUILD
	case $1 in
	floor) echo "no C library (floor)" ;;
	dynamic) echo "glibc dynamic" ;;
	static) echo "glibc static" ;;
	musl) echo "musl static" ;;
	esac
}

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
# mappings before it ends (0: it passes).
quiet strace -f -e trace=mmap -o "$work/mmaps" "$(bin dynamic)/rss_map_check" || true
stop_at=$(grep -c 'mmap(NULL, 16777216,' "$work/mmaps" || true)
if quiet "$(bin dynamic)/rss_map_check"; then stop_at=0; fi

# The command line of PROGRAM as BUILD, with a fresh file for new_file_read_check.
command_of() { # PROGRAM BUILD
	local path
	if [ "$2" = floor ]; then path=$(bin floor)/nolibc_floor_$1; else path=$(bin "$2")/$1; fi
	if [ "$1" = rss_map_check ]; then
		if [ "$2" = floor ]; then echo "$path $stop_at"; else echo "$path"; fi
	else
		echo "$path @FRESH@"
	fi
}
export BENCH_FRESH_DIR=$work

# Instructions of a command's processes: "ALL OWN".
instructions() { # CMD...
	local out=$work/cg.$RANDOM
	mkdir "$out"
	quiet valgrind --tool=callgrind --trace-children=yes --callgrind-out-file="$out/%p" "$@" || true
	awk -v cmd="$*" '
		/^cmd:/ { line = $0; sub(/^cmd: */, "", line); own = line == cmd }
		/^summary:/ { all += $2; if (own) mine = $2 }
		END {
			if (mine == "") { print "bench: no callgrind figures for " cmd > "/dev/stderr"; exit 1 }
			print all, mine
		}' "$out"/*
}

# System calls, from strace -f: one line per process (in order of appearance)
# of its calls' names, the first process's from its first call named FIRST,
# that is, without the C library's start-up.
calls() { # FIRST CMD...
	local first=$1 log=$work/st.$RANDOM
	shift
	quiet strace -f -o "$log" "$@" || true
	awk -v first="$first" '
		{
			pid = $1; line = $0; sub(/^[0-9]+ +/, "", line)
			if (line ~ /^(<\.\.\.|---|\+\+\+)/) next
			name = line; sub(/\(.*/, "", name)
			if (!(pid in seen)) { seen[pid] = ++n; order[n] = pid }
			all++
			if (seen[pid] == 1) own++
			if (seen[pid] == 1 && !started) { if (name != first) next; started = 1 }
			seq[pid] = seq[pid] " " name
		}
		END {
			print all, own
			for (i = 1; i <= n; i++) print substr(seq[order[i]], 2)
		}' "$log"
}

differ=0 missed=0
declare -A own_insns wall
echo "## User-space instructions and system calls"
echo
echo "| program | build | instructions, all processes | its own process | own over the floor | system calls, all processes | its own process | the floor's calls |"
echo "|---|---|---:|---:|---:|---:|---:|---|"
for program in new_file_read_check rss_map_check; do
	first=$([ "$program" = rss_map_check ] && echo unlink || echo poll)
	for b in floor dynamic static musl; do
		read -ra cmd < <(command_of "$program" "$b")
		instructions "${cmd[@]}" >"$work/insns"
		read -r all own <"$work/insns"
		own_insns[$program.$b]=$own
		calls "$first" "${cmd[@]}" >"$work/$b.calls"
		read -r sys_all sys_own < "$work/$b.calls"
		same=-
		if [ "$b" != floor ]; then
			if cmp -s <(tail -n +2 "$work/$b.calls") <(tail -n +2 "$work/floor.calls"); then
				same=yes
			else
				same=no
				if [ "$b" = musl ]; then differ=1; fi
			fi
		fi
		over=$((own - ${own_insns[$program.floor]}))
		printf '| %s | %s | %d | %d | %s | %d | %d | %s |\n' "$program" "$(label "$b")" \
			"$all" "$own" "$([ "$b" = floor ] && echo - || echo "$over")" "$sys_all" "$sys_own" "$same"
	done
done
echo
echo "rss_map_check stops at probe $stop_at on this kernel (all sides alike); \"the floor's calls\":"
echo "the same calls in the same order in every process, after the C library's start-up."
echo

echo "## Wall time and the program's own peak RSS, interleaved ($runs runs after $warmup warm-up)"
for program in new_file_read_check rss_map_check; do
	echo
	args=()
	for b in floor dynamic static musl; do
		read -ra cmd < <(command_of "$program" "$b")
		args+=(-- "$program, $(label "$b")" "${cmd[@]}")
	done
	"$interleave" "$runs" "$warmup" "${args[@]}" | tee "$work/wall.$program"
	wall[$program]=$(grep -F "$program, $(label musl)" "$work/wall.$program" | awk -F'|' '{ gsub(/ /, "", $7); print $7 }')
done
echo

# The runner's rows: "RATIO LOW-HIGH" of the second command to the first.
paired() { # FILE
	awk -F'|' 'NR == 4 { gsub(/ /, "", $7); gsub(/ /, "", $8); print $7, $8 }' "$1"
}
echo "## run_checks against the checks run by hand, interleaved ($runner_runs runs after $warmup warm-up)"
echo
echo "The same preparation on both sides: a private mount namespace with a tmpfs at /dev/shm and a"
echo "hugetlbfs at /hugepages, 100 huge pages reserved and the count put back, a fresh directory for"
echo "the new file. Pool cold: the machine's count is 0, so each run reserves it; warm: already 100."
declare -A runner
for pool in cold warm; do
	if [ "$pool" = cold ]; then echo 0; else echo 100; fi >/proc/sys/vm/nr_hugepages
	for b in dynamic musl; do
		echo
		"$interleave" "$runner_runs" "$warmup" \
			-- "by hand, $(label "$b"), pool $pool" "$hand_run" "$(bin "$b")" \
			-- "run_checks, $(label "$b"), pool $pool" "$(bin "$b")/run_checks" | tee "$work/runner.$b.$pool"
		runner[$b.$pool]=$(paired "$work/runner.$b.$pool")
	done
done
echo 100 >/proc/sys/vm/nr_hugepages
echo
echo "run_checks with -d directories (each a directory of its own) against a bare new_file_read_check:"
echo
dirs=()
for i in $(seq 1 100); do
	mkdir "$work/dir.$i"
	dirs+=(-d "$work/dir.$i")
done
"$interleave" "$runner_runs" "$warmup" \
	-- "new_file_read_check, bare" "$(bin dynamic)/new_file_read_check" @FRESH@ \
	-- "run_checks, no -d" "$(bin dynamic)/run_checks" \
	-- "run_checks, -d x1" "$(bin dynamic)/run_checks" "${dirs[@]:0:2}" \
	-- "run_checks, -d x10" "$(bin dynamic)/run_checks" "${dirs[@]:0:20}" \
	-- "run_checks, -d x100" "$(bin dynamic)/run_checks" "${dirs[@]}" | tee "$work/dirs"
median() { # LABEL
	grep -F "| $1 " "$work/dirs" | awk -F'|' '{ print $5 }'
}
per_dir=$(echo "($(median "run_checks, -d x100") - $(median "run_checks, -d x10")) / 90 / $(median "new_file_read_check, bare")" | bc -l)
echo
echo "Each -d directory beyond the tenth: $(printf %.3f "$per_dir") times a bare new_file_read_check (difference of medians)."
echo

echo "## Sizes in bytes, not stripped"
echo
echo "| program | glibc dynamic | glibc static | musl static |$([ ${#arm64[@]} -gt 0 ] && echo ' arm64 glibc static | arm64 musl static |')"
echo "|---|---:|---:|---:|$([ ${#arm64[@]} -gt 0 ] && echo '---:|---:|')"
for program in new_file_read_check rss_map_check run_checks; do
	row="| $program"
	for b in dynamic static musl "${arm64[@]}"; do
		row="$row | $(stat -c %s "$(bin "$b")/$program")"
	done
	echo "$row |"
done
echo
echo "NEEDED (glibc dynamic): $(readelf -d "$(bin dynamic)/rss_map_check" "$(bin dynamic)/new_file_read_check" | awk '/NEEDED/ { print $NF }' | sort -u | tr '\n' ' ')"
echo

# check-kernel against bare qemu booting the same kernel and initramfs, with
# the glibc static programs.
echo "## check-kernel"
echo
ck_status=0 ck_args=()
[ "$smoke" = 1 ] && ck_args=(--smoke)
"$top/bench/check-kernel.sh" "${ck_args[@]}" "$(bin static)" >"$work/check-kernel" || ck_status=$?
cat "$work/check-kernel"
echo
ck_overhead=$(sed -n "s/.*check-kernel's overhead: -\{0,1\}[0-9]* ms, \(-\{0,1\}[0-9.]*\)%.*/\1/p" "$work/check-kernel")

echo "## Targets"
echo
target() { # MET? TEXT
	if [ "$1" = 1 ]; then echo "- met: $2"; else
		echo "- MISSED: $2"
		missed=1
	fi
}
ratio=${wall[new_file_read_check]}
target "$(echo "$ratio <= 1.3" | bc -l)" \
	"new_file_read_check, musl static, within 1.3x the floor's wall time (paired median): $(printf %.3f "$ratio")x"
for b in dynamic musl; do
	for pool in cold warm; do
		read -r r interval <<<"${runner[$b.$pool]}"
		target "$(echo "$r <= 1.25 && ${interval#*-} <= 1.35" | bc -l)" \
			"run_checks, $(label "$b"), pool $pool, at most 1.25x the checks run by hand (upper end of the interval at most 1.35): ${r}x [$interval]"
	done
done
target "$(echo "$per_dir <= 1.2" | bc -l)" \
	"each -d directory at most 1.2x a bare new_file_read_check: $(printf %.3f "$per_dir")x"
extra=$((${own_insns[rss_map_check.musl]} - ${own_insns[rss_map_check.floor]}))
target "$([ "$extra" -le 8000 ] && echo 1 || echo 0)" \
	"rss_map_check, musl static, its own process within 8,000 instructions of the floor's: $extra over"
if [ ${#arm64[@]} -gt 0 ]; then
	for program in new_file_read_check rss_map_check; do
		size=$(stat -c %s "$(bin arm64-musl)/$program")
		target "$([ "$size" -le 102400 ] && echo 1 || echo 0)" \
			"$program, arm64 musl static, at most 100 KB unstripped: $size bytes"
	done
fi
if [ -n "$ck_overhead" ]; then
	target "$(echo "$ck_overhead < 10" | bc -l)" \
		"check-kernel's overhead under 10% of boot to verdict: ${ck_overhead}%"
elif [ "$ck_status" != 77 ]; then
	target 0 "check-kernel's benchmark ran (status $ck_status)"
fi
target "$([ "$differ" = 0 ] && echo 1 || echo 0)" \
	"both musl static builds make their floors' system calls, in number and order"
if [ "$differ" = 1 ]; then
	echo "bench: a musl build's system calls differ from its floor's" >&2
	exit 1
fi
if [ "$missed" = 1 ] && [ "$smoke" = 0 ]; then
	exit 1
fi
