#!/usr/bin/env bash
# What the reply cache saves: the second of two identical installs against
# one host, with the cache and without it (--cache-size=0).
#
#   bench/cache_bench.sh [RELEASE_BUILD]
#
# An install's session traffic is played by bench/load_client with one
# session fetching the whole release (RELEASE_MIB MiB, default 64, half text
# and half random), every byte checked. Prints each install's seconds and
# MB/s and the host's CPU seconds for it; writes cache_bench.txt,
# cache_bench.dat and cache_bench.png (gnuplot) into OUT (default build/bench).
set -u
here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(cd "$here/.." && pwd)
build=$(cd "${1:-$source_dir/build/release}" && pwd)
out=${OUT:-$source_dir/build/bench}
mib=${RELEASE_MIB:-64}
. "$here/lib.sh"
bench_tools
mkdir -p "$out"
bench_work cache

release="$work/release"
python3 - "$release" "$mib" <<'PY'
import os, random, sys
rng = random.Random(9)
line = b"Brevane client library line, build 4711, entry %08d\n"
for i in range(int(sys.argv[2])):
    folder = os.path.join(sys.argv[1], "g%d" % (i % 4))
    os.makedirs(folder, exist_ok=True)
    data = rng.randbytes(1 << 20) if i % 2 else b"".join(line % (i * 100000 + n) for n in range(20200))[:1 << 20]
    open(os.path.join(folder, "f%03d.dat" % i), "wb").write(data)
PY
"$publish" "$release" >/dev/null || { echo "publish failed" >&2; exit 1; }

data="$out/cache_bench.dat"
echo "# case seconds host_cpu_seconds" >"$data"
{
echo "cache_bench: two identical installs (one session, whole release of $mib MiB, half text) against one host, $(nproc) cores, $(date -u +%FT%TZ)"
for cache in default 0; do
  args=(--port=0 --quiet)
  [ "$cache" = default ] || args+=(--cache-size=0)
  "$sessiond" "${args[@]}" "$release" >"$work/sessiond.out" 2>"$work/sessiond.err" &
  host=$!
  pids+=($host)
  for _ in $(seq 50); do grep -q listening "$work/sessiond.out" 2>/dev/null && break; sleep 0.1; done
  port=$(sed -n 's/^listening .*://p' "$work/sessiond.out")
  for install in first second; do
    c0=$(cpu_of $host)
    line=$("$client" --release="$release" --port="$port" --sessions=1)
    c1=$(cpu_of $host)
    cpu=$(awk -v a="$c0" -v b="$c1" 'BEGIN { print b - a }')
    printf 'cache=%-7s %-6s install: %6.2f s, %7.1f MB/s, host CPU %5.2f s, errors %s\n' "$cache" "$install" \
      "$(field "$line" seconds)" "$(field "$line" mbps)" "$cpu" "$(field "$line" errors)"
    echo "cache=$cache,$install $(field "$line" seconds) $cpu" >>"$data"
  done
  kill $host
  wait $host 2>/dev/null
done
} | tee "$out/cache_bench.txt"

if command -v gnuplot >/dev/null; then
  gnuplot <<GP
set terminal png size 900,560
set output "$out/cache_bench.png"
set title "Two identical installs of $mib MiB against one host"
set ylabel "seconds"
set yrange [0:*]
set offsets 0, 0, graph 0.1, 0
set style data histogram
set style histogram clustered gap 1
set style fill solid 0.8 border -1
set key left top
plot "$data" using 2:xtic(1) title "install wall time", \\
     "" using 3 title "host CPU"
GP
  echo "plot: $out/cache_bench.png; data: $data"
else
  echo "gnuplot missing (scripts/install-deps.sh installs gnuplot-nox): no plot; data: $data"
fi
