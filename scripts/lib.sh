# SPDX-License-Identifier: MIT
# shellcheck shell=bash
# Helpers the scripts share. A script sets `script` to the name its messages
# start with, then sources this file from the tree's root:
#   script=check-install; . scripts/lib.sh

# One line on standard error naming the script, and status 1.
fail() {
  echo "${script:-$(basename "$0")}: $*" >&2
  exit 1
}

# The project's version, as CMakeLists.txt gives it.
project_version() {
  sed -n 's/^project(aimlink VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt
}

# start_aimsim PROGRAM [OPTION...]: starts a simulated head and reads the
# path of its terminal (its first line) into aimsim_device; its process is
# aimsim_pid. The caller's EXIT trap calls stop_aimsim.
aimsim_pid=""
aimsim_device=""
start_aimsim() {
  exec 3< <(exec "$@")
  aimsim_pid=$!
  read -r -t 20 aimsim_device <&3 || fail "$1 did not start"
}

# Ends the simulated head start_aimsim started, if it runs.
stop_aimsim() {
  [ -n "$aimsim_pid" ] || return 0
  kill "$aimsim_pid" 2>/dev/null || true
  wait "$aimsim_pid" 2>/dev/null || true
  aimsim_pid=""
  exec 3<&-
}

# run_pytest LOG PYTHON ARGUMENT...: pytest quietly and without its cache,
# its output also in LOG. pytest exits 5 when it collects nothing, which
# set -e stops on; a run that skipped everything fails here.
run_pytest() {
  local log=$1 python=$2
  shift 2
  "$python" -m pytest -p no:cacheprovider -q "$@" | tee "$log"
  grep -Eq '^[0-9]+ passed' "$log" || fail "no test passed"
}

# run_scans PROGRAM...: each scan example against the simulated head at
# aimsim_device; each must report four arrivals.
run_scans() {
  local program output
  for program in "$@"; do
    output=$(AIMLINK_DEVICE=$aimsim_device timeout 60 "$program") || fail "$program failed: $output"
    [ "$(grep -c 'arrived' <<<"$output")" -eq 4 ] || fail "$program: $output"
    echo "$script: $(basename "$program"): $(tail -n 1 <<<"$output")"
  done
}

# install_missing PACKAGE...: installs with apt-get those not installed yet,
# in one line; apt-get's own output is shown only when it fails.
install_missing() {
  local missing=() package log sudo=""
  for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "$script: installing ${missing[*]}"
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  log=$(mktemp)
  # Other programs may be installing too: wait for the package lock, within a
  # bound. A mirror in the middle of a sync fails an update now and then:
  # try again later, up to three minutes in all, and in the end install from
  # the lists there are.
  local pause
  for pause in 30 60 90 0; do
    $sudo apt-get -o DPkg::Lock::Timeout=300 update -qq >>"$log" 2>&1 && break
    sleep "$pause"
  done
  if ! DEBIAN_FRONTEND=noninteractive $sudo apt-get -o DPkg::Lock::Timeout=300 install -y -qq \
    --no-install-recommends "${missing[@]}" >>"$log" 2>&1; then
    tail -n 20 "$log" >&2
    rm -f "$log"
    fail "apt-get could not install ${missing[*]}"
  fi
  rm -f "$log"
}
