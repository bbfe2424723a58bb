#!/usr/bin/env bash
# Checks that scripts/usbvm hands back what happened in the guest: QEMU itself
# exits 0 whatever the guest did, so a harness that misread the console would
# turn every failing guest test into a pass.
# Exit 77 (skip) when the machine cannot run a guest.
set -uo pipefail
usbvm=$(cd "$(dirname "$0")/../.." && pwd)/scripts/usbvm
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
echo hello >"$work/greeting"

# Fill the cache once, so the parallel runs below do not all wait on it.
"$usbvm" --prepare >"$work/prepare.log" 2>&1
rc=$?
if [ $rc -eq 77 ]; then cat "$work/prepare.log"; exit 77; fi
[ $rc -eq 0 ] || { cat "$work/prepare.log"; exit 1; }

# One guest per case, all at once: case name, expected status, usbvm arguments.
names=() wants=() pids=()
start() {
  local i=${#names[@]}
  names+=("$1") wants+=("$2")
  shift 2
  ( "$usbvm" --quiet "$@" >"$work/$i.log" 2>&1; echo $? >"$work/$i.rc" ) &
  pids+=($!)
}
start "success" 0 -- true
start "failure status passes through" 3 -- sh -c 'exit 3'
start "kernel panic is no success" 125 -- sh -c 'echo c >/proc/sysrq-trigger'
start "hung guest times out" 125 --timeout 8 -- sleep 600
start "a look-alike result line is ignored" 125 \
  -- sh -c 'echo "usbvm-result: exit status 0"; echo c >/proc/sysrq-trigger'
start "files, environment and quoting arrive" 0 -a "$work/greeting=/data/g" -e "WORDS=a 'b c" \
  -- sh -c '[ "$(cat /data/g)" = hello ] && [ "$WORDS" = "a '"'"'b c" ] && [ "$1" = "x y" ]' sh 'x y'
start "USB and HID kernel parts are there" 0 \
  -- sh -c 'test -e /sys/class/udc/dummy_udc.0 && test -c /dev/uhid && test -d /sys/kernel/config/usb_gadget'
wait "${pids[@]}"

failed=0
for i in "${!names[@]}"; do
  name=${names[$i]} want=${wants[$i]}
  got=$(cat "$work/$i.rc")
  if [ "$got" = 77 ]; then cat "$work/$i.log"; exit 77; fi
  if [ "$got" = "$want" ]; then
    echo "ok: $name (status $got)"
  else
    echo "FAIL: $name: status $got, want $want"
    sed 's/^/    /' "$work/$i.log"
    failed=1
  fi
done
exit $failed
