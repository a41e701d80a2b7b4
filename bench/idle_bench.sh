#!/usr/bin/env bash
# Memory of the session host with many sessions: 10,000 idle sessions (the
# version notice sent, then nothing, as installers during the mirror phase)
# plus 500 active ones fetching the release over and over.
#
#   bench/idle_bench.sh [RELEASE_BUILD]
#
# Runs the release build twice: with its default reply cache, and with
# --cache-size=0 (every active session then holds its own encoded reply
# while it is sent). Prints the host's RSS at rest, with the idle sessions
# and at its peak under load, and the RSS per idle and per active session;
# writes idle_bench.txt, idle_bench.dat and idle_bench.png (gnuplot) into OUT
# (default build/bench). RELEASE_MIB sets the
# release size (default 8; the cache fills with what the active sessions
# fetch, up to its default bound).
set -u
here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(cd "$here/.." && pwd)
build=$(cd "${1:-$source_dir/build/release}" && pwd)
out=${OUT:-$source_dir/build/bench}
idle=${IDLE:-10000}
active=${ACTIVE:-500}
load_seconds=${LOAD_SECONDS:-15}
mib=${RELEASE_MIB:-8}
. "$here/lib.sh"
bench_tools
mkdir -p "$out"
bench_work idle
rss_kib() { awk '/^VmRSS:/ { print $2 }' "/proc/$1/status"; }

release="$work/release"
python3 - "$release" "$mib" <<'PY'
import os, random, sys
rng = random.Random(7)
line = b"Brevane client library line, build 4711, entry %08d\n"
os.makedirs(sys.argv[1])
for i in range(int(sys.argv[2])):
    data = rng.randbytes(1 << 20) if i % 2 else b"".join(line % (i * 100000 + n) for n in range(20200))[:1 << 20]
    open(os.path.join(sys.argv[1], "f%d.dat" % i), "wb").write(data)
PY
"$publish" "$release" >/dev/null || { echo "publish failed" >&2; exit 1; }

data="$out/idle_bench.dat"
echo "# cache rest_MiB idle_MiB peak_MiB after_MiB" >"$data"
{
echo "idle_bench: $idle idle + $active active sessions, release of $mib MiB (half text, half random), $(nproc) cores, $(date -u +%FT%TZ)"
for cache in default 0; do
  args=(--port=0 --quiet --log="$work/sessiond.log")
  [ "$cache" = default ] || args+=(--cache-size="$cache")
  "$sessiond" "${args[@]}" "$release" >"$work/sessiond.out" 2>&1 &
  host=$!
  pids+=($host)
  for _ in $(seq 50); do grep -q listening "$work/sessiond.out" 2>/dev/null && break; sleep 0.1; done
  port=$(sed -n 's/^listening .*://p' "$work/sessiond.out")
  sleep 0.5
  base=$(rss_kib $host)

  hold=$((load_seconds + 40))
  "$client" --release="$release" --port="$port" --sessions=0 --idle="$idle" --threads=2 \
    --seconds="$hold" >"$work/idle.out" 2>&1 &
  idler=$!
  pids+=($idler)
  for _ in $(seq 300); do
    [ "$(ls /proc/$host/fd | wc -l)" -ge "$idle" ] && break
    sleep 0.1
  done
  sleep 2
  with_idle=$(rss_kib $host)

  "$client" --release="$release" --port="$port" --sessions="$active" --threads=2 \
    --seconds="$load_seconds" >"$work/active.out" 2>&1 &
  loader=$!
  peak=$with_idle
  while kill -0 $loader 2>/dev/null; do
    now=$(rss_kib $host)
    [ "$now" -gt "$peak" ] && peak=$now
    sleep 0.2
  done
  wait $loader
  sleep 12  # the host hands freed memory back every 10 s
  after=$(rss_kib $host)
  wait $idler
  aline=$(tail -1 "$work/active.out"); iline=$(tail -1 "$work/idle.out")
  echo "cache=$cache: RSS at rest $((base / 1024)) MiB; with $idle idle $((with_idle / 1024)) MiB; peak with $active active $((peak / 1024)) MiB; 12 s after the load $((after / 1024)) MiB"
  awk -v b="$base" -v i="$with_idle" -v p="$peak" -v ni="$idle" -v na="$active" 'BEGIN {
    printf "   per idle session %.0f bytes; per active session %.1f KiB\n", (i - b) * 1024 / ni, (p - i) / na }'
  awk -v c="$cache" -v b="$base" -v i="$with_idle" -v p="$peak" -v a="$after" 'BEGIN {
    printf "%s %.1f %.1f %.1f %.1f\n", c, b / 1024, i / 1024, p / 1024, a / 1024 }' >>"$data"
  echo "   active: $(field "$aline" mbps) MB/s, $(field "$aline" fetches) whole releases, errors $(field "$aline" errors); idle sessions closed by the host: $(field "$iline" errors)"
  kill $host
  wait $host 2>/dev/null
done
} | tee "$out/idle_bench.txt"

if command -v gnuplot >/dev/null; then
  gnuplot <<GP
set terminal png size 900,560
set output "$out/idle_bench.png"
set title "Host RSS: $idle idle + $active active sessions ($mib MiB release)"
set ylabel "RSS (MiB)"
set xlabel "reply cache (--cache-size)"
set yrange [0:*]
set offsets 0, 0, graph 0.1, 0
set style data histogram
set style histogram clustered gap 1
set style fill solid 0.8 border -1
set key left top
plot "$data" using 2:xtic(1) title "at rest", \\
     "" using 3 title "with $idle idle", \\
     "" using 4 title "peak with $active active", \\
     "" using 5 title "12 s after the load"
GP
  echo "plot: $out/idle_bench.png; data: $data"
else
  echo "gnuplot missing (scripts/install-deps.sh installs gnuplot-nox): no plot; data: $data"
fi
