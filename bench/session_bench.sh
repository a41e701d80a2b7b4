#!/usr/bin/env bash
# Session throughput on loopback under Wine, and what bounds it.
#
#   bench/session_bench.sh [CROSS_BUILD [TOOLS_BUILD]]
#
# The server tools come from TOOLS_BUILD, by default the release build.
#
# Builds a client of FILES files of MIB MiB each (default 32 x 8 MiB =
# 256 MiB), half compressible text and half random bytes, serves it with
# brevane-sessiond and fetches each half with the installer's session client
# (helpers/session_fetch.exe): text and random from a host that compresses
# when that helps, random again from one that never tries. Then it measures
# the cost of one recv call under Wine with the client's piece size, and a
# plain TCP copy of the same bytes with socat as the physical reference.
# Prints figures only; it checks nothing but that the copies are whole.
set -u
here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(cd "$here/.." && pwd)
build=$(cd "${1:-${PELLINOR_BUILD:-$source_dir/build/win}}" && pwd)
native=$(cd "${2:-${PELLINOR_NATIVE_BUILD:-$source_dir/build/release}}" && pwd)
files=${FILES:-32}
mib=${MIB:-8}
probe_mib=${PROBE_MIB:-32}
run="$build/wine-run"
fetch="$build/helpers/session_fetch.exe"
sessiond="$native/brevane-sessiond"
publish="$native/brevane-publish"
for f in "$run" "$fetch" "$sessiond" "$publish"; do
  [ -e "$f" ] || { echo "missing $f (scripts/build.sh builds the cross and release trees)" >&2; exit 1; }
done
command -v socat >/dev/null || { echo "socat is needed for the reference copy" >&2; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/pellinor-bench.XXXXXX")
pids=()
cleanup() {
  local pid
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
  rm -rf "$work"
}
trap cleanup EXIT
now() { date +%s.%N; }
rate() { awk -v b="$1" -v s="$2" 'BEGIN { printf "%.2f", b / 1e6 / s }'; }
free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1]); s.close()'
}
wpath() { printf 'Z:%s' "$(printf '%s' "$1" | tr / '\\')"; }

echo "== client: $files files of $mib MiB (half text, half random)"
mkdir -p "$work/rel/text" "$work/rel/random"
half=$((files / 2))
bytes_per_file=$((mib * 1048576))
seq 1 2000000 | sed 's/$/ Brevane client library line, build 4711/' | head -c "$bytes_per_file" >"$work/text.src"
for i in $(seq 1 "$half"); do
  # Every text file differs a little, so nothing is served from a cache of
  # identical chunks.
  { printf 'file %d\n' "$i"; cat "$work/text.src"; } | head -c "$bytes_per_file" >"$work/rel/text/t$i.dat"
  head -c "$bytes_per_file" /dev/urandom >"$work/rel/random/r$i.dat"
done
rm -f "$work/text.src"
touch -d '2012-03-15 10:20:30 UTC' "$work"/rel/*/*
"$publish" "$work/rel" >/dev/null || exit 1
kind_bytes=$((half * bytes_per_file))

# start_host MODE: a session host with that --compress mode; sets port.
start_host() {
  "$sessiond" --port=0 --quiet --compress="$1" "$work/rel" >"$work/sessiond.out" 2>&1 &
  host_pid=$!
  pids+=($host_pid)
  port=
  for _ in $(seq 100); do
    port=$(sed -n 's/^listening [0-9.]*:\([0-9]*\).*/\1/p' "$work/sessiond.out")
    [ -n "$port" ] && return 0
    sleep 0.05
  done
  cat "$work/sessiond.out" >&2
  exit 1
}
"$run" "$fetch" >/dev/null 2>&1  # a warm Wine for the timed runs

