#!/usr/bin/env bash
# Mirror download throughput on loopback under Wine, against a reference.
#
#   bench/mirror_bench.sh [CROSS_BUILD [TOOLS_BUILD]]
#
# The server tools come from TOOLS_BUILD, by default the release build.
#
# Builds a client of about MIB MiB (default 256) in a few hundred files of
# 0.2 to 1.4 MiB, half compressible text and half random bytes, publishes it
# as zlib mirror objects and serves them from 1, 2 and 3 nginx sites. For
# each number of sites and each worker total (1, 5, 15, spread over the
# sites), the real Pellinor.exe installs the client from the mirrors alone,
# and the bench prints:
#   - MB/s of installed bytes over the installer's whole run (start of Wine
#     to exit, manifest read included);
#   - the installer's peak resident memory (VmHWM of its Wine process,
#     sampled every 50 ms);
#   - the reference: the same objects fetched by curl, as many transfers at
#     once as there are workers, each piped into a zlib inflater (python3)
#     that writes the files, and the installer's share of that rate.
# Prints figures only; it checks nothing but that each install is whole.
set -u
here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(cd "$here/.." && pwd)
export PELLINOR_BUILD=$(cd "${1:-${PELLINOR_BUILD:-$source_dir/build/win}}" && pwd)
export PELLINOR_NATIVE_BUILD=$(cd "${2:-${PELLINOR_NATIVE_BUILD:-$source_dir/build/release}}" && pwd)
. "$source_dir/tests/e2e/lib.sh"
total_mib=${MIB:-256}
for f in "$WINE_RUN" "$PELLINOR_EXE" "$PUBLISH"; do
  [ -e "$f" ] || { echo "missing $f (scripts/build.sh builds the cross and release trees)" >&2; exit 1; }
done

now() { date +%s.%N; }
rate() { awk -v b="$1" -v s="$2" 'BEGIN { printf "%.1f", b / 1e6 / s }'; }

