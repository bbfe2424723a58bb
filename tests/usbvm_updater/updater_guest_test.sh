#!/bin/sh
# The shipped updater on the guest's real USB stack: the simulated module
# relayed onto a FunctionFS gadget, the simulated update server on loopback.
# Runs inside the scripts/usbvm guest (busybox sh); exits non-zero when any
# case fails, printing what the updater, the gadget and the module said.
#
# Cases, the first two on a high-speed (512-byte packets) and on a
# full-speed (64-byte packets) bus:
#   discover     updater -D lists the module with its identity and build
#   update       updater -G -U downloads the build and installs it through
#                the loader restart (the device leaves the bus and returns)
#                and the reboot; the module's written image is the payload
#                with the serial number patched in; the module then reports
#                its new build and the store records the transfer
#   never-back   a module that is gone for good after LOAD fails the update
#                with exit status 1, and nothing is recorded

SERIAL=0012ABCD
MODEL=0x13          # "Norquil" in the model table
OLD_BUILD=61000
NEW_BUILD=61001
SIM_PORT=9120
work=/tmp/usbvm-updater

# The firmware: a loader, two firmware blocks far apart, the serial-number
# word in the second block and the serial text in the first, so a patch that
# only looks at one block or writes the wrong bytes shows in the image.
LOADER_ADDR=0x20000000
FW1_ADDR=0x00008000 FW1_NAME=00008000 FW1_SIZE=5000   # not a whole number of 512-byte pieces
FW2_ADDR=0x00020000 FW2_NAME=00020000 FW2_SIZE=1300
SERIAL_WORD_AT=0x00020010     # in block 2, little-endian u32
SERIAL_TEXT_AT=0x00008200     # in block 1, eight characters at even bytes

failures=
pids=

fail() {
  echo "FAIL [$case]: $*"
  failures="$failures $case"
}

stop_all() {
  for p in $pids; do kill -TERM "$p" 2>/dev/null; done
  for p in $pids; do wait "$p" 2>/dev/null; done
  pids=
}
trap stop_all EXIT

# wait_for FILE PATTERN TENTHS: true once FILE holds a line matching PATTERN.
wait_for() {
  n=0
  while [ "$n" -lt "$3" ]; do
    grep -q -- "$2" "$1" 2>/dev/null && return 0
    sleep 0.1
    n=$((n + 1))
  done
  return 1
}

show() {
  for f in "$@"; do
    [ -f "$f" ] || continue
    echo "----- $f (last 40 lines)"
    tail -n 40 "$f"
  done
}

# patch_bytes FILE OFFSET OCTAL-ESCAPES: overwrites bytes in place.
patch_bytes() {
  printf "$3" | dd of="$1" bs=1 seek="$2" conv=notrunc 2>/dev/null
}

# The image a module must hold after the update: the payloads with the
# serial number written where the offsets block says.
make_firmware() {
  mkdir -p "$work/fw" || return 1
  head -c 2048 /dev/urandom >"$work/fw/loader.bin"
  head -c $FW1_SIZE /dev/urandom >"$work/fw/$FW1_NAME.bin"
  head -c $FW2_SIZE /dev/urandom >"$work/fw/$FW2_NAME.bin"
  cp "$work/fw/$FW1_NAME.bin" "$work/fw/expect-$FW1_NAME.bin"
  cp "$work/fw/$FW2_NAME.bin" "$work/fw/expect-$FW2_NAME.bin"
  # 0x0012ABCD little-endian
  patch_bytes "$work/fw/expect-$FW2_NAME.bin" $((SERIAL_WORD_AT - FW2_ADDR)) '\315\253\022\000'
  i=0
  for c in 0 0 1 2 A B C D; do
    patch_bytes "$work/fw/expect-$FW1_NAME.bin" $((SERIAL_TEXT_AT - FW1_ADDR + 2 * i)) "$c"
    i=$((i + 1))
  done
  bird_fixture -o "$work/fw/$NEW_BUILD.bird" \
    --loader $LOADER_ADDR "@$work/fw/loader.bin" \
    --firmware $FW1_ADDR "@$work/fw/$FW1_NAME.bin" \
    --firmware $FW2_ADDR "@$work/fw/$FW2_NAME.bin" \
    --serial-offsets $SERIAL_WORD_AT $SERIAL_TEXT_AT \
    --descriptor $NEW_BUILD 2.16.0 $SERIAL Norquil
}

