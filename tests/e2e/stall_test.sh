#!/usr/bin/env bash
# Servers that accept and then say nothing. With the documented bounds a
# silent session host costs the installer one 60-second receive before it
# reconnects, and a silent mirror one 60-second attempt per object before
# the session fetches it (both runs at once, to spend the minute once).
# With the stall bound shortened for the test, a host silent for good is
# tried on exactly three new connections, 1, 2 and 4 s apart, and the run
# then ends as failed (exit code 1603; quiet, so no box) with nothing
# installed.
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/install_checks.sh"
cp "$PELLINOR_EXE" "$SCRATCH/Pellinor.exe"

# accept_times LOG: the seconds of each accepted connection.
accept_times() { awk '$2 == "accept" { print $1 }' "$1"; }

release="$SCRATCH/release"
make_release "$release"
mirror_port=$(free_port)
"$PUBLISH" --mirror="$SCRATCH/mirror" --site="http://127.0.0.1:$mirror_port/=15" "$release" \
  >/dev/null || fail "brevane-publish failed"
items=$(manifest_entries "$release/files.ver" | wc -l)

# 1. The documented bounds. A silent session host: the installer's second
# connection comes one stall bound plus the first pause after its first.
silent_port=$(free_port)
start_stalling_server "$silent_port" "$SCRATCH/silent-host.log"
PELLINOR_LOG="$SCRATCH/silent-host-pellinor.log" "$WINE_RUN" "$SCRATCH/Pellinor.exe" \
  "host=127.0.0.1:$silent_port" "dir=$(wpath "$SCRATCH/silent-install")" >/dev/null 2>&1 &
silent_app=$!
track "$silent_app"

# A silent mirror beside a real session host: every object is asked for at
# once (15 workers for 8 files), each attempt ends at the bound, and the
# session delivers everything.
start_stalling_server "$mirror_port" "$SCRATCH/silent-mirror.log"
start_sessiond_as mirror 0 "$release"
mirror_start=$(monotonic_now)
PELLINOR_LOG="$SCRATCH/silent-mirror-pellinor.log" "$WINE_RUN" "$SCRATCH/Pellinor.exe" \
  "host=127.0.0.1:$SESSION_PORT" "dir=$(wpath "$SCRATCH/mirror-install")" >/dev/null 2>&1 &
mirror_app=$!
track "$mirror_app"

wait_exit "$mirror_app" 150 || fail "silent mirror: installer still running after 150 s"
mirror_end=$(monotonic_now)
[ "$WAITED_STATUS" -eq 0 ] || fail "silent mirror: exit code $WAITED_STATUS"
check_installed "$release" "$release/files.ver" "$SCRATCH/mirror-install"
asked=$(grep -c 'data b.GET ' "$SCRATCH/silent-mirror.log")
[ "$asked" -eq "$items" ] || fail "silent mirror: asked $asked times for $items objects"
took=$(awk -v a="$mirror_start" -v b="$mirror_end" 'BEGIN { printf "%d", b - a }')
[ "$took" -ge 59 ] && [ "$took" -lt 100 ] || fail "silent mirror: the install took $took s, not one 60 s bound"
pass "silent mirror: $asked objects asked for once each, the session delivered all $CHECKED_COUNT in $took s"

for _ in $(seq 300); do [ "$(accept_times "$SCRATCH/silent-host.log" | wc -l)" -ge 2 ] && break; sleep 0.5; done
mapfile -t at < <(accept_times "$SCRATCH/silent-host.log")
[ "${#at[@]}" -ge 2 ] || fail "silent host: the installer never came back (${#at[@]} connections)"
gap=$(awk -v a="${at[0]}" -v b="${at[1]}" 'BEGIN { printf "%.1f", b - a }')
awk -v g="$gap" 'BEGIN { exit !(g >= 60.5 && g < 70) }' ||
  fail "silent host: second connection $gap s after the first, not 60 s + 1 s"
kill "$silent_app"
wait_exit "$silent_app" 20 || fail "silent host: installer did not end when killed"
pass "silent host: the stalled receive ended after 60 s; reconnected $gap s after the first connection"

# 2. A host silent for good, with the stall bound shortened to 2 s (the test
# build): four connections (the first and three tries), then the run ends.
mkdir -p "$SCRATCH/test-build" && cp "$PELLINOR_TEST_EXE" "$SCRATCH/test-build/Pellinor.exe"
good_port=$(free_port)
start_stalling_server "$good_port" "$SCRATCH/for-good.log"
start=$(monotonic_now)
PELLINOR_TEST_STALL_MS=2000 PELLINOR_LOG="$SCRATCH/for-good-pellinor.log" "$WINE_RUN" \
  "$SCRATCH/test-build/Pellinor.exe" "host=127.0.0.1:$good_port" "dir=$(wpath "$SCRATCH/for-good")" quiet \
  >/dev/null 2>&1 &
app=$!
track "$app"
wait_exit "$app" 60 || fail "silent for good: installer still running after 60 s"
end=$(monotonic_now)
[ "$WAITED_STATUS" -eq "$(win_status 1603)" ] || fail "silent for good: exit code $WAITED_STATUS"
mapfile -t at < <(accept_times "$SCRATCH/for-good.log")
[ "${#at[@]}" -eq 4 ] || fail "silent for good: ${#at[@]} connections, not 1 + 3"
# Each try: the stall (2 s) and its pause (1, 2, 4 s) after the one before.
awk -v a="${at[0]}" -v b="${at[1]}" -v c="${at[2]}" -v d="${at[3]}" 'BEGIN {
  exit !(b - a >= 2.9 && b - a < 6 && c - b >= 3.9 && c - b < 7 && d - c >= 5.9 && d - c < 9) }' ||
  fail "silent for good: connections at ${at[*]}"
[ "$(grep -c '#UPDVER' "$SCRATCH/for-good.log")" -eq 4 ] ||
  fail "silent for good: not one notice per connection: $(cat "$SCRATCH/for-good.log")"
[ "$(grep -c 'files.ver;0;262144' "$SCRATCH/for-good.log")" -eq 4 ] ||
  fail "silent for good: the manifest was not asked for once per connection"
took=$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%d", b - a }')
[ "$took" -lt 30 ] || fail "silent for good: the run took $took s"
[ -z "$(find "$SCRATCH/for-good" -type f 2>/dev/null)" ] || fail "silent for good: files were installed"
pass "silent for good: 4 connections at the bounded pauses, nothing installed, exit code 1603, run over in $took s"
