#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-only
# run_checks' layer rule: each file includes only files below it. The order
# is the list under "layers: bottom first" in docs/architecture.md; a file
# may include its own header and any file named before it there. A file of
# run_checks/ that the list does not name fails too, so the list stays whole.
#
# usage: layers.sh SOURCE_DIR
cd "$1" || exit 1
order=$(awk '/<!-- layers: bottom first -->/ { at = 1; next }
	at && /^```/ { if (++fences == 2) exit; next }
	at && fences == 1' docs/architecture.md | tr ' ' '\n' | grep .)
[ -n "$order" ] || {
	echo "no layer list in docs/architecture.md"
	exit 1
}
rank() {
	echo "$order" | grep -n -x -- "$1" | cut -d: -f1
}
status=0
for file in run_checks/*.cpp run_checks/*.h; do
	name=$(basename "$file" | sed 's/\.[ch]pp$//; s/\.h$//')
	mine=$(rank "$name")
	if [ -z "$mine" ]; then
		echo "$file: not in the layer list of docs/architecture.md"
		status=1
		continue
	fi
	bad=$(sed -n 's/^#include "\([a-z_]*\)\.h"$/\1/p' "$file" | while read -r included; do
		[ "$included" = "$name" ] && continue
		theirs=$(rank "$included")
		if [ -z "$theirs" ] || [ "$theirs" -ge "$mine" ]; then
			echo "$file includes $included.h, which is not below it"
		fi
	done)
	if [ -n "$bad" ]; then
		echo "$bad"
		status=1
	fi
done
[ $status = 0 ] && echo "$(echo "$order" | wc -l) files, each including only files below it"
exit $status