start_server() {
  cat >"$work/fw/server.conf" <<EOF
device $SERIAL
latest $NEW_BUILD
firmware FW-NORQUIL
build $OLD_BUILD 2.15.3
build $NEW_BUILD 2.16.0 $NEW_BUILD.bird
EOF
  updateserver-sim --config "$work/fw/server.conf" --log "$work/server.log" >"$work/server.out" 2>&1 &
  pids="$pids $!"
  wait_for "$work/server.out" '^PORT ' 50 || { fail "update server did not start"; show "$work/server.out"; return 1; }
  url=$(sed -n 2p "$work/server.out")
}

# start_module CASE GADGET-OPTIONS -- SIM-OPTIONS: the simulated module
# relayed onto the gadget; true once the device is enabled on the bus.
start_module() {
  dir=$work/$1
  shift
  gadget_opts=
  while [ "$#" -gt 0 ] && [ "$1" != "--" ]; do gadget_opts="$gadget_opts $1"; shift; done
  [ "$1" = "--" ] && shift
  mkdir -p "$dir"
  sim --tcp 127.0.0.1:$SIM_PORT --serial $SERIAL --model $MODEL --build $OLD_BUILD --version 2.15.3 \
    --dump-firmware "$dir/image" "$@" >"$dir/sim.log" 2>&1 &
  sim_pid=$!
  pids="$pids $sim_pid"
  wait_for "$dir/sim.log" '^tcp ' 50 || { fail "sim did not start"; show "$dir/sim.log"; return 1; }
  usbgadget --connect 127.0.0.1:$SIM_PORT --model $MODEL --serial $SERIAL $gadget_opts >"$dir/gadget.log" 2>&1 &
  gadget_pid=$!
  pids="$pids $gadget_pid"
  wait_for "$dir/gadget.log" 'usbgadget: enable' 100 || { fail "gadget not enabled"; show "$dir/gadget.log"; return 1; }
  wait_for "$dir/gadget.log" "usbgadget: enable $speed-speed" 1 || fail "gadget not on a $speed-speed bus"
}

# use_bus high|full: the device controller reloaded at that speed (no
# gadget may be bound).
use_bus() {
  speed=$1
  rmmod dummy_hcd 2>/dev/null
  if [ "$speed" = high ]; then modprobe dummy_hcd; else modprobe dummy_hcd is_high_speed=0; fi
}

stop_module() {
  kill -TERM "$sim_pid" "$gadget_pid" 2>/dev/null
  wait "$sim_pid"
  sim_rc=$?
  wait "$gadget_pid" 2>/dev/null
  remaining=
  for p in $pids; do [ "$p" = "$sim_pid" ] || [ "$p" = "$gadget_pid" ] || remaining="$remaining $p"; done
  pids=$remaining
}

# run_updater CASE ARGS...: the updater's status in $rc, its output in
# $dir/out and $dir/err.
run_updater() {
  dir=$work/$1
  shift
  t=$(date +%s)
  updater -X 0x10001 -i "$store" "$@" >"$dir/out" 2>"$dir/err"
  rc=$?
  echo "[$case] updater $* -> exit status $rc after $(($(date +%s) - t)) s"
}

expect_status() {
  [ "$rc" -eq "$1" ] || fail "updater exit status $rc, expected $1"
}

expect_line() { # FILE PATTERN WHAT
  grep -q -- "$2" "$1" || fail "$3: no line matching '$2' in $(basename "$1")"
}

count_lines() { # FILE PATTERN
  grep -c -- "$2" "$1" 2>/dev/null
}

# wait_for_enables N: true once the gadget was enabled N times (it is back
# on the bus after N - 1 departures).
wait_for_enables() {
  n=0
  while [ "$n" -lt 100 ]; do
    [ "$(count_lines "$dir/gadget.log" 'usbgadget: enable')" -ge "$1" ] && return 0
    sleep 0.1
    n=$((n + 1))
  done
  return 1
}

case_discover() {
  case=discover/$speed
  start_module $case -- || return
  run_updater $case -D
  expect_status 0
  expect_line "$dir/out" '^Discovered Devices: (USB)$' "table heading"
  expect_line "$dir/out" "^    $SERIAL  04       04      Norquil        2\.15\.3 (     $OLD_BUILD)  " "module row"
  [ "$(count_lines "$dir/out" '^    [0-9A-F]\{8\}  ')" = 1 ] || fail "expected exactly one module row"
  stop_module
}

