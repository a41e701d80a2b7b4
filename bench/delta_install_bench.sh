#!/usr/bin/env bash
# Delta updates with the real installer under Wine: the generated update of
# bench/delta_generate.py (version 1 installed, then updated to version 2),
# over the session and over one nginx mirror, with the chunk index and
# without it (whole files, as today): wall time of the update, bytes on the
# wire (the host's reply bytes; nginx's body bytes) and the installer's own
# "fetched F of T" figure. Every update is checked byte for byte.
#
#   bench/delta_install_bench.sh [WIN_BUILD] [TOOLS_BUILD]
#
# WIN_BUILD defaults to build/win, TOOLS_BUILD to build/release. PROGRAMS
# (default OUT/delta-programs, left by bench/delta_bench.sh) adds the two
# real program builds to the update when present. Writes
# delta_install_bench.txt/.dat/.png into OUT (default build/bench). Run it
# under `flock /tmp/pellinor-wine.lock` on a shared machine.
set -u
here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(cd "$here/.." && pwd)
win=$(cd "${1:-$source_dir/build/win}" && pwd)
tools=$(cd "${2:-$source_dir/build/release}" && pwd)
out=${OUT:-$source_dir/build/bench}
mkdir -p "$out"
out=$(cd "$out" && pwd)
programs=${PROGRAMS:-$out/delta-programs}
. "$here/lib.sh"
bench_work delta-install
text="$out/delta_install_bench.txt"
data="$out/delta_install_bench.dat"
: >"$text"
say() { echo "$*" | tee -a "$text"; }
now() { date +%s.%N; }
wine_run="$win/wine-run"
wpath() { printf 'Z:%s' "$(printf '%s' "$1" | tr / '\\')"; }

gen="$work/gen"
if [ -d "$programs/old" ] && [ -d "$programs/new" ]; then
  mkdir -p "$work/prog/old" "$work/prog/new"
  cp "$programs"/old/brevane-* "$work/prog/old/" && cp "$programs"/new/brevane-* "$work/prog/new/"
  say "update: $(python3 "$here/delta_generate.py" "$gen" "$work/prog")"
else
  say "update: $(python3 "$here/delta_generate.py" "$gen") (no program pair in $programs)"
fi
mirror="$work/mirror"
"$tools/brevane-publish" --quiet --mirror="$mirror" "$gen/v1" || exit 1
"$tools/brevane-publish" --quiet --mirror="$mirror" "$gen/v2" || exit 1
cp "$win/Pellinor.exe" "$work/Pellinor.exe"

# serve ROOT: a session host on it; HOST_PID, HOST_PORT, HOST_LOG.
serve() {
  HOST_PORT=$(free_port)
  HOST_LOG="$work/host-$HOST_PORT.log"
  "$tools/brevane-sessiond" --port="$HOST_PORT" --log="$HOST_LOG" "$1" >/dev/null 2>&1 &
  HOST_PID=$!
  pids+=($HOST_PID)
  sleep 0.5
}

# Version 1, installed once; each update starts from a copy.
serve "$gen/v1"
PELLINOR_LOG="$work/v1.log" "$wine_run" "$work/Pellinor.exe" "host=127.0.0.1:$HOST_PORT" \
  "dir=$(wpath "$work/base")" quiet >/dev/null 2>&1 || { echo "installing version 1 failed" >&2; exit 1; }
kill "$HOST_PID"

# update TAG ARGS...: a timed update of a copy of version 1, checked.
update() {
  local tag=$1
  shift
  rm -rf "$work/install" && cp -a "$work/base" "$work/install"
  local start
  start=$(now)
  PELLINOR_LOG="$work/$tag.log" "$wine_run" "$work/Pellinor.exe" "$@" \
    "dir=$(wpath "$work/install")" quiet >/dev/null 2>&1 || { echo "$tag: update failed" >&2; exit 1; }
  SECONDS_TAKEN=$(echo "$(now) - $start" | bc)
  (cd "$gen/v2" && find . -type f ! -name 'files.ver*' -print0 | xargs -0 -n 200 sh -c \
    'for f; do cmp -s "$f" "$0/$f" || { echo "differs: $f"; exit 1; }; done' "$work/install") ||
    { echo "$tag: not byte-identical" >&2; exit 1; }
  FETCHED=$(tail -1 "$work/$tag.log" | sed -n 's/.*fetched \([0-9]*\) of \([0-9]*\) bytes.*/\1 of \2/p')
}

echo "# path method seconds wire_bytes" >"$data"
for method in delta whole; do
  rm -f "$gen/v2/files.ver.idx.off"
  [ $method = whole ] && mv "$gen/v2/files.ver.idx" "$gen/v2/files.ver.idx.off"
  serve "$gen/v2"
  update "session-$method" "host=127.0.0.1:$HOST_PORT"
  kill "$HOST_PID"
  wire=$(sed -n 's/.* wire=\([0-9]*\).*/\1/p' "$HOST_LOG" | awk '{ s += $1 } END { print s + 0 }')
  say "session $method: $SECONDS_TAKEN s, $wire bytes from the host; installer: fetched $FETCHED"
  echo "session $method $SECONDS_TAKEN $wire" >>"$data"
  [ $method = whole ] && mv "$gen/v2/files.ver.idx.off" "$gen/v2/files.ver.idx"
done

port=$(free_port)
bench_nginx "$mirror" "$port" || exit 1
access="$work/nginx-$port/access.log"
cp "$gen/v2/files.ver" "$work/Pellinor.ver"
for method in delta whole; do
  rm -f "$work/Pellinor.ver.idx"
  [ $method = delta ] && cp "$gen/v2/files.ver.idx" "$work/Pellinor.ver.idx"
  : >"$access"
  update "mirror-$method" "web:http://127.0.0.1:$port=5"
  wire=$(awk '{ s += $10 } END { print s + 0 }' "$access")
  [ $method = delta ] && wire=$((wire + $(stat -c %s "$gen/v2/files.ver.idx")))
  say "mirror $method: $SECONDS_TAKEN s, $wire bytes (objects$([ $method = delta ] && echo ' and the index')); installer: fetched $FETCHED"
  echo "mirror $method $SECONDS_TAKEN $wire" >>"$data"
done

if command -v gnuplot >/dev/null; then
  awk 'NR > 1 { print $1 "-" $2, $3, $4 / 1e6 }' "$data" >"$work/plot.dat"
  gnuplot <<GP
set terminal png size 1000,480
set output "$out/delta_install_bench.png"
set multiplot layout 1,2 title "Generated update under Wine: delta path against whole files"
set style data histogram
set xtics rotate by -25
set style fill solid 0.8 border -1
set yrange [0:*]
unset key
set title "wall time (s)"
plot "$work/plot.dat" using 2:xtic(1)
set title "bytes fetched (MB)"
plot "$work/plot.dat" using 3:xtic(1)
unset multiplot
GP
  say "plot: $out/delta_install_bench.png"
fi
