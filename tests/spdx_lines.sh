#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-only
# Every file of the tree that can hold one names its license in an
# SPDX-License-Identifier line: .reuse/dep5 gives every file a license and a
# copyright for reuse lint, so that alone would not notice a file without.
# The exceptions are the license texts and the two kselftest files whose
# every line their runner reads. Exits 77 outside a git checkout.
#
# usage: spdx_lines.sh SOURCE_DIR
cd "$1" || exit 1
git rev-parse --git-dir >/dev/null 2>&1 || {
	echo "skipped: not a git checkout"
	exit 77
}
missing=$(git ls-files | grep -v -x -e 'LICENSES/.*' -e .reuse/dep5 -e kselftest/settings \
	-e kselftest/kselftest-list.txt | while read -r file; do
	grep -q 'SPDX-License-Identifier[:] ' "$file" || echo "$file"
done)
if [ -n "$missing" ]; then
	echo "no SPDX-License-Identifier line in:"
	echo "$missing"
	exit 1
fi
