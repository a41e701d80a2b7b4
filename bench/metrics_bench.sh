#!/usr/bin/env bash
# What the metrics endpoint costs the session host: the same load against the
# release build with --metrics and a scraper asking every 0.5 s, and without
# --metrics, in alternating rounds of one run so that both see the same
# machine. The counters themselves are counted either way (a few relaxed
# atomic adds per request); the endpoint adds the scrapes.
#
#   bench/metrics_bench.sh [RELEASE_BUILD]
#
# Prints per round MB/s and the host's CPU seconds, then the medians and the
# on/off ratios; writes metrics_bench.txt, .dat and .png into OUT (default
# build/bench). ROUNDS (default 5), SESSIONS (default 100), RELEASE_MIB
# (default 16).
set -u
here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(cd "$here/.." && pwd)
build=$(cd "${1:-$source_dir/build/release}" && pwd)
out=${OUT:-$source_dir/build/bench}
rounds=${ROUNDS:-5}
sessions=${SESSIONS:-100}
mib=${RELEASE_MIB:-16}
. "$here/lib.sh"
bench_tools
mkdir -p "$out"
bench_work metrics

release="$work/release"
python3 - "$release" "$mib" <<'PY'
import os, random, sys
root, mib = sys.argv[1], int(sys.argv[2])
rng = random.Random(11)
line = b"Brevane client library line, build 4711, entry %08d\n"
for i in range(mib):
    os.makedirs(os.path.join(root, "g%d" % (i % 4)), exist_ok=True)
    size = 1 << 20
    data = rng.randbytes(size) if i % 2 else b"".join(line % (i * 100000 + n) for n in range(size // 52 + 1))[:size]
    open(os.path.join(root, "g%d" % (i % 4), "f%03d.dat" % i), "wb").write(data)
PY
"$publish" "$release" >/dev/null || { echo "publish failed" >&2; exit 1; }

# start_host [--metrics=0]: a warmed host; sets host, port, mport.
start_host() {
  : >"$work/host.out"
  "$sessiond" --port=0 --quiet --warm --log="$work/host.log" "$@" "$release" >"$work/host.out" 2>&1 &
  host=$!
  pids+=($host)
  port="" mport=""
  for _ in $(seq 300); do
    port=$(sed -n 's/^listening [0-9.]*:\([0-9]*\)$/\1/p' "$work/host.out")
    mport=$(sed -n 's/^metrics [0-9.]*:\([0-9]*\)$/\1/p' "$work/host.out")
    [ -n "$port" ] && grep -q "warm:" "$work/host.log" 2>/dev/null && break
    sleep 0.1
  done
}

results="$out/metrics_bench.txt"
data="$out/metrics_bench.dat"
: >"$data"
{
echo "metrics_bench: $(nproc) cores, $mib MiB release, $sessions sessions a round, $rounds rounds each, $(date -u +%FT%TZ)"
printf '%5s %-4s %9s %9s %8s\n' round mode "MB/s" "host cpu" scrapes
for round in $(seq "$rounds"); do
  for mode in off on; do
    if [ "$mode" = on ]; then start_host --metrics=0; else start_host; fi
    scraper=""
    if [ "$mode" = on ]; then
      ( n=0; while curl -sf --max-time 2 "http://127.0.0.1:$mport/metrics" >/dev/null; do
          n=$((n + 1)); echo "$n" >"$work/scrapes"; sleep 0.5; done ) &
      scraper=$!
      pids+=($scraper)
    fi
    c0=$(cpu_of "$host")
    line=$("$client" --release="$release" --port="$port" --sessions="$sessions" --threads=2)
    c1=$(cpu_of "$host")
    scrapes=0
    if [ -n "$scraper" ]; then kill "$scraper" 2>/dev/null; wait "$scraper" 2>/dev/null; scrapes=$(cat "$work/scrapes" 2>/dev/null || echo 0); fi
    rm -f "$work/scrapes"
    kill "$host"; wait "$host" 2>/dev/null
    [ "$(field "$line" errors)" = 0 ] || { echo "load errors: $line" >&2; exit 1; }
    cpu=$(awk -v a="$c0" -v b="$c1" 'BEGIN { printf "%.2f", b - a }')
    printf '%5s %-4s %9s %9s %8s\n' "$round" "$mode" "$(field "$line" mbps)" "$cpu" "$scrapes"
    echo "$round $mode $(field "$line" mbps) $cpu" >>"$data"
  done
done
median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2) }'; }
off_mbps=$(awk '$2 == "off" { print $3 }' "$data" | median)
on_mbps=$(awk '$2 == "on" { print $3 }' "$data" | median)
off_cpu=$(awk '$2 == "off" { print $4 }' "$data" | median)
on_cpu=$(awk '$2 == "on" { print $4 }' "$data" | median)
echo "median: off $off_mbps MB/s, $off_cpu s host CPU; on $on_mbps MB/s, $on_cpu s host CPU"
awk -v a="$on_mbps" -v b="$off_mbps" -v c="$on_cpu" -v d="$off_cpu" \
  'BEGIN { printf "on/off: throughput %.3f, host CPU %.3f\n", a / b, (d > 0 ? c / d : 0) }'
} | tee "$results"

if command -v gnuplot >/dev/null; then
  gnuplot <<PLOT
set terminal png size 800,450
set output "$out/metrics_bench.png"
set title "Session host with and without the metrics endpoint ($sessions sessions, $mib MiB)"
set xlabel "round"
set ylabel "MB/s"
set key bottom right
plot "< awk '\$2 == \"off\"' $data" using 1:3 with linespoints title "metrics off", \
     "< awk '\$2 == \"on\"' $data" using 1:3 with linespoints title "metrics on, scraped every 0.5 s"
PLOT
  echo "plot: $out/metrics_bench.png"
fi
