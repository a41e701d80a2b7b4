#!/usr/bin/env bash
# Delta updates, the byte figures that need no installer: a generated update
# (bench/delta_generate.py: about 220 MiB of binary-like files, scattered
# edits, insertions and deletions, appended tails, unchanged, new, renamed
# and moved files, and two real programs of this repository built at two
# commits) and what it costs to fetch
#   - as whole-file zlib objects (today's mirrors),
#   - as missing chunk objects plus files.ver.idx, for several chunk sizes
#     (bench/delta_measure, the product's own chunker),
#   - with casync (zstd, at several chunk sizes; the best one counts),
#     zsync (per file, over loopback HTTP), xdelta3 (per-file patches) and
#     rsync -z (against a daemon on loopback),
#     each plus the new files as zlib objects where the tool needs an old
#     copy under the same name;
# and brevane-publish's time and the mirror's chunk objects on disk.
#
#   bench/delta_bench.sh [TOOLS_BUILD]
#
# TOOLS_BUILD is the release build (default build/release). OLD_COMMIT and
# NEW_COMMIT pick the program builds (cached in OUT/delta-programs).
# Writes delta_bench.txt, delta_bench.dat and delta_bench.png into OUT
# (default build/bench). Installs casync, zsync, xdelta3 and rsync with apt when
# they are missing (root).
set -u
here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(cd "$here/.." && pwd)
build=$(cd "${1:-$source_dir/build/release}" && pwd)
out=${OUT:-$source_dir/build/bench}
old_commit=${OLD_COMMIT:-348c29c}
new_commit=${NEW_COMMIT:-7dd6e59}
averages=${AVERAGES:-"2048 4096 8192 16384 65536"}
casync_sizes=${CASYNC_SIZES:-"2048 4096 8192 16384"}
mkdir -p "$out"
out=$(cd "$out" && pwd)
. "$here/lib.sh"
publish="$build/brevane-publish"
measure="$build/bench/delta_measure"
for f in "$publish" "$measure"; do
  [ -x "$f" ] || { echo "missing $f (scripts/build.sh builds the release tree)" >&2; exit 1; }
done
bench_work delta
now() { date +%s.%N; }
text="$out/delta_bench.txt"
data="$out/delta_bench.dat"
: >"$text"
say() { echo "$*" | tee -a "$text"; }

