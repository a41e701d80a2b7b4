#!/usr/bin/env bash
# What the reply cache saves: the second of two identical installs against
# one host, with the cache and without it (--cache-size=0).
#
#   bench/cache_bench.sh [RELEASE_BUILD]
#
# An install's session traffic is played by bench/load_client with one
# session fetching the whole release (RELEASE_MIB MiB, default 64, half text
# and half random), every byte checked. Prints each install's seconds and
# MB/s and the host's CPU seconds for it; writes cache_bench.txt into OUT
# (default build/bench).
set -u
here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(cd "$here/.." && pwd)
build=$(cd "${1:-$source_dir/build/release}" && pwd)
out=${OUT:-$source_dir/build/bench}
mib=${RELEASE_MIB:-64}
sessiond="$build/brevane-sessiond"
publish="$build/brevane-publish"
client="$build/bench/load_client"
for f in "$sessiond" "$publish" "$client"; do
  [ -x "$f" ] || { echo "missing $f (scripts/build.sh builds the release tree)" >&2; exit 1; }
done
mkdir -p "$out"
work=$(mktemp -d "${TMPDIR:-/tmp}/pellinor-cache.XXXXXX")
pids=()
cleanup() {
  local pid
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
  wait 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
cpu_of() { awk -v hz="$(getconf CLK_TCK)" '{ sub(/.*\) /, ""); split($0, f, " "); print (f[12] + f[13]) / hz }' "/proc/$1/stat"; }
field() { tr ' ' '\n' <<<"$1" | awk -F= -v k="$2" '$1 == k { print $2 }'; }

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
    printf 'cache=%-7s %-6s install: %6.2f s, %7.1f MB/s, host CPU %5.2f s, errors %s\n' "$cache" "$install" \
      "$(field "$line" seconds)" "$(field "$line" mbps)" "$(awk -v a="$c0" -v b="$c1" 'BEGIN { print b - a }')" \
      "$(field "$line" errors)"
  done
  kill $host
  wait $host 2>/dev/null
done
} | tee "$out/cache_bench.txt"
