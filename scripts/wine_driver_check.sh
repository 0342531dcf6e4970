#!/usr/bin/env bash
# vku2cam.sys under Wine's kernel: installed as a demand-start kernel
# service, started (DriverEntry runs and installs its routines) and stopped
# (the kernel calls the driver's unload routine, which only DriverEntry can
# have installed), twice, so a clean unload is also a clean reload.
# Expects WINEPREFIX to be set up (scripts/wine_checks.sh does it).
# Usage: scripts/wine_driver_check.sh BUILD_DIR
set -euo pipefail
build=$1
drivers="$WINEPREFIX/drive_c/windows/system32/drivers"

sc() { timeout --kill-after=10 60 wine sc "$@"; }
state() {  # the service's state name: RUNNING, STOPPED, ...
  sc query vku2cam | tr -d '\r' | awk '/STATE/ {print $4}'
}
wait_for() {  # wait_for STATE: up to ten seconds
  for _ in $(seq 50); do
    [ "$(state)" = "$1" ] && return 0
    sleep 0.2
  done
  echo "vku2cam: expected $1, found $(state)" >&2
  return 1
}

cp "$build/driver/vku2cam.sys" "$drivers/vku2cam.sys"
sc create vku2cam type= kernel start= demand \
  binPath= 'C:\windows\system32\drivers\vku2cam.sys' >/dev/null
for round in 1 2; do
  sc start vku2cam >/dev/null
  wait_for RUNNING
  sc stop vku2cam >/dev/null
  wait_for STOPPED
  echo "ok    vku2cam.sys started and unloaded (round $round)"
done
sc delete vku2cam >/dev/null