missing=()
command -v casync >/dev/null || missing+=(casync)
command -v zsyncmake >/dev/null || missing+=(zsync)
command -v xdelta3 >/dev/null || missing+=(xdelta3)
command -v rsync >/dev/null || missing+=(rsync)
if [ ${#missing[@]} -gt 0 ]; then
  DEBIAN_FRONTEND=noninteractive apt-get install -y "${missing[@]}" >/dev/null 2>&1 ||
    echo "could not install ${missing[*]}; their rows are left out" >&2
fi

# Two real programs at two commits, built once (release flags, no tests).
programs="$out/delta-programs"
for side in old new; do
  commit=$old_commit
  [ $side = new ] && commit=$new_commit
  if [ ! -s "$programs/$side/brevane-sessiond" ] || [ "$(cat "$programs/$side/commit" 2>/dev/null)" != "$commit" ]; then
    src="$work/src-$side"
    mkdir -p "$src" "$programs/$side"
    git -C "$source_dir" archive "$commit" | tar -x -C "$src" || exit 1
    (cmake -S "$src" -B "$src/b" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPELLINOR_SANITIZE=OFF \
       -DPELLINOR_TESTS=OFF && cmake --build "$src/b" -j"${PELLINOR_JOBS:-2}" --target brevane-publish brevane-sessiond) \
      >"$work/build-$side.log" 2>&1 || { tail "$work/build-$side.log"; exit 1; }
    cp "$src/b/brevane-publish" "$src/b/brevane-sessiond" "$programs/$side/"
    strip "$programs/$side"/brevane-*
    echo "$commit" >"$programs/$side/commit"
    rm -rf "$src"
  fi
done
mkdir -p "$work/prog/old" "$work/prog/new"
cp "$programs"/old/brevane-* "$work/prog/old/"
cp "$programs"/new/brevane-* "$work/prog/new/"

gen="$work/gen"
say "update: $(python3 "$here/delta_generate.py" "$gen" "$work/prog")"
say "programs: brevane-publish and brevane-sessiond at $old_commit and $new_commit"

# The product's figures.
"$measure" "$gen/v1" "$gen/v2" $averages >"$work/measure.txt" || exit 1
cat "$work/measure.txt" >>"$text"
first=$(head -1 "$work/measure.txt")
whole=$(field "$first" whole_objects)
new_objects=0
for f in $(cd "$gen/v2" && find . -type f | sort); do
  [ -e "$gen/v1/$f" ] && continue
  new_objects=$((new_objects + $(python3 -c 'import sys,zlib; print(len(zlib.compress(open(sys.argv[1],"rb").read(), 9)))' "$gen/v2/$f")))
done

# xdelta3: a patch per changed file, the new files whole.
xdelta=
if command -v xdelta3 >/dev/null; then
  xdelta=$new_objects
  for f in $(cd "$gen/v2" && find . -type f | sort); do
    [ -e "$gen/v1/$f" ] || continue
    cmp -s "$gen/v1/$f" "$gen/v2/$f" && continue
    xdelta3 -e -9 -f -s "$gen/v1/$f" "$gen/v2/$f" "$work/patch" || exit 1
    xdelta=$((xdelta + $(stat -c %s "$work/patch")))
  done
  say "xdelta3: $xdelta bytes (patches, and $new_objects of new files as zlib objects)"
fi

# zsync: control file and fetched ranges per changed file, over loopback HTTP.
zsync_total=
if command -v zsyncmake >/dev/null; then
  port=$(free_port)
  # nginx: zsync asks for several ranges in one request.
  bench_nginx "$gen/v2" "$port" || exit 1
  zsync_total=$new_objects
  mkdir -p "$work/z"
  for f in $(cd "$gen/v2" && find . -type f | sort); do
    [ -e "$gen/v1/$f" ] || continue
    cmp -s "$gen/v1/$f" "$gen/v2/$f" && continue
    rel=${f#./}
    zsyncmake -u "http://127.0.0.1:$port/$rel" -o "$work/z/ctl" "$gen/v2/$f" >/dev/null 2>&1 || exit 1
    line=$(cd "$work/z" && zsync -i "$gen/v1/$f" -o "$work/z/outfile" "$work/z/ctl" 2>&1 | tr "\r" "\n" | grep -o 'fetched [0-9]*' | tail -1)
    cmp -s "$work/z/outfile" "$gen/v2/$f" || { echo "zsync rebuilt $rel wrongly" >&2; exit 1; }
    zsync_total=$((zsync_total + ${line#fetched } + $(stat -c %s "$work/z/ctl")))
    rm -f "$work/z/outfile" "$work/z/ctl"
  done
  say "zsync: $zsync_total bytes (control files and fetched ranges, new files as zlib objects)"
fi

# rsync with compression: a daemon on loopback serves v2 and a copy of v1 is
# brought up to it; what the client received counts (renamed, moved and new
# files come whole, compressed).
rsync_total=
if command -v rsync >/dev/null; then
  port=$(free_port)
  cat >"$work/rsyncd.conf" <<CONF
use chroot = no
uid = root
gid = root
[v2]
  path = $gen/v2
  read only = yes
CONF
  rsync --daemon --no-detach --address=127.0.0.1 --port="$port" --config="$work/rsyncd.conf" &
  pids+=($!)
  sleep 1
  rm -rf "$work/r" && cp -a "$gen/v1" "$work/r"
  rsync -rz --no-whole-file --stats "rsync://127.0.0.1:$port/v2/" "$work/r/" >"$work/rsync.txt" 2>&1 ||
    { cat "$work/rsync.txt" >&2; exit 1; }
  for f in $(cd "$gen/v2" && find . -type f); do
    cmp -s "$work/r/$f" "$gen/v2/$f" || { echo "rsync rebuilt $f wrongly" >&2; exit 1; }
  done
  rsync_total=$(sed -n 's/^Total bytes received: \([0-9,]*\).*/\1/p' "$work/rsync.txt" | tr -d ,)
  say "rsync -z: $rsync_total bytes received ($(grep '^Total bytes sent' "$work/rsync.txt"))"
fi

# casync: the chunks of v2's store that v1's store lacks, plus v2's index.
casync_best= casync_rows=
if command -v casync >/dev/null; then
  for avg in $casync_sizes; do
    for compression in zstd; do
      rm -rf "$work/s1" "$work/s2"
      casync make --compression=$compression --chunk-size=$avg --store="$work/s1" "$work/v1.caidx" "$gen/v1" >/dev/null 2>&1 &&
        casync make --compression=$compression --chunk-size=$avg --store="$work/s2" "$work/v2.caidx" "$gen/v2" >/dev/null 2>&1 ||
        { echo "casync failed at $avg" >&2; continue; }
      bytes=$(python3 - "$work/s1" "$work/s2" "$work/v2.caidx" <<'PY'
import os, sys
def chunks(root):
    found = {}
    for folder, _, names in os.walk(root):
        for n in names:
            if n.endswith(".cacnk"):
                found[n] = os.path.getsize(os.path.join(folder, n))
    return found
old, new = chunks(sys.argv[1]), chunks(sys.argv[2])
print(sum(size for n, size in new.items() if n not in old) + os.path.getsize(sys.argv[3]))
PY
)
      say "casync: average $avg $compression: $bytes bytes"
      casync_rows+="casync-$((avg / 1024))K $bytes"$'\n'
      if [ -z "$casync_best" ] || [ "$bytes" -lt "$casync_best" ]; then casync_best=$bytes; fi
    done
  done
fi

# The publisher on the new release over the old one, with a mirror: time
# and chunk objects; the same with the publisher of NEW_COMMIT (no chunks).
publish_run() {  # PUBLISHER TAG: prints the seconds of the v2 run
  rm -rf "$work/release" "$work/serve" "$work/mirror" && cp -a "$gen/v1" "$work/release"
  "$1" --quiet --out="$work/serve" --mirror="$work/mirror" --site=http://m/=5 "$work/release" || exit 1
  rm -rf "$work/release" && cp -a "$gen/v2" "$work/release"
  local start=$(now)
  "$1" --out="$work/serve" --mirror="$work/mirror" --site=http://m/=5 "$work/release" >"$work/publish-$2.txt" || exit 1
  echo "$(now) - $start" | bc
}
plain_s=$(publish_run "$programs/new/brevane-publish" plain)
publish_s=$(publish_run "$publish" chunks)
whole_disk=$(find "$work/mirror" -path "$work/mirror/chunks" -prune -o -type f -links 1 -printf '%s\n' -o -type f -printf '%s %i\n' |
  awk 'NF == 1 { t += $1 } NF == 2 && !seen[$2]++ { t += $1 } END { print t }')
chunk_bytes=$(find "$work/mirror/chunks" -type f -printf '%s\n' | awk '{ t += $1 } END { print t }')
chunk_disk=$(( $(du -sk "$work/mirror/chunks" | cut -f1) * 1024 ))
chunk_files=$(find "$work/mirror/chunks" -type f | wc -l)
say "publisher: v2 over v1 in $publish_s s (without chunks, at $new_commit: $plain_s s); $(grep -E '^(chunks|files.ver.idx)' "$work/publish-chunks.txt" | tr '\n' ' ')"
say "mirror disk: whole-file objects $whole_disk bytes; chunk objects $chunk_bytes bytes in $chunk_files files, $chunk_disk bytes of disk blocks (both releases)"

# Table and plot (MB = 10^6 bytes).
{
  echo "# method bytes"
  echo "whole-files $whole"
  grep '^average=' "$work/measure.txt" | while read -r line; do
    echo "chunks-$(( $(field "$line" average) / 1024 ))K $(field "$line" delta_total)"
  done
  printf '%s' "$casync_rows"
  [ -n "$zsync_total" ] && echo "zsync $zsync_total"
  [ -n "$xdelta" ] && echo "xdelta3 $xdelta"
  [ -n "$rsync_total" ] && echo "rsync-z $rsync_total"
} >"$data"
say ""
say "$(awk 'NR > 1 { printf "%-14s %8.1f MB\n", $1, $2 / 1e6 }' "$data")"
chosen=$(awk -v a="$(( $(grep -o 'kChunkSizes = {[0-9]*, [0-9]*' "$source_dir/tinylib/chunker.cpp" | awk -F', ' '{print $2}') / 1024 ))" '$1 == "chunks-" a "K" { print $2 }' "$data")
if [ -n "$chosen" ]; then
  say "chosen sizes: $chosen bytes; casync best ${casync_best:-n/a}; xdelta3 x2 $(( ${xdelta:-0} * 2 ))"
fi
if command -v gnuplot >/dev/null; then
  gnuplot <<GP
set terminal png size 1000,560
set output "$out/delta_bench.png"
set title "Bytes to fetch for the generated update (MB)"
set ylabel "MB"
set yrange [0:*]
set style data histogram
set style fill solid 0.8 border -1
set xtics rotate by -30
unset key
plot "$data" using (\$2/1e6):xtic(1)
GP
  say "plot: $out/delta_bench.png"
else
  echo "gnuplot missing (scripts/install-deps.sh installs gnuplot-nox): no plot; data: $data"
fi
