#!/usr/bin/env bash
# Runs every test: the native unit and tool tests under AddressSanitizer and
# UndefinedBehaviorSanitizer, then the Windows build's tests under Wine
# (portable unit tests again, Windows module tests, end-to-end tests).
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/build.sh" || exit 1

status=0
echo "== native tests (ASan, UBSan)"
(cd "$root/build/native" && ctest --output-on-failure -j2) || status=1
win=win
if [ "$(bash "$root/scripts/wine-bits.sh")" = 64 ]; then
  win=win64
  echo "== Windows tests under Wine, built for 64-bit Windows (this host cannot execute"
  echo "   32-bit programs; the shipped 32-bit program is examined by e2e.binary, not run)"
else
  echo "== Windows tests under Wine"
fi
# One at a time: end-to-end tests use fixed loopback ports for the hosted services.
(cd "$root/build/$win" && ctest --output-on-failure) || status=1
exit $status
