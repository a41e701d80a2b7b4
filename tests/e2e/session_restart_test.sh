#!/usr/bin/env bash
# Installers ride out a lost session host. The host is killed in the middle
# of a large file: restarted on its port, the installer comes back to it,
# sends its notice again and continues the file where it was; the install
# is byte-identical, exit code 0. Never restarted, the run ends within the
# bounded tries, as failed. Behind an nginx stream balancer, the installer reconnects
# through the balancer to the other host and completes.
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/install_checks.sh"
cp "$PELLINOR_EXE" "$SCRATCH/Pellinor.exe"

release="$SCRATCH/release"
make_release "$release"
# Large enough that a kill lands in the middle of it (Wine reads the session
# at a few MB/s).
head -c 40000000 /dev/urandom >"$release/big.dat"
touch -d '2012-03-15 10:20:30 UTC' "$release/big.dat"
"$PUBLISH" "$release" >/dev/null || fail "brevane-publish failed"

# wait_for_offset LOG: until LOG shows a request for big.dat past its first
# chunks (at most 60 s).
wait_for_offset() {
  for _ in $(seq 600); do
    grep -q '"big.dat" offset=[0-9]\{7,\}' "$1" 2>/dev/null && return 0
    sleep 0.1
  done
  fail "no request for big.dat past 1 MB in $1"
}

# highest_offset LOG: the largest offset asked for big.dat in LOG.
highest_offset() { sed -n 's/.*"big.dat" offset=\([0-9]*\).*/\1/p' "$1" | sort -n | tail -1; }

# start_installer NAME PORT [KEYWORDS...]
start_installer() {
  local name=$1 port=$2
  shift 2
  PELLINOR_LOG="$SCRATCH/$name-pellinor.log" "$WINE_RUN" "$SCRATCH/Pellinor.exe" "host=127.0.0.1:$port" \
    "dir=$(wpath "$SCRATCH/$name")" "$@" >/dev/null 2>&1 &
  APP=$!
  track "$APP"
}

# 1. Killed, and back on its port 2 s later: the first try (after 1 s) is
# refused, the second (3 s) reaches the new host.
start_sessiond_as first 0 "$release"
port=$SESSION_PORT
start_installer restart "$port"
wait_for_offset "$SCRATCH/sessiond-first.log"
kill -9 "$SESSIOND_PID"
reached=$(highest_offset "$SCRATCH/sessiond-first.log")
sleep 2
start_sessiond_as again "$port" "$release"
wait_exit "$APP" 120 || fail "restart: installer did not finish"
[ "$WAITED_STATUS" -eq 0 ] || fail "restart: exit code $WAITED_STATUS"
check_installed "$release" "$release/files.ver" "$SCRATCH/restart"
again="$SCRATCH/sessiond-again.log"
grep -q '#UPDVER notice' "$again" || fail "restart: no notice reached the restarted host"
grep -q '"files.ver" offset=' "$again" && fail "restart: the manifest was asked for again"
first_again=$(sed -n 's/.*"big.dat" offset=\([0-9]*\).*/\1/p' "$again" | head -1)
# The chunk being answered when the host died, or the one after it.
[ -n "$first_again" ] && [ "$first_again" -gt 0 ] && [ "$first_again" -le $((reached + 262144)) ] ||
  fail "restart: the restarted host was first asked for big.dat at ${first_again:-nothing}, the killed one had reached $reached"
pass "restart: came back to the restarted host at offset $first_again of big.dat; $CHECKED_COUNT files identical, exit 0"

# 2. Killed for good: three refused tries (1 + 2 + 4 s of pauses), then the
# run ends as failed (quiet: no box to wait on), exit code 1603; big.dat is
# not installed.
start_sessiond_as gone 0 "$release"
start_installer gone "$SESSION_PORT" quiet
wait_for_offset "$SCRATCH/sessiond-gone.log"
kill -9 "$SESSIOND_PID"
killed_at=$(date +%s.%N)
wait_exit "$APP" 60 || fail "gone: installer still running 60 s after the host died"
[ "$WAITED_STATUS" -eq "$(win_status 1603)" ] || fail "gone: exit code $WAITED_STATUS"
took=$(awk -v a="$killed_at" -v b="$(date +%s.%N)" 'BEGIN { printf "%.1f", b - a }')
awk -v t="$took" 'BEGIN { exit !(t >= 7 && t < 30) }' || fail "gone: the run ended $took s after the host died"
cmp -s "$release/big.dat" "$SCRATCH/gone/big.dat" && fail "gone: big.dat complete although its host died"
pass "gone: run over $took s after the host died (three tries, 7 s of pauses), exit code 1603"

# 3. Two hosts behind nginx's stream balancer. The host that serves the
# installer is killed; the installer reconnects through the balancer and
# the other host finishes the install.
read -r -a ports < <(python3 -c 'import socket
held = [socket.socket() for _ in range(3)]
for s in held: s.bind(("127.0.0.1", 0))
print(" ".join(str(s.getsockname()[1]) for s in held))')
start_sessiond_as east "${ports[0]}" "$release"
east_pid=$SESSIOND_PID
start_sessiond_as west "${ports[1]}" "$release"
west_pid=$SESSIOND_PID
start_stream_balancer "${ports[2]}" "127.0.0.1:${ports[0]}" "127.0.0.1:${ports[1]}"
start_installer balanced "${ports[2]}"
for _ in $(seq 600); do
  serving=""
  grep -q '"big.dat" offset=[0-9]\{7,\}' "$SCRATCH/sessiond-east.log" 2>/dev/null && serving=east
  grep -q '"big.dat" offset=[0-9]\{7,\}' "$SCRATCH/sessiond-west.log" 2>/dev/null && serving=west
  [ -n "$serving" ] && break
  sleep 0.1
done
[ -n "$serving" ] || fail "balancer: neither host was asked for big.dat"
other=$([ "$serving" = east ] && echo west || echo east)
kill -9 "$([ "$serving" = east ] && echo "$east_pid" || echo "$west_pid")"
wait_exit "$APP" 120 || fail "balancer: installer did not finish"
[ "$WAITED_STATUS" -eq 0 ] || fail "balancer: exit code $WAITED_STATUS"
check_installed "$release" "$release/files.ver" "$SCRATCH/balanced"
grep -q '#UPDVER notice' "$SCRATCH/sessiond-$other.log" || fail "balancer: no notice reached $other"
continued=$(sed -n 's/.*"big.dat" offset=\([0-9]*\).*/\1/p' "$SCRATCH/sessiond-$other.log" | head -1)
[ -n "$continued" ] && [ "$continued" -gt 0 ] || fail "balancer: $other did not continue big.dat"
pass "balancer: $serving killed, $other continued big.dat at $continued; $CHECKED_COUNT files identical, exit 0"
