#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-only
# Runs the example LAVA job of lava/jobs/ for ARCH with a standalone
# lava-run (no server, offline): the device dictionary of lava/devices/
# rendered with lava-server's device-type templates, a busybox initramfs
# holding the static programs of BIN_DIR, and the kernel-checks TARBALL as the
# test definition's repository. Writes to OUT: lava.log (what lava-run
# logged), results.txt (the test cases LAVA recorded, "name result
# [measurement units]") and ktap.txt (run_checks' KTAP, from the same
# guest's log). The packages come from tests/guests/fetch-lava.sh's cache;
# lava-run's scratch files, under /var/lib/lava/dispatcher/tmp, are removed.
#
# With LAVA_LINARO (Linaro's test definitions) and LAVA_KSELFTEST (the
# kselftest archive), amd64 only: the job runs Linaro's kselftest.yaml
# instead, from a tarball of that layout, which downloads the archive from
# busybox's httpd in the guest (TESTPROG_URL). The guest then is what a lab's
# Debian gives kselftest.sh: dash as /bin/sh, GNU split and tar, python3 with
# python3-tap, all this machine's own. OUT/ktap.txt is then the runner's
# report as run_kselftest.sh nests it, "# " taken off, and the line
# "@@STATUS " with run_kselftest.sh's own result.
#
# usage: lava-job.sh arm64|amd64 KERNEL BIN_DIR BUSYBOX TARBALL OUT [KERNEL_ARGS]
set -euo pipefail

arch=$1 kernel=$2 bin_dir=$3 busybox=$4 tarball=$5 out=$6 kernel_args=${7:-}
top=$(cd "$(dirname "$0")/../.." && pwd)
device=$top/lava/devices/qemu-$([ "$arch" = arm64 ] && echo arm64 || echo x86_64).jinja2
job=$top/lava/jobs/$(basename "$device" .jinja2).yaml
eval "$("$top/tests/guests/fetch-lava.sh")"

work=$(mktemp -d)
id=$$
trap 'rm -rf "$work" /var/lib/lava/dispatcher/tmp/$id' EXIT
mkdir -p "$work/root/bin" "$work/root/opt/kernel-checks/bin" "$out"
cp "$busybox" "$work/root/bin/busybox"
ln -s busybox "$work/root/bin/sh"
install -m 0755 "$top/tests/guests/lava/init.sh" "$work/root/init"
for program in run_checks rss_map_check new_file_read_check; do
	cp "$bin_dir/$program" "$work/root/opt/kernel-checks/bin/"
