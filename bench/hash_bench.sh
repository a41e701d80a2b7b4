#!/usr/bin/env bash
# The cost of checking every file's SHA-256 while it is written: install
# throughput of the real Pellinor.exe under Wine with a manifest that lists
# hashes and with the same manifest without them, from a mirror (nginx, one
# site) and over the session (brevane-sessiond), on loopback.
#
#   bench/hash_bench.sh [CROSS_BUILD [TOOLS_BUILD]]
#
# The server tools come from TOOLS_BUILD, by default the release build.
# MIB (default 128) sets the client's size: files of 0.2 to 1.4 MiB, half
# text, half random; RUNS (default 3) the installs per case, alternating
# with and without hashes. Wine's start-up is measured apart (a run with
# nothing to download) and taken off. Prints MB/s per case (best run) and
# the ratio with/without; writes hash_bench.txt and hash_bench.png into
# OUT (default build/bench). Checks nothing but that each install is whole.
set -u
here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(cd "$here/.." && pwd)
export PELLINOR_BUILD=$(cd "${1:-${PELLINOR_BUILD:-$source_dir/build/win}}" && pwd)
export PELLINOR_NATIVE_BUILD=$(cd "${2:-${PELLINOR_NATIVE_BUILD:-$source_dir/build/release}}" && pwd)
. "$source_dir/tests/e2e/lib.sh"
total_mib=${MIB:-128}
runs=${RUNS:-3}
out=${OUT:-$source_dir/build/bench}
mkdir -p "$out"
for f in "$WINE_RUN" "$PELLINOR_EXE" "$PUBLISH" "$SESSIOND"; do
  [ -e "$f" ] || { echo "missing $f (scripts/build.sh builds the cross and release trees)" >&2; exit 1; }
done
now() { date +%s.%N; }

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
bytes=$(find "$release" -type f -printf '%s\n' | awk '{ s += $1 } END { print s }')
files=$(find "$release" -type f | wc -l)
mport=$(free_port)
"$PUBLISH" --mirror="$SCRATCH/mirror" --site="http://127.0.0.1:$mport/=5" "$release" >/dev/null ||
  fail "brevane-publish failed"
chmod 755 "$SCRATCH"
chmod -R a+rX "$SCRATCH/mirror"
start_nginx "$SCRATCH/mirror" "$mport"
start_sessiond "$release"

# The four manifests: mirror or session (no sites), with or without hashes.
python3 - "$release/files.ver" "$SCRATCH" <<'PY'
import re, sys
text = open(sys.argv[1], "rb").read()
bare = re.sub(rb"^([^=\r\n]*=[0-9]+,[0-9]+),[0-9a-f]{64}\r$", rb"\1\r", text, flags=re.M)
nosites = lambda t: t.split(b"[SITES]")[0]
for name, t in (("mirror-hash", text), ("mirror-bare", bare),
                ("session-hash", nosites(text)), ("session-bare", nosites(bare))):
    open("%s/%s.ver" % (sys.argv[2], name), "wb").write(t)
PY

# install MANIFEST FOLDER: seconds of one run of the installer.
install() {
  cp "$SCRATCH/$1.ver" "$SCRATCH/Pellinor.ver"
  local t0 t1
  t0=$(now)
  "$WINE_RUN" "$SCRATCH/Pellinor.exe" "host=127.0.0.1:$SESSION_PORT" "dir=$(wpath "$2")" \
    >>"$SCRATCH/installer.out" 2>&1 || fail "$1: the installer failed"
  t1=$(now)
  awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f", b - a }'
}
cp "$PELLINOR_EXE" "$SCRATCH/Pellinor.exe"

# whole FOLDER: every file of the release is there with its bytes.
whole() {
  python3 - "$release" "$1" <<'PY'
import filecmp, os, sys
release, inst = sys.argv[1:3]
for top, _, names in os.walk(release):
    for n in names:
        rel = os.path.relpath(os.path.join(top, n), release)
        if rel != "files.ver" and not filecmp.cmp(os.path.join(release, rel), os.path.join(inst, rel), shallow=False):
            sys.exit(1)
PY
}

echo "== $files files, $bytes bytes; $runs runs per case; Pellinor.exe $(stat -c %s "$PELLINOR_EXE") bytes"
# Start-up: a run into a folder that is already complete.
install mirror-hash "$SCRATCH/warm" >/dev/null
startup=9999
for _ in 1 2 3; do
  s=$(install mirror-hash "$SCRATCH/warm")
  startup=$(awk -v a="$startup" -v b="$s" 'BEGIN { print (b < a ? b : a) }')
done
echo "   Wine start-up and manifest (nothing to fetch): $startup s"

declare -A best
for r in $(seq "$runs"); do
  for c in mirror-hash mirror-bare session-hash session-bare; do
    rm -rf "$SCRATCH/inst"
    s=$(install "$c" "$SCRATCH/inst")
    whole "$SCRATCH/inst" || fail "$c: the install is not whole"
    echo "   run $r $c: $s s"
    if [ -z "${best[$c]:-}" ] || awk -v a="$s" -v b="${best[$c]}" 'BEGIN { exit !(a < b) }'; then best[$c]=$s; fi
  done
done

{
  echo "# path  hashes  seconds  MB/s(whole run)  MB/s(start-up excluded)"
  for c in mirror-hash mirror-bare session-hash session-bare; do
    awk -v c="$c" -v s="${best[$c]}" -v u="$startup" -v b="$bytes" 'BEGIN {
      split(c, p, "-"); printf "%s %s %.3f %.1f %.1f\n", p[1], p[2], s, b / 1e6 / s, b / 1e6 / (s - u) }'
  done
} >"$out/hash_bench.txt"
echo "== best of $runs (start-up $startup s taken off in the last column)"
column -t "$out/hash_bench.txt"
for p in mirror session; do
  awk -v p="$p" '$1 == p && $2 == "hash" { h = $5 } $1 == p && $2 == "bare" { n = $5 }
    END { printf "   %s: with hashes %.1f MB/s, without %.1f MB/s, ratio %.3f\n", p, h, n, h / n }' \
    "$out/hash_bench.txt"
done | tee -a "$out/hash_bench.txt"

gnuplot <<PLOT
set terminal png size 720,420
set output "$out/hash_bench.png"
set title "Install throughput with and without SHA-256 checks ($files files, $total_mib MiB, start-up excluded)"
set style data histograms
set style histogram cluster gap 1
set style fill solid 0.8 border -1
set ylabel "MB/s installed"
set yrange [0:*]
\$data << EOD
mirror $(awk '$1 == "mirror" && $2 == "hash" { print $5 }' "$out/hash_bench.txt") $(awk '$1 == "mirror" && $2 == "bare" { print $5 }' "$out/hash_bench.txt")
session $(awk '$1 == "session" && $2 == "hash" { print $5 }' "$out/hash_bench.txt") $(awk '$1 == "session" && $2 == "bare" { print $5 }' "$out/hash_bench.txt")
EOD
plot \$data using 2:xtic(1) title "with hashes", '' using 3 title "without"
PLOT
echo "   wrote $out/hash_bench.txt and $out/hash_bench.png"
