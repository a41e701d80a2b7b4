#!/usr/bin/env bash
# The session host's metrics endpoint against a load of known size: scraped
# while the load runs (every scrape answers, counters never go back) and
# after it, every counter matches what the load client did; promtool accepts
# the text; other paths and methods are refused; scrapers that never send a
# request, up to the endpoint's limit, delay neither serving nor later
# scrapes. Loopback only, every loop bounded.
#
#   metrics_test.sh NATIVE_BUILD
set -u
build=$(cd "$1" && pwd)
sessiond="$build/brevane-sessiond"
publish="$build/brevane-publish"
load="$build/bench/load_client"
work=$(mktemp -d "${TMPDIR:-/tmp}/metrics-test.XXXXXX")
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
  wait 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
pass() { echo "PASS: $*"; }
for tool in "$sessiond" "$publish" "$load"; do [ -x "$tool" ] || fail "missing $tool"; done

# 1. A release: 9 files, random and text, 1 byte to 700 KiB.
python3 - "$work/release" <<'PY'
import os, random, sys
root = sys.argv[1]
rng = random.Random(7)
sizes = [1, 1000, 262143, 262144, 262145, 300000, 524288, 700000, 65536]
for i, size in enumerate(sizes):
    folder = os.path.join(root, "d%d" % (i % 3))
    os.makedirs(folder, exist_ok=True)
    data = rng.randbytes(size) if i % 2 else (b"text line %d\n" % i * (size // 12 + 1))[:size]
    open(os.path.join(folder, "f%d.bin" % i), "wb").write(data)
PY
"$publish" "$work/release" >/dev/null || fail "publish failed"

"$sessiond" --port=0 --metrics=0 --first-request-timeout=1 --cache-size=64M --quiet \
  --log="$work/sessiond.log" "$work/release" >"$work/sessiond.out" 2>&1 &
pids+=($!)
for _ in $(seq 50); do
  port=$(sed -n 's/^listening [0-9.]*:\([0-9]*\)$/\1/p' "$work/sessiond.out")
  mport=$(sed -n 's/^metrics [0-9.]*:\([0-9]*\)$/\1/p' "$work/sessiond.out")
  [ -n "$port" ] && [ -n "$mport" ] && break
  sleep 0.1
done
[ -n "$port" ] && [ -n "$mport" ] || fail "the host did not start: $(cat "$work/sessiond.out")"
url="http://127.0.0.1:$mport/metrics"

scrape() { curl -sf --max-time 5 "$url"; }
# value TEXT NAME: the sample's value (labels part of NAME), 0 when absent.
value() { awk -v name="$2" '$1 == name { print $2; found = 1 } END { if (!found) print 0 }' <<<"$1"; }
sum_of() { awk -v prefix="$2{" 'index($1, prefix) == 1 { total += $2 } END { print total + 0 }' <<<"$1"; }

# 2. A load of 40 sessions, scraped every 0.2 s while it runs.
"$load" --release="$work/release" --port="$port" --sessions=40 --threads=2 >"$work/load.out" 2>&1 &
loader=$!
pids+=($loader)
last=0 scrapes=0
while kill -0 "$loader" 2>/dev/null; do
  text=$(scrape) || fail "a scrape during the load failed"
  now=$(value "$text" brevane_requests_total)
  [ "$now" -ge "$last" ] || fail "requests went back from $last to $now"
  last=$now scrapes=$((scrapes + 1))
  sleep 0.2
done
wait "$loader" || fail "the load failed: $(cat "$work/load.out")"
figures=$(cat "$work/load.out")
field() { sed -n "s/.* $1=\([0-9]*\).*/\1/p" <<<" $figures"; }
requests=$(field requests) wire=$(field wire_bytes)
[ "$(field errors)" = 0 ] && [ "$requests" -gt 0 ] || fail "load: $figures"

# The client has closed every session; the host notices within a moment.
for _ in $(seq 50); do
  text=$(scrape) || fail "scrape after the load failed"
  [ "$(value "$text" brevane_sessions_open)" = 0 ] && break
  sleep 0.1
done
expect() { [ "$2" = "$3" ] || fail "$1: host says $2, the load did $3"; }
expect "sessions open" "$(value "$text" brevane_sessions_open)" 0
expect "sessions accepted" "$(value "$text" brevane_sessions_accepted_total)" 40
expect "closed by the peer" "$(value "$text" 'brevane_sessions_closed_total{cause="peer"}')" 40
expect "notices" "$(value "$text" brevane_notices_total)" 40
expect "requests" "$(value "$text" brevane_requests_total)" "$requests"
expect "replies" "$(sum_of "$text" brevane_replies_total)" "$requests"
expect "reply bytes" "$(sum_of "$text" brevane_reply_bytes_total)" "$wire"
expect "timed replies" "$(value "$text" brevane_reply_seconds_count)" "$requests"
expect "timed replies (+Inf)" "$(value "$text" 'brevane_reply_seconds_bucket{le="+Inf"}')" "$requests"
expect "cache lookups" $(($(value "$text" brevane_cache_hits_total) + $(value "$text" brevane_cache_misses_total))) "$requests"
expect "errors" "$(sum_of "$text" brevane_errors_total)" 0
[ "$(value "$text" 'brevane_replies_total{kind="compressed"}')" -gt 0 ] || fail "no compressed replies counted"
[ "$(value "$text" 'brevane_replies_total{kind="scrambled"}')" -gt 0 ] || fail "no scrambled replies counted"
pass "$scrapes scrapes during the load; after it 40 sessions, $requests requests and $wire bytes as the client counted"

if command -v promtool >/dev/null; then
  promtool check metrics <<<"$text" >"$work/promtool.out" 2>&1 || fail "promtool: $(cat "$work/promtool.out")"
  pass "promtool check metrics accepts the text"
elif [ "${CI:-}" = true ]; then
  fail "promtool is missing (Debian package prometheus)"
else
  echo "SKIP: promtool not installed"
fi

# 3. Faults are counted by kind: three silent connections past the first
# request allowance, one malformed request.
for _ in 1 2 3; do
  python3 -c 'import socket, sys, time; s = socket.create_connection(("127.0.0.1", int(sys.argv[1]))); time.sleep(3)' "$port" &
  pids+=($!)
done
python3 - "$port" <<'PY'
import socket, struct, sys
s = socket.create_connection(("127.0.0.1", int(sys.argv[1])))
text = b"no semicolons here"
s.sendall(struct.pack("<I", len(text) + 4) + text)
s.settimeout(5)
s.recv(16)
PY
sleep 2.5
text=$(scrape) || fail "scrape failed"
expect "first-request time-outs" "$(value "$text" 'brevane_sessions_closed_total{cause="first_request_timeout"}')" 3
expect "malformed requests" "$(value "$text" 'brevane_errors_total{kind="malformed"}')" 1
pass "time-outs and malformed requests are counted by cause"

# 4. Only GET /metrics.
code() { curl -s -o /dev/null -w '%{http_code}' --max-time 5 "$@"; }
[ "$(code "http://127.0.0.1:$mport/")" = 404 ] || fail "/ was not refused with 404"
[ "$(code "http://127.0.0.1:$mport/metrics/../etc")" = 404 ] || fail "another path was not refused"
[ "$(code -X POST "$url")" = 405 ] || fail "POST was not refused with 405"
[ "$(code -X DELETE "$url")" = 405 ] || fail "DELETE was not refused with 405"
[ "$(code "$url?x=1")" = 200 ] || fail "a query string was refused"
pass "other paths (404) and methods (405) refused"

# 5. Scrapers that connect and say nothing hold the endpoint's every slot:
# serving goes on, and a scrape succeeds once they time out.
for _ in $(seq 12); do
  python3 -c 'import socket, sys, time; s = socket.create_connection(("127.0.0.1", int(sys.argv[1]))); time.sleep(8)' "$mport" &
  pids+=($!)
done
sleep 0.5
start=$(date +%s.%N)
"$load" --release="$work/release" --port="$port" --sessions=5 >"$work/load2.out" 2>&1 ||
  fail "serving stalled while scrapers hung: $(cat "$work/load2.out")"
took=$(awk -v a="$start" -v b="$(date +%s.%N)" 'BEGIN { printf "%.2f", b - a }')
sleep 5
scrape >/dev/null || fail "no scrape answered after silent scrapers timed out"
pass "silent scrapers: serving went on (5 sessions in $took s), later scrapes answered"
