#!/usr/bin/env bash
# The session host at release-day load, against nginx serving the same
# release as the mirror path does (zlib objects the client inflates).
#
#   bench/load_bench.sh [RELEASE_BUILD]
#
# For random data and for text (RELEASE_MIB MiB each, default 8): publishes
# the release with mirror objects, starts the release build of
# brevane-sessiond (cache warmed with --warm) and nginx (one worker per
# core, sendfile), and lets N = 1, 10, 100, 1000 concurrent sessions of
# bench/load_client fetch the whole release, every byte checked. Prints
# aggregate MB/s, errors, the server's CPU seconds and RSS, the client's CPU,
# and the ratio host/nginx; writes load_bench.txt, load_bench.dat and
# load_bench.png (gnuplot) into OUT (default build/bench).
set -u
here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(cd "$here/.." && pwd)
build=$(cd "${1:-$source_dir/build/release}" && pwd)
out=${OUT:-$source_dir/build/bench}
mib=${RELEASE_MIB:-8}
counts=${COUNTS:-"1 10 100 1000"}
. "$here/lib.sh"
bench_tools
command -v nginx >/dev/null || { echo "nginx is needed for the reference" >&2; exit 1; }
mkdir -p "$out"

bench_work load
chmod 755 "$work"

# CPU seconds (user + system) of the given PIDs.
# RSS in MiB of the given PIDs, summed.
rss_of() {
  local total=0 pid
  for pid in "$@"; do
    total=$(awk -v t="$total" '/^VmRSS:/ { print t + $2 / 1024 }' "/proc/$pid/status")
  done
  echo "$total"
}

