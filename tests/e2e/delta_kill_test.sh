#!/usr/bin/env bash
# A delta update over the session killed half-way leaves the installed file
# whole (its old version), and the next run goes on from the last checkpoint
# of the assembly: it asks only for ranges after it, each once, and the
# result is byte-identical with its stamp.
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/install_checks.sh"
. "$(dirname "$0")/update_checks.sh"
trap 'cleanup' EXIT

v1="$SCRATCH/v1" v2="$SCRATCH/v2"
mkdir -p "$v1" "$v2"
size=$((32 * 1048576))
head -c "$size" /dev/urandom >"$v1/huge.dat"
touch -d '2015-05-05 05:05:06 UTC' "$v1/huge.dat"
# A changed byte every 40 KiB: a few percent of the file, in hundreds of ranges.
python3 - "$v1/huge.dat" "$v2/huge.dat" <<'PY'
import sys
b = bytearray(open(sys.argv[1], "rb").read())
for at in range(1000, len(b), 40960):
    b[at] ^= 0x5A
open(sys.argv[2], "wb").write(b)
PY
touch -d '2016-06-06 06:06:06 UTC' "$v2/huge.dat"
"$PUBLISH" "$v1" >/dev/null && "$PUBLISH" "$v2" >/dev/null || fail "brevane-publish failed"
cp "$PELLINOR_BUILD/Pellinor.exe" "$SCRATCH/Pellinor.exe"
install="$SCRATCH/install"

start_sessiond_as one 0 "$v1" --compress=never
PELLINOR_LOG="$SCRATCH/v1.log" run_installer "$SCRATCH/Pellinor.exe" \
  "host=127.0.0.1:$SESSION_PORT" "dir=$(wpath "$install")" quiet
[ "$INSTALLER_STATUS" -eq 0 ] || fail "version 1: exit code $INSTALLER_STATUS"
kill "$SESSIOND_PID"

start_sessiond_as two 0 "$v2" --compress=never
hostlog="$SCRATCH/sessiond-two.log"
offsets() { sed -n 's/^[^"]*"huge.dat" offset=\([0-9]*\).*/\1/p' "$hostlog"; }
PELLINOR_LOG="$SCRATCH/first.log" "$WINE_RUN" "$SCRATCH/Pellinor.exe" \
  "host=127.0.0.1:$SESSION_PORT" "dir=$(wpath "$install")" quiet >/dev/null 2>&1 &
app=$!
track "$app"
half=$((size / 2))
for _ in $(seq 12000); do
  [ "$(offsets | tail -1)" -ge "$half" ] 2>/dev/null && break
  kill -0 "$app" 2>/dev/null || fail "the update ended before half-way"
  sleep 0.02
done
kill_installer "$app"
reached=$(offsets | tail -1)
[ "$reached" -ge "$half" ] && [ "$reached" -lt "$size" ] || fail "killed at offset $reached"
cmp -s "$install/huge.dat" "$v1/huge.dat" || fail "the installed file is not its old version"
before=$(offsets | wc -l)

PELLINOR_LOG="$SCRATCH/second.log" run_installer "$SCRATCH/Pellinor.exe" \
  "host=127.0.0.1:$SESSION_PORT" "dir=$(wpath "$install")" quiet
[ "$INSTALLER_STATUS" -eq 0 ] || { tail -5 "$SCRATCH/second.log" >&2; fail "the second run: exit code $INSTALLER_STATUS"; }
check_installed "$v2" "$v2/files.ver" "$install"
second=$(offsets | tail -n +$((before + 1)))
first_offset=$(echo "$second" | head -1)
# The checkpoint lies at most 4 MiB (plus a step in flight) before the kill.
[ "$first_offset" -gt 0 ] && [ "$first_offset" -ge $((reached - 4 * 1048576 - 262144)) ] ||
  fail "the second run began at $first_offset, killed at $reached"
[ -z "$(echo "$second" | sort -n | uniq -d)" ] || fail "a range was asked for twice"
pass "killed at $((reached * 100 / size)) %; the next run went on from offset $first_offset" \
  "($(echo "$second" | wc -l) ranges)"
