#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The daemon's systemd unit as systemd rates it, offline: its exposure must
# stay at 2.5 or below. Skipped (77) where systemd-analyze is missing.
set -euo pipefail
unit=${1:?usage: unit_exposure.sh UNIT_FILE}
command -v systemd-analyze >/dev/null || { echo "unit_exposure: no systemd-analyze; skipped"; exit 77; }
rating=$(systemd-analyze security --offline=yes --no-pager "$unit" 2>&1 | grep -o 'Overall exposure level for [^:]*: [0-9.]*' || true)
[ -n "$rating" ] || { echo "unit_exposure: $unit: systemd-analyze gave no rating" >&2; exit 1; }
level=${rating##* }
echo "unit_exposure: $unit: exposure $level"
awk -v level="$level" 'BEGIN { exit !(level <= 2.5) }' || { echo "unit_exposure: $unit: exposure $level is over 2.5" >&2; exit 1; }