echo "== client: about $total_mib MiB in files of 0.2 to 1.4 MiB, half text, half random"
release="$SCRATCH/release"
python3 - "$release" "$total_mib" <<'PY'
import os, random, sys
root, budget = sys.argv[1], int(sys.argv[2]) << 20
rng = random.Random(4711)
line = b"Brevane client library line, build 4711, entry %08d\n"
i = 0
while budget > 0:
    size = min(budget, rng.randint(200 << 10, 1400 << 10))
    folder = os.path.join(root, "text" if i % 2 else "random", "g%d" % (i % 8))
    os.makedirs(folder, exist_ok=True)
    if i % 2:
        data = b"".join(line % (i * 100000 + n) for n in range(size // 52 + 1))[:size]
    else:
        data = rng.randbytes(size)
    with open(os.path.join(folder, "f%04d.dat" % i), "wb") as f:
        f.write(data)
    budget -= size
    i += 1
PY
find "$release" -type f -exec touch -d '2012-03-15 10:20:30 UTC' {} +
mirror="$SCRATCH/mirror"
"$PUBLISH" --mirror="$mirror" "$release" >/dev/null || fail "brevane-publish failed"
files=$(find "$release" -type f ! -name files.ver | wc -l)
bytes=$(find "$release" -type f ! -name files.ver -printf '%s\n' | awk '{ s += $1 } END { print s }')
objects=$(find "$mirror" -maxdepth 1 -type f -printf '%s\n' | awk '{ s += $1 } END { print s }')
echo "   $files files, $bytes bytes; objects $objects bytes ($(awk -v a="$objects" -v b="$bytes" 'BEGIN { printf "%.0f", 100 * a / b }')% of the files)"

read -r -a ports < <(python3 -c 'import socket
held = [socket.socket() for _ in range(3)]
for s in held: s.bind(("127.0.0.1", 0))
print(" ".join(str(s.getsockname()[1]) for s in held))')
for p in "${ports[@]}"; do start_nginx "$mirror" "$p"; done

# Object names (month folder of a plain install) in manifest order.
tr -d '\r' <"$release/files.ver" | awk -F'[=,]' '/=/ {
  name = $1; gsub(/\\/, "_", name)
  s = $3; y = int(s / 33554432) - 20; m = int(s / 2097152) % 16
  printf "%s/%s_%s_%s\n", (y < 9 ? "0800" : sprintf("%02d%02d", y, m)), $3, $2, name }' >"$SCRATCH/objects.txt"

# Inflates consecutive zlib streams from stdin into the files named, one a
# line, in the list file given.
cat >"$SCRATCH/inflate_many.py" <<'PY'
import os, sys, zlib
names = [l.rstrip("\n") for l in open(sys.argv[1])]
out_dir = sys.argv[2]
data = sys.stdin.buffer
pending = b""
for name in names:
    d = zlib.decompressobj()
    path = os.path.join(out_dir, name)
    with open(path, "wb") as out:
        while not d.eof:
            chunk = pending or data.read(65536)
            pending = b""
            if not chunk:
                sys.exit("short input at " + name)
            out.write(d.decompress(chunk))
        pending = d.unused_data
PY

# reference SITES WORKERS: seconds for the curl + inflate copy.
reference() {
  local sites=$1 workers=$2 w start
  rm -rf "$SCRATCH/ref"; mkdir -p "$SCRATCH/ref"
  for w in $(seq 0 $((workers - 1))); do
    awk -v n="$workers" -v w="$w" 'NR % n == w' "$SCRATCH/objects.txt" >"$SCRATCH/slot$w.txt"
    awk -v w="$w" -v s="$sites" -v ports="${ports[*]}" 'BEGIN { split(ports, p, " ") }
      { printf "url = \"http://127.0.0.1:%s/%s\"\n", p[(w % s) + 1], $0 }' "$SCRATCH/slot$w.txt" >"$SCRATCH/slot$w.curl"
    sed 's|.*/||' "$SCRATCH/slot$w.txt" >"$SCRATCH/slot$w.names"
  done
  start=$(now)
  for w in $(seq 0 $((workers - 1))); do
    [ -s "$SCRATCH/slot$w.curl" ] || continue
    curl -s -K "$SCRATCH/slot$w.curl" | python3 "$SCRATCH/inflate_many.py" "$SCRATCH/slot$w.names" "$SCRATCH/ref" &
  done
  wait
  awk -v a="$start" -v b="$(now)" 'BEGIN { printf "%.3f", b - a }'
}

# run_install SITES WORKERS: runs the installer; sets SECONDS_TAKEN, PEAK_KB.
run_install() {
  local sites=$1 workers=$2 s n start pid hwm
  rm -rf "$SCRATCH/install"
  {
    tr -d '\r' <"$release/files.ver" | sed 's/$/\r/'
    printf '[SITES]\r\n'
    for s in $(seq 0 $((sites - 1))); do
      # Workers spread as evenly as they go; extra ones to the first sites.
      n=$((workers / sites + (s < workers % sites ? 1 : 0)))
      printf 'http://127.0.0.1:%s/=%d\r\n' "${ports[$s]}" "$n"
    done
  } >"$SCRATCH/Pellinor.ver"
  start=$(now)
  "$WINE_RUN" "$SCRATCH/Pellinor.exe" "dir=$(wpath "$SCRATCH/install")" >/dev/null 2>&1 &
  local app=$!
  PEAK_KB=0
  while kill -0 "$app" 2>/dev/null; do
    for pid in $(pgrep -f "$(basename "$SCRATCH").Pellinor.exe" 2>/dev/null); do
      hwm=$(awk '/^VmHWM/ { print $2 }' "/proc/$pid/status" 2>/dev/null)
      [ -n "$hwm" ] && [ "$hwm" -gt "$PEAK_KB" ] && PEAK_KB=$hwm
    done
    sleep 0.05
  done
  wait "$app"
  SECONDS_TAKEN=$(awk -v a="$start" -v b="$(now)" 'BEGIN { printf "%.3f", b - a }')
  diff -rq "$release" "$SCRATCH/install" -x files.ver >/dev/null || fail "install with $sites sites, $workers workers is not whole"
}

# One long-lived Wine process keeps Wine's server up between runs, so that no
# run pays for its start or waits for its shutdown.
"$WINE_RUN" "$HELPERS/keepwarm.exe" </dev/null >/dev/null 2>&1 &
track $!
cp "$PELLINOR_EXE" "$SCRATCH/Pellinor.exe"
run_install 1 1 >/dev/null  # warm Wine and the page cache
echo
printf '%-6s %-8s %12s %10s %12s %12s %8s\n' sites workers "install s" "MB/s" "peak MiB" "curl MB/s" ratio
for sites in 1 2 3; do
  for workers in 1 5 15; do
    run_install "$sites" "$workers"
    ref=$(reference "$sites" "$workers")
    printf '%-6s %-8s %12s %10s %12s %12s %8s\n' "$sites" "$workers" "$SECONDS_TAKEN" \
      "$(rate "$bytes" "$SECONDS_TAKEN")" "$(awk -v k="$PEAK_KB" 'BEGIN { printf "%.1f", k / 1024 }')" \
      "$(rate "$bytes" "$ref")" "$(awk -v a="$ref" -v b="$SECONDS_TAKEN" 'BEGIN { printf "%.2f", a / b }')"
  done
done
cleanup
WINEPREFIX="$PELLINOR_BUILD/wineprefix" timeout 30 wineserver -w
