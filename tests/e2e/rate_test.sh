#!/usr/bin/env bash
# Sources that never go silent but barely send: one byte every 2 s. Each
# receive makes progress, so only the rate bound ends them; the test build
# shortens its window to a few seconds. A trickling mirror object is given up
# and fetched over the session (exit 0, every file identical); a trickling
# session host is given up after the reconnect tries and the run ends as
# failed (exit code 1603) with nothing installed. Both within a bound that a
# trickle could never meet.
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/install_checks.sh"
cp "$PELLINOR_TEST_EXE" "$SCRATCH/Pellinor.exe"
export PELLINOR_TEST_RATE_WINDOW_MS=4000

release="$SCRATCH/release"
make_release "$release"
mirror_port=$(free_port)
"$PUBLISH" --mirror="$SCRATCH/mirror" --site="http://127.0.0.1:$mirror_port/=4" "$release" \
  >/dev/null || fail "brevane-publish failed"
items=$(manifest_entries "$release/files.ver" | wc -l)

# 1. A mirror that trickles one object (600,000 bytes: days at this pace) and
# serves the others.
# (The publisher writes each object at the top and in its month folder.)
objects=$(cd "$SCRATCH/mirror" && find . -name '*_600000_bin_odd.dll' | sed 's|^\.||')
[ -n "$objects" ] || fail "no mirror object for bin/odd.dll"
sed 's/$/ trickle/' <<<"$objects" >"$SCRATCH/rules.txt"
python3 "$(dirname "$0")/fault_mirror.py" "$mirror_port" "$SCRATCH/mirror" "$SCRATCH/rules.txt" \
  "$SCRATCH/mirror.log" >"$SCRATCH/mirror.out" 2>&1 &
track $!
wait_port "$mirror_port" 10 || fail "the trickling mirror did not start"
start_sessiond "$release"
start=$(monotonic_now)
PELLINOR_LOG="$SCRATCH/mirror-pellinor.log" "$WINE_RUN" "$SCRATCH/Pellinor.exe" \
  "host=127.0.0.1:$SESSION_PORT" "dir=$(wpath "$SCRATCH/mirror-install")" quiet >/dev/null 2>&1 &
app=$!
track "$app"
wait_exit "$app" 90 || fail "trickling mirror: installer still running after 90 s"
took=$(awk -v a="$start" -v b="$(monotonic_now)" 'BEGIN { printf "%d", b - a }')
[ "$WAITED_STATUS" -eq 0 ] || fail "trickling mirror: exit code $WAITED_STATUS"
check_installed "$release" "$release/files.ver" "$SCRATCH/mirror-install"
[ "$(grep -c ' trickle$' "$SCRATCH/mirror.log")" -eq 1 ] ||
  fail "trickling mirror: the object was not asked for once: $(cat "$SCRATCH/mirror.log")"
[ "$(grep -c ' serve$' "$SCRATCH/mirror.log")" -eq $((items - 1)) ] ||
  fail "trickling mirror: the other objects were not fetched from it"
sed -n 's/^[^"]*"\([^"]*\)" offset=.*/\1/p' "$SCRATCH/sessiond.log" | grep -vx files.ver |
  sort -u >"$SCRATCH/session-got.txt"
[ "$(cat "$SCRATCH/session-got.txt")" = 'bin\odd.dll' ] ||
  fail "trickling mirror: over the session came: $(cat "$SCRATCH/session-got.txt")"
[ "$took" -lt 40 ] || fail "trickling mirror: the install took $took s"
pass "trickling mirror: its object given up and fetched over the session, all $CHECKED_COUNT files identical, exit 0 in $took s"

# 2. A session host behind a relay that passes its replies one byte every
# 2 s: each connection is given up once a window of waiting brought too
# little, then the reconnect rules apply (three tries), then the run fails.
relay_port=$(free_port)
start_paced_relay "$relay_port" "$SESSION_PORT" 1 2 "$SCRATCH/relay.log"
start=$(monotonic_now)
PELLINOR_LOG="$SCRATCH/host-pellinor.log" "$WINE_RUN" "$SCRATCH/Pellinor.exe" \
  "host=127.0.0.1:$relay_port" "dir=$(wpath "$SCRATCH/host-install")" quiet >/dev/null 2>&1 &
app=$!
track "$app"
wait_exit "$app" 90 || fail "trickling host: installer still running after 90 s"
took=$(awk -v a="$start" -v b="$(monotonic_now)" 'BEGIN { printf "%d", b - a }')
[ "$WAITED_STATUS" -eq "$(win_status 1603)" ] || fail "trickling host: exit code $WAITED_STATUS"
connections=$(grep -c ' accept$' "$SCRATCH/relay.log")
[ "$connections" -eq 4 ] || fail "trickling host: $connections connections, not 1 + 3"
[ -z "$(find "$SCRATCH/host-install" -type f 2>/dev/null)" ] || fail "trickling host: files were installed"
# Four windows of 4 s or a little more, and pauses of 1, 2 and 4 s.
[ "$took" -lt 45 ] || fail "trickling host: the run took $took s"
pass "trickling host: 4 connections each given up, nothing installed, exit code 1603 in $took s"