# make_release DIR KIND: MIB MiB in 1 MiB files, random bytes or text lines.
make_release() {
  python3 - "$1" "$2" "$mib" <<'PY'
import os, random, sys
root, kind, mib = sys.argv[1], sys.argv[2], int(sys.argv[3])
rng = random.Random(4711)
line = b"Brevane client library line, build 4711, entry %08d\n"
for i in range(mib):
    folder = os.path.join(root, "g%d" % (i % 4))
    os.makedirs(folder, exist_ok=True)
    size = 1 << 20
    if kind == "random":
        data = rng.randbytes(size)
    else:
        data = b"".join(line % (i * 100000 + n) for n in range(size // 52 + 1))[:size]
    open(os.path.join(folder, "f%03d.dat" % i), "wb").write(data)
PY
}

start_nginx() {  # ROOT PORT -> pids of master and workers in nginx_pids
  local dir="$work/nginx"
  mkdir -p "$dir/logs" "$dir/tmp"
  cat >"$dir/nginx.conf" <<CONF
worker_processes $(nproc);
pid $dir/nginx.pid;
error_log $dir/logs/error.log warn;
events { worker_connections 4096; }
http {
  access_log off;
  client_body_temp_path $dir/tmp;
  proxy_temp_path $dir/tmp;
  fastcgi_temp_path $dir/tmp;
  uwsgi_temp_path $dir/tmp;
  scgi_temp_path $dir/tmp;
  default_type application/octet-stream;
  sendfile on;
  tcp_nopush on;
  keepalive_requests 100000;
  server { listen 127.0.0.1:$2 backlog=4096; root $1; }
}
CONF
  nginx -c "$dir/nginx.conf" -p "$dir" -g 'daemon off;' >"$dir/logs/stdout.log" 2>&1 &
  pids+=($!)
  local master=$!
  for _ in $(seq 50); do
    nginx_pids=$(pgrep -P "$master" | tr '\n' ' ')
    [ -n "$nginx_pids" ] && [ "$(echo $nginx_pids | wc -w)" -ge "$(nproc)" ] && break
    sleep 0.1
  done
  nginx_pids="$master $nginx_pids"
}

results="$out/load_bench.txt"
data="$out/load_bench.dat"
: >"$data"
{
echo "load_bench: $(nproc) cores, release of $mib MiB per kind in 1 MiB files, $(date -u +%FT%TZ)"
echo "client: bench/load_client, 2 threads, every byte decoded and compared"
printf '%-6s %-7s %5s | %9s %6s %8s %8s | %9s %6s %8s %8s | %5s\n' kind server N \
  "host MB/s" errors "host cpu" "rss MiB" "nginx MB/s" errors "ngx cpu" "rss MiB" ratio
for kind in random text; do
  release="$work/$kind/release"
  mirror="$work/$kind/mirror"
  make_release "$release" "$kind"
  "$publish" --mirror="$mirror" "$release" >/dev/null || { echo "publish failed" >&2; exit 1; }

  port=$(free_port)
  "$sessiond" --port="$port" --quiet --warm --log="$work/sessiond-$kind.log" "$release" \
    >"$work/sessiond-$kind.out" 2>&1 &
  host=$!
  pids+=($host)
  for _ in $(seq 600); do grep -q "warm:" "$work/sessiond-$kind.log" 2>/dev/null && break; sleep 0.1; done
  nport=$(free_port)
  start_nginx "$mirror" "$nport"
  # The client's own ceiling: decoding and checking in memory, no network.
  echo "   $kind: client ceiling (2 threads, no network): session $(field "$("$client" --release="$release" --decode-only --threads=2)" mbps) MB/s, inflate $(field "$("$client" --release="$release" --decode-only --threads=2 --http=/)" mbps) MB/s"

  for n in $counts; do
    c0=$(cpu_of $host)
    line=$("$client" --release="$release" --port="$port" --sessions="$n" --threads=2)
    c1=$(cpu_of $host)
    hrss=$(rss_of $host)
    n0=$(cpu_of $nginx_pids)
    nline=$("$client" --release="$release" --port="$nport" --sessions="$n" --threads=2 --http=/)
    n1=$(cpu_of $nginx_pids)
    nrss=$(rss_of $nginx_pids)
    hm=$(field "$line" mbps); nm=$(field "$nline" mbps)
    ratio=$(awk -v a="$hm" -v b="$nm" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }')
    printf '%-6s %-7s %5s | %9s %6s %8.2f %8.1f | %9s %6s %8.2f %8.1f | %5s\n' "$kind" warm "$n" \
      "$hm" "$(field "$line" errors)" "$(awk -v a="$c0" -v b="$c1" 'BEGIN { print b - a }')" "$hrss" \
      "$nm" "$(field "$nline" errors)" "$(awk -v a="$n0" -v b="$n1" 'BEGIN { print b - a }')" "$nrss" "$ratio"
    echo "   client: host $(field "$line" client_cpu) s CPU in $(field "$line" seconds) s; nginx $(field "$nline" client_cpu) s CPU in $(field "$nline" seconds) s" 
    echo "$kind $n $hm $nm" >>"$data"
  done
  kill "$host" $nginx_pids 2>/dev/null
  wait "$host" 2>/dev/null

  # The same host without its cache: every chunk encoded for every session.
  port=$(free_port)
  "$sessiond" --port="$port" --quiet --cache-size=0 "$release" >"$work/nocache.out" 2>&1 &
  host=$!
  pids+=($host)
  for _ in $(seq 50); do grep -q listening "$work/nocache.out" && break; sleep 0.1; done
  for n in 10 100; do
    c0=$(cpu_of $host)
    line=$("$client" --release="$release" --port="$port" --sessions="$n" --threads=2)
    c1=$(cpu_of $host)
    printf '%-6s %-7s %5s | %9s %6s %8.2f %8.1f |\n' "$kind" nocache "$n" "$(field "$line" mbps)" \
      "$(field "$line" errors)" "$(awk -v a="$c0" -v b="$c1" 'BEGIN { print b - a }')" "$(rss_of $host)"
  done
  kill "$host" 2>/dev/null
  wait "$host" 2>/dev/null
done
} | tee "$results"

if command -v gnuplot >/dev/null; then
  gnuplot <<GP
set terminal png size 900,560
set output "$out/load_bench.png"
set title "Aggregate MB/s against concurrent sessions ($mib MiB release, warm cache)"
set logscale x
set xlabel "sessions"
set ylabel "MB/s (release bytes, checked)"
set key left top
plot "< grep '^random' $data" using 2:3 with linespoints title "host, random", \
     "< grep '^random' $data" using 2:4 with linespoints title "nginx + inflate, random", \
     "< grep '^text' $data" using 2:3 with linespoints title "host, text", \
     "< grep '^text' $data" using 2:4 with linespoints title "nginx + inflate, text"
GP
  echo "plot: $out/load_bench.png"
else
  echo "gnuplot missing (apt-get install gnuplot-nox): no plot"
fi
