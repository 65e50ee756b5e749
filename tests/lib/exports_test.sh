#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The shared library exports exactly the names its headers declare, and
# carries its soname. Usage: exports_test.sh LIBRARY HEADER...
set -euo pipefail
library=$1
shift
declared=$(sed -n -e 's/^AIMLINK_API [^(]*[ *]\([A-Za-z_][A-Za-z_0-9]*\)(.*/\1/p' \
                  -e 's/^extern AIMLINK_API [^;[]* \([A-Za-z_][A-Za-z_0-9]*\)[[;].*/\1/p' "$@" | sort -u)
exported=$(nm -D --defined-only "$library" | awk '{ print $3 }' | sed 's/@.*//' | grep -v '^AIMLINK_1$' | sort -u)
if [ "$declared" != "$exported" ]; then
  diff <(echo "$declared") <(echo "$exported") | sed 's/^</declared, not exported:/; s/^>/exported, not declared:/' >&2
  exit 1
fi
soname=$(readelf -d "$library" | sed -n 's/.*Library soname: \[\(.*\)\]/\1/p')
[ "$soname" = "libaimlink.so.1" ] || { echo "soname is '$soname'" >&2; exit 1; }
echo "exports: $(wc -l <<<"$exported") names, soname $soname"