# The host compresses a chunk when that makes it smaller (auto), so text
# goes compressed and random bytes scrambled after a compression attempt;
# with never, random bytes go without that attempt.
declare -A session_rate wire_rate
for run_case in "text auto" "random auto" "random never"; do
  set -- $run_case
  kind=$1 mode=$2
  start_host "$mode"
  # NAME=SIZE,STAMP items for the fetch helper: the lines without their hash.
  mapfile -t items < <(tr -d '\r' <"$work/rel/files.ver" | grep "^$kind\\\\" |
    sed -E 's/^([^=]*=[0-9]+,[0-9]+),[0-9a-f]{64}$/\1/')
  rm -rf "$work/out"
  start=$(now)
  "$run" "$fetch" "127.0.0.1:$port" "$(wpath "$work/out")" "${items[@]}" >"$work/fetch.out" 2>&1
  status=$?
  end=$(now)
  kill "$host_pid"
  wall=$(awk -v a="$start" -v b="$end" 'BEGIN { print b - a }')
  inner=$(tail -1 "$work/fetch.out" | tr -d '\r')
  whole=ok
  for f in "$work/rel/$kind"/*; do cmp -s "$f" "$work/out/$kind/$(basename "$f")" || whole=DIFFERENT; done
  session_rate[$run_case]=$(rate "$kind_bytes" "$wall")
  wire_rate[$run_case]=$(echo "$inner" | sed -n 's/.*wire [0-9]* bytes, \([0-9.]*\) MB.s.*/\1/p')
  printf 'session %-6s --compress=%-5s: %d MiB in %.2f s = %s MB/s from start to finish (exit %d, files %s)\n' \
    "$kind" "$mode" $((kind_bytes / 1048576)) "$wall" "${session_rate[$run_case]}" "$status" "$whole"
  printf '    client timing: %s\n' "$inner"
done
rm -rf "$work/out"

echo "== one recv call under Wine"
cross=$(command -v i686-w64-mingw32-g++-posix || command -v i686-w64-mingw32-g++)
"$cross" -O2 -static -o "$work/recv_cost.exe" "$here/recv_cost.cpp" -lws2_32 || exit 1
probe_bytes=$((probe_mib * 1048576))
declare -A call_us call_rate
for piece in 1024 65536; do
  # Best of three rounds: the machine is shared, and what the call itself
  # costs is the fastest round.
  for round in 1 2 3; do
    p=$(free_port)
    head -c "$probe_bytes" /dev/zero | socat -u - "TCP-LISTEN:$p,bind=127.0.0.1,reuseaddr" &
    pids+=($!)
    sleep 0.3  # a test connection would take the one the sender serves
    line=$("$run" "$work/recv_cost.exe" 127.0.0.1 "$p" "$probe_bytes" "$piece" | tr -d '\r')
    echo "wine recv round $round, $line"
    us=$(echo "$line" | sed -n 's/.*, \([0-9.]*\) us per call.*/\1/p')
    mbs=$(echo "$line" | sed -n 's/.* \([0-9.]*\) MB.s.*/\1/p')
    best=${call_rate[$piece]:-}
    if [ -z "$best" ] || awk -v a="$mbs" -v b="$best" 'BEGIN { exit !(a > b) }'; then
      call_rate[$piece]=$mbs
      call_us[$piece]=$us
    fi
  done
done

echo "== plain TCP copy of the same $((2 * kind_bytes / 1048576)) MiB (socat, native)"
declare -A plain_rate
for block in 8192 1024; do
  p=$(free_port)
  socat -u -b "$block" "TCP-LISTEN:$p,bind=127.0.0.1,reuseaddr" OPEN:/dev/null &
  receiver=$!
  pids+=($receiver)
  sleep 0.2
  start=$(now)
  cat "$work"/rel/text/* "$work"/rel/random/* | socat -u -b "$block" - "TCP:127.0.0.1:$p"
  wait "$receiver"
  end=$(now)
  secs=$(awk -v a="$start" -v b="$end" 'BEGIN { print b - a }')
  plain_rate[$block]=$(rate $((2 * kind_bytes)) "$secs")
  printf 'socat, %5d-byte blocks: %.2f s = %s MB/s\n' "$block" "$secs" "${plain_rate[$block]}"
done

echo "== summary"
bound=$(awk -v us="${call_us[1024]}" 'BEGIN { printf "%.2f", 1024 / us }')
echo "1024-byte recv under Wine: best ${call_us[1024]} us per call, so at most $bound MB/s on the wire"
for run_case in "text auto" "random auto" "random never"; do
  awk -v s="${session_rate[$run_case]}" -v w="${wire_rate[$run_case]}" -v p="${plain_rate[8192]}" \
      -v b="$bound" -v k="$run_case" \
    'BEGIN { printf "session %-12s %7.2f MB/s of files = %.4f of the plain TCP copy; wire %.2f MB/s = %.2f of the recv bound\n", k, s, s / p, w, w / b }'
done