case_update() {
  case=update/$speed
  start_module $case -- --restart-drops --build-after $NEW_BUILD || return
  run_updater $case -G -U -d $SERIAL -u "$url"
  expect_status 0
  expect_line "$dir/out" '^Update time: [0-9]*\.[0-9]\{4\} sec$' "update finished"
  expect_line "$dir/sim.log" 'restart into the loader' "module restarted into its loader"
  # Leaving the bus at the loader restart and at the reboot, back each time.
  detaches=$(count_lines "$dir/gadget.log" 'usbgadget: detach')
  [ "${detaches:-0}" -ge 2 ] || fail "device left the bus $detaches times, expected the loader restart and the reboot"

  # Back in its firmware after the reboot, the module reports the new build.
  wait_for_enables 3 || fail "device did not come back after the reboot"
  run_updater $case -D
  expect_status 0
  expect_line "$dir/out" "^    $SERIAL  04 .*Norquil .*( *$NEW_BUILD)  " "new build after the update"

  settings=$store/updater/$SERIAL/.settings
  expect_line "$settings" "LATEST_TRANSFER.*$NEW_BUILD\.bird" "transfer recorded"
  cmp -s "$store/updater/$SERIAL/$NEW_BUILD.bird" "$work/fw/$NEW_BUILD.bird" || fail "stored BIRD file differs from the server's"

  stop_module
  [ "$sim_rc" -eq 0 ] || fail "sim could not dump its image (status $sim_rc)"
  for name in $FW1_NAME $FW2_NAME; do
    if [ ! -f "$dir/image-$name.bin" ]; then
      fail "nothing written at 0x$name"
    elif ! cmp "$dir/image-$name.bin" "$work/fw/expect-$name.bin"; then
      fail "image at 0x$name is not the payload with the serial number patched"
    fi
  done
  runs=$(ls "$dir"/image-*.bin 2>/dev/null | wc -l)
  [ "$runs" -eq 2 ] || fail "written image has $runs runs, expected 2: $(ls "$dir"/image-*.bin 2>/dev/null)"
}

# Uses the store an update left, so the build is settled and loaded as usual.
case_never_back() {
  case=never-back/$speed
  start_module $case -- --restart-drops --fault-never-back || return
  settings=$store/updater/$SERIAL/.settings
  cp "$settings" "$dir/settings.before" 2>/dev/null || : >"$dir/settings.before"
  run_updater $case -U -d $SERIAL -u "$url"
  expect_status 1
  expect_line "$dir/sim.log" 'restart: never comes back' "module went away at LOAD"
  [ "$(count_lines "$dir/gadget.log" 'usbgadget: enable')" -eq 1 ] || fail "the device came back on the bus"
  # Fifteen tries to find it again, the libusb context dropped before every third.
  refreshes=$(count_lines "$dir/err" 'refreshing libusb context')
  [ "${refreshes:-0}" -eq 5 ] || fail "libusb context refreshed $refreshes times while looking for the module, expected 5"
  grep -q '^Update time:' "$dir/out" && fail "a failed update reported its time"
  cmp -s "$settings" "$dir/settings.before" || fail "a failed update changed the settings"
  stop_module
  [ -n "$(ls "$dir"/image-*.bin 2>/dev/null)" ] && fail "firmware written though the module never came back"
}

rm -rf "$work"
mkdir -p "$work"
if ! make_firmware; then
  echo "FAIL: cannot make the BIRD file"
  exit 1
fi
start_server || exit 1

run_case() {
  before=$failures
  t0=$(date +%s)
  $1
  echo "[$case] $(($(date +%s) - t0)) s"
  if [ "$failures" != "$before" ]; then
    show "$dir/out" "$dir/err" "$dir/gadget.log" "$dir/sim.log" "$work/server.log"
  fi
}

for bus in full high; do
  use_bus $bus
  store=$work/store-$bus
  run_case case_discover
  run_case case_update
done
run_case case_never_back

stop_all
if [ -n "$failures" ]; then
  echo "updater guest tests failed:$failures"
  exit 1
fi
echo "updater guest tests passed"
