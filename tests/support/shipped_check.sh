#!/usr/bin/env bash
# shipped_check.sh TESTSUPPORT_LIB SHIPPED...
# Fails when a shipped binary or library defines a symbol of the test-support
# library, or a name that only tests have a use for: the scripted stand-ins
# and test switches belong to the tests, never to what the updater ships.
set -euo pipefail
support=$1; shift
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# "ADDRESS TYPE NAME" -> "TYPE NAME", definitions only.
defined() { nm -C --defined-only "$1" | sed -nE 's/^[0-9a-f]* ([A-Za-z]) (.*)$/\1 \2/p'; }

# Strong definitions only: inline functions and templates (weak) may be
# shared with the product legitimately.
defined "$support" | sed -nE 's/^[TDBR] //p' | sort -u >"$work/support"
if [ ! -s "$work/support" ]; then
  echo "no symbols read from $support" >&2
  exit 1
fi

status=0
for shipped in "$@"; do
  defined "$shipped" | cut -d' ' -f2- | sort -u >"$work/shipped"
  # The stand-ins' and switches' names too, should one come back under a new
  # file; the seam tables themselves (aUSBSeam_*, aHIDSeam_*) are product.
  { grep -Fxf "$work/support" "$work/shipped" || true
    grep -E 'aUSBScript|aHIDSeamTest|aHIDTestDevice|emptyReadPauseMs' "$work/shipped" || true
  } | sort -u >"$work/found"
  if [ -s "$work/found" ]; then
    echo "$shipped carries test support:"
    head -20 "$work/found"
    status=1
  fi
done
[ $status -eq 0 ] && echo "shipped binaries carry no test support ($# checked)"
exit $status