done
definition="kernel-checks"
# Copies FILE... with the libraries they link into the guest's root, as here.
with_libraries() {
	local file lib
	for file in "$@"; do
		mkdir -p "$work/root$(dirname "$file")"
		cp -L "$file" "$work/root$file"
	done
	for lib in $(env -u LD_LIBRARY_PATH ldd "$@" 2>/dev/null |
		awk '$2 == "=>" && $3 ~ /^\// { print $3 } $1 ~ /^\/.*\.so[.0-9]*$/ { print $1 }' | sort -u); do
		[ -e "$work/root$lib" ] && continue
		mkdir -p "$work/root$(dirname "$lib")"
		cp -L "$lib" "$work/root$lib"
	done
}
if [ -n "${LAVA_LINARO:-}" ] && [ -s "${LAVA_KSELFTEST:-}" ]; then
	definition=kselftest
	mkdir -p "$work/root/www"
	cp "$LAVA_KSELFTEST" "$work/root/www/"
	tar -czf "$work/linaro-test-definitions.tar.gz" -C "$LAVA_LINARO" automated
	# What parse-output.py imports, and python3 itself.
	mapfile -t python_files < <(env -u PYTHONPATH -u LD_LIBRARY_PATH /usr/bin/python3 -c 'import sys, re, io
from tap import parser
print("\n".join(m.__file__ for m in list(sys.modules.values())
    if getattr(m, "__file__", None)))')
	with_libraries /usr/bin/dash /usr/bin/split /usr/bin/tar /usr/bin/python3.11 \
		"${python_files[@]}" /usr/lib/python3.11/encodings/*.py
	ln -sf python3.11 "$work/root/usr/bin/python3"
	mkdir -p "$work/root/usr/lib/python3.11/lib-dynload" # else it warns of it
	ln -sf /bin/busybox "$work/root/usr/bin/env"
	mv "$work/root/usr/bin/dash" "$work/root/usr/bin/split" "$work/root/usr/bin/tar" "$work/root/bin/"
	ln -sf dash "$work/root/bin/sh"
fi
(cd "$work/root" && find . | cpio -o -H newc --quiet) | gzip -1 >"$work/initramfs.cpio.gz"
cp "$kernel" "$work/vmlinuz"
cp "$tarball" "$work/$(basename "$tarball")"

/usr/bin/python3 - "$device" "$LAVA_ROOT/usr/share/lava-server/device-types" >"$work/device.yaml" <<'EOF'
import os, sys, jinja2
env = jinja2.Environment(loader=jinja2.FileSystemLoader([os.path.dirname(sys.argv[1]), sys.argv[2]]),
                         trim_blocks=True, autoescape=False)
print(env.get_template(os.path.basename(sys.argv[1])).render())
EOF
sed -e "s|file:///srv/kernel-checks/$arch/|file://$work/|" \
	-e "s|kernel-checks-[0-9.]*-$arch.tar.gz|$(basename "$tarball")|" \
	-e "s|panic=-1\"|panic=-1 $kernel_args\"|" "$job" >"$work/job.yaml"

if [ "$definition" = kselftest ]; then
	/usr/bin/python3 - "$work/job.yaml" "$work" "$(basename "$LAVA_KSELFTEST")" <<'EOF'
import sys, yaml
job = yaml.safe_load(open(sys.argv[1]))
for action in job["actions"]:
    if "test" in action:
        action["test"]["definitions"] = [{
            "repository": "file://%s/linaro-test-definitions.tar.gz" % sys.argv[2],
            "from": "url", "compression": "gz",
            "path": "automated/linux/kselftest/kselftest.yaml", "name": "kselftest",
            # An empty SKIPFILE reads as a URL there ("Failed to fetch"): a
            # name that is no file is no skipfile.
            "parameters": {"TST_CMDFILES": "kernel_checks", "SKIP_INSTALL": "true",
                           "SKIPFILE": "no-skipfile",
                           "TESTPROG_URL": "http://127.0.0.1:18765/" + sys.argv[3],
                           "KSELFTEST_PATH": "/nonexistent/kselftest"}}]
yaml.safe_dump(job, open(sys.argv[1], "w"), sort_keys=False)
EOF
fi
# LAVA_JOB_PARAMETERS (JSON): the definition's parameters for this job, on
# top of the job file's.
if [ -n "${LAVA_JOB_PARAMETERS:-}" ]; then
	/usr/bin/python3 - "$work/job.yaml" "$LAVA_JOB_PARAMETERS" <<'EOF'
import json, sys, yaml
job = yaml.safe_load(open(sys.argv[1]))
for action in job["actions"]:
    for definition in action.get("test", {}).get("definitions", []):
        definition.setdefault("parameters", {}).update(json.loads(sys.argv[2]))
yaml.safe_dump(job, open(sys.argv[1], "w"), sort_keys=False)
EOF
fi
mkdir -p /var/lib/lava/dispatcher/tmp
start=$(date +%s.%N)
/usr/bin/python3 "$LAVA_ROOT/usr/bin/lava-run" --device "$work/device.yaml" --job-id "$id" \
	--output-dir "$work/output" "$work/job.yaml" >"$out/lava.log" 2>&1 || true
echo "lava-run took $(echo "$(date +%s.%N) - $start" | bc) s" >&2

# The log is one YAML mapping a line: the recorded cases of the test
# definition, and what the target printed.
/usr/bin/python3 - "$out" "$definition" <<'EOF'
import sys, yaml
out, definition = sys.argv[1], sys.argv[2]
results, ktap, inside = [], [], False
for line in open(out + "/lava.log"):
    try:
        entry = yaml.safe_load(line)
    except yaml.YAMLError:
        continue
    if not isinstance(entry, dict):
        continue
    msg = entry.get("msg")
    if entry.get("lvl") == "results" and msg.get("definition") == "0_" + definition:
        case = "%s %s" % (msg["case"], msg["result"])
        if "measurement" in msg:
            figure = float(msg["measurement"])
            figure = int(figure) if figure == int(figure) else figure
            case += " %s %s" % (figure, msg.get("units", ""))
        results.append(case)
    elif entry.get("lvl") == "target" and isinstance(msg, str) and definition == "kselftest":
        if msg.startswith(("ok 1 selftests: kernel_checks:", "not ok 1 selftests: kernel_checks:")):
            ktap.append("@@STATUS " + msg)
            inside = False
        elif inside:
            ktap.append(msg[2:] if msg.startswith("# ") else msg.lstrip("#"))
        inside = inside or msg == "# selftests: kernel_checks: run_checks"
    elif entry.get("lvl") == "target" and isinstance(msg, str):
        inside = inside or msg == "TAP version 13"
        if inside:
            ktap.append(msg)
        inside = inside and not msg.startswith("# Totals")
open(out + "/results.txt", "w").write("".join(r + "\n" for r in results))
open(out + "/ktap.txt", "w").write("".join(k + "\n" for k in ktap))
EOF
grep -q '"Job finished correctly"' "$out/lava.log" || {
	echo "lava-job: the job did not finish correctly; see $out/lava.log" >&2
	exit 1
}
