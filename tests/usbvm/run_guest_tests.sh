#!/bin/sh
# usbvm-run-tests PROGRAM...: runs inside the guest. Each program gets a
# freshly loaded dummy_hcd (high speed) and its own result line; the exit
# status is 1 when any of them failed.
failed=
for t in "$@"; do
  rmmod dummy_hcd 2>/dev/null
  modprobe dummy_hcd
  echo "usbvm: == $t"
  "$t"
  rc=$?
  echo "usbvm: == $t: exit status $rc"
  [ "$rc" -eq 0 ] || failed="$failed $(basename "$t")"
done
if [ -n "$failed" ]; then
  echo "usbvm: failed:$failed"
  exit 1
fi
echo "usbvm: all $# guest programs passed"
