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
/usr/bin/python3 - "$out" <<'EOF'
import sys, yaml
out = sys.argv[1]
results, ktap, inside = [], [], False
for line in open(out + "/lava.log"):
    try:
        entry = yaml.safe_load(line)
    except yaml.YAMLError:
        continue
    if not isinstance(entry, dict):
        continue
    msg = entry.get("msg")
    if entry.get("lvl") == "results" and msg.get("definition") == "0_kernel-checks":
        case = "%s %s" % (msg["case"], msg["result"])
        if "measurement" in msg:
            figure = float(msg["measurement"])
            figure = int(figure) if figure == int(figure) else figure
            case += " %s %s" % (figure, msg.get("units", ""))
        results.append(case)
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
