#!/usr/bin/env bash
# Mirror install throughput on loopback under Wine, against a peer, and
# where the installer's time goes.
#
#   bench/mirror_bench.sh [CROSS_BUILD [TOOLS_BUILD]]
#
# The server tools and the peer (bench/mirror_peer) come from TOOLS_BUILD, by
# default the release build (build/release, scripts/build.sh); the installer
# and bench/win/mirror_read from CROSS_BUILD (build/win). Settings (environment):
#   MIB      client size, default 128 (about 160 files of 0.2 to 1.4 MiB,
#            half compressible text, half random bytes)
#   SITES    numbers of nginx sites to try, default "1" (e.g. "1 2 3")
#   WORKERS  worker totals, default "1 5 15" (spread over the sites)
#   REPEAT   runs of every measurement, default 5; the median is printed
#   OUT      text, data and plot folder, default build/bench
#
# Measured, each as the median of REPEAT runs:
#   - start-up: the real Pellinor.exe run against a folder that already
#     holds the client, so nothing is downloaded (Wine's process start,
#     manifest read, the up-to-date checks, exit);
#   - install: the real Pellinor.exe installing the client from the mirrors
#     alone into an empty folder; MB/s of installed bytes over the whole run
#     and with the start-up taken off;
#   - peer: bench/mirror_peer, native code doing what the installer's mirror
#     path does with the same number of workers: libcurl on kept-alive
#     connections, zlib inflate, each file created, written, hashed (SHA-256,
#     checked), flushed, stamped, then renamed into place; the ratio of the
#     installer's rate to the peer's, and the peer's own stage times;
#   - the layers: the installer's own HTTP reader alone (bodies read and
#     dropped), with its inflater (output dropped) and with its file stage
#     (files created, written, hashed, flushed, stamped, each stage timed),
#     run by bench/win/mirror_read.exe with the same number of workers and
#     timed inside the process (so without Wine's start-up); curl alone (bodies to
#     /dev/null); and the CPU seconds of the installer's process, of Wine's
#     other processes (wineserver and services) and of nginx during an
#     install, against its wall time.
# Writes mirror_bench.txt (this output), mirror_bench.dat and, with
# gnuplot, mirror_bench.png into OUT. Every install is checked whole.
# Other helpers' Wine runs compete for the same cores; run it under
# `flock /tmp/pellinor-wine.lock` on a shared machine.
set -u
here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(cd "$here/.." && pwd)
export PELLINOR_BUILD=$(cd "${1:-${PELLINOR_BUILD:-$source_dir/build/win}}" && pwd)
export PELLINOR_NATIVE_BUILD=$(cd "${2:-${PELLINOR_NATIVE_BUILD:-$source_dir/build/release}}" && pwd)
. "$source_dir/tests/e2e/lib.sh"
total_mib=${MIB:-128}
site_counts=${SITES:-1}
worker_counts=${WORKERS:-1 5 15}
repeat=${REPEAT:-5}
out=${OUT:-$source_dir/build/bench}
mkdir -p "$out"
reader="$PELLINOR_BUILD/bench/mirror_read.exe"
peer_exe="$PELLINOR_NATIVE_BUILD/bench/mirror_peer"
for f in "$WINE_RUN" "$PELLINOR_EXE" "$PUBLISH" "$reader" "$peer_exe"; do
  [ -e "$f" ] || { echo "missing $f (scripts/build.sh builds the cross and release trees)" >&2; exit 1; }
done
case "$PUBLISH" in */build/native/*) echo "warning: $PUBLISH is the sanitizer build" >&2 ;; esac
exec > >(tee "$out/mirror_bench.txt") 2>&1

rate() { awk -v b="$1" -v s="$2" 'BEGIN { printf "%.1f", b / 1e6 / s }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
clk_tck=$(getconf CLK_TCK)

# CPU seconds (user + system) used so far by the PIDs given, alive ones only.
cpu_of() {
  local pid line ticks=0
  for pid in "$@"; do
    read -r line 2>/dev/null </proc/"$pid"/stat || continue
    line=${line##*) }
    set -- $line
    ticks=$((ticks + ${12} + ${13}))
  done
  awk -v t="$ticks" -v h="$clk_tck" 'BEGIN { printf "%.2f", t / h }'
}
# Wine's processes of this prefix other than the program run (wineserver,
# services, device hosts, the warm-keeper).
wine_pids() {
  grep -lzx "WINEPREFIX=$PELLINOR_BUILD/wineprefix" /proc/[0-9]*/environ 2>/dev/null |
    sed 's|/proc/\([0-9]*\)/environ|\1|'
}
nginx_pids() {
  local master
  for master in $(cat "$SCRATCH"/nginx-*/nginx.pid 2>/dev/null); do
    echo "$master"; pgrep -P "$master"
  done
}

echo "== $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)"
echo "   tools: $PUBLISH; installer: $PELLINOR_EXE ($(stat -c %s "$PELLINOR_EXE") bytes)"
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

max_sites=$(printf '%s\n' $site_counts | sort -n | tail -1)
read -r -a ports < <(python3 - "$max_sites" <<'PY'
import socket, sys
held = [socket.socket() for _ in range(int(sys.argv[1]))]
for s in held: s.bind(("127.0.0.1", 0))
print(" ".join(str(s.getsockname()[1]) for s in held))
PY
)
for p in "${ports[@]}"; do start_nginx "$mirror" "$p"; done

# Object names (month folder of a plain install) in manifest order.
tr -d '\r' <"$release/files.ver" | awk -F'[=,]' '/=/ {
  name = $1; gsub(/\\/, "_", name)
  s = $3; y = int(s / 33554432) - 20; m = int(s / 2097152) % 16
  printf "%s/%s_%s_%s\n", (y < 9 ? "0800" : sprintf("%02d%02d", y, m)), $3, $2, name }' >"$SCRATCH/objects.txt"
[ "$(wc -l <"$SCRATCH/objects.txt")" -eq "$files" ] || fail "object list does not match the release"
while read -r o; do [ -f "$mirror/$o" ] || fail "no mirror object $o"; done <"$SCRATCH/objects.txt"
# The peer's list: object, file name, size, stamp, SHA-256, in manifest order.
tr -d '\r' <"$release/files.ver" | awk -F'[=,]' '/=/ { name = $1; gsub(/\\/, "/", name); print name, $2, $3, $4 }' |
  paste -d' ' "$SCRATCH/objects.txt" - >"$SCRATCH/peer.txt"
awk 'NF != 5 || length($5) != 64 { exit 1 }' "$SCRATCH/peer.txt" || fail "manifest lines without a SHA-256"

# The objects as URLs for mirror_read, spread over SITES sites in turn (its
# workers take any URL next, as the installer's take any item).
url_list() {
  local sites=$1
  awk -v s="$sites" -v ports="${ports[*]}" 'BEGIN { split(ports, p, " ") }
    { printf "http://127.0.0.1:%s/%s\n", p[((NR - 1) % s) + 1], $0 }' "$SCRATCH/objects.txt"
}

# peer SITES WORKERS MODE: MODE install runs mirror_peer (workers spread over
# the sites as the installer spreads them) and sets PEER_STAGES to its stage
# times; MODE fetch is curl alone, one process per worker, each with every
# WORKERS-th object from one site on one kept-alive connection, the bodies
# dropped. Sets PEER_S (wall) and PEER_CPU.
peer() {
  local sites=$1 workers=$2 mode=$3 w
  rm -rf "$SCRATCH/ref"; mkdir -p "$SCRATCH/ref"
  if [ "$mode" = install ]; then
    local -a bases=()
    for w in $(seq 0 $((sites - 1))); do bases+=("http://127.0.0.1:${ports[$w]}/"); done
    local TIMEFORMAT='%R %U %S' t
    t=$( { time "$peer_exe" "$workers" "$SCRATCH/peer.txt" "$SCRATCH/ref" "${bases[@]}" \
           >"$SCRATCH/peer.out" 2>"$SCRATCH/peer.err" ; } 2>&1 ) ||
      fail "peer with $workers workers failed: $(head -3 "$SCRATCH/peer.err")"
    read -r PEER_S u s <<<"$t"
    PEER_CPU=$(awk -v u="$u" -v s="$s" 'BEGIN { printf "%.2f", u + s }')
    PEER_STAGES=$(sed -n 2p "$SCRATCH/peer.out" | awk '{ for (i = 2; i <= NF; i += 2) printf "%s ", $i }')
    [ "$(find "$SCRATCH/ref" -type f -printf '%s\n' | awk '{ s += $1 } END { print s + 0 }')" = "$bytes" ] ||
      fail "peer with $workers workers did not install every byte"
    return
  fi
  for w in $(seq 0 $((workers - 1))); do
    awk -v n="$workers" -v w="$w" 'NR % n == w' "$SCRATCH/objects.txt" >"$SCRATCH/slot$w.txt"
    awk -v w="$w" -v s="$sites" -v ports="${ports[*]}" 'BEGIN { split(ports, p, " ") }
      { printf "url = \"http://127.0.0.1:%s/%s\"\n", p[(w % s) + 1], $0 }' "$SCRATCH/slot$w.txt" >"$SCRATCH/slot$w.curl"
  done
  local TIMEFORMAT='%R %U %S' t
  t=$( { time {
    for w in $(seq 0 $((workers - 1))); do
      [ -s "$SCRATCH/slot$w.curl" ] || continue
      curl -sf -K "$SCRATCH/slot$w.curl" >/dev/null &
    done
    wait
  } ; } 2>&1 )
  read -r PEER_S u s <<<"$t"
  PEER_CPU=$(awk -v u="$u" -v s="$s" 'BEGIN { printf "%.2f", u + s }')
}

# write_ver SITES WORKERS: Pellinor.ver beside the program, mirrors only.
write_ver() {
  local sites=$1 workers=$2 s n
  {
    tr -d '\r' <"$release/files.ver" | sed 's/$/\r/'
    printf '[SITES]\r\n'
    for s in $(seq 0 $((sites - 1))); do
      n=$((workers / sites + (s < workers % sites ? 1 : 0)))
      [ "$n" -gt 0 ] && printf 'http://127.0.0.1:%s/=%d\r\n' "${ports[$s]}" "$n"
    done
  } >"$SCRATCH/Pellinor.ver"
}

# run_install DIR: the installer into DIR; sets RUN_S (wall), RUN_CPU (its
# own process), PEAK_KB (its peak resident memory), WINE_CPU (Wine's other
# processes) and NGINX_CPU.
run_install() {
  local dir=$1 wine_before nginx_before u s
  local -a wp np
  mapfile -t wp < <(wine_pids); mapfile -t np < <(nginx_pids)
  wine_before=$(cpu_of "${wp[@]}"); nginx_before=$(cpu_of "${np[@]}")
  # The wine loader becomes the program's process, so time(1)'s figures for
  # its child are the installer's own (wineserver is not its child).
  local TIMEFORMAT='%R'
  RUN_S=$( { time /usr/bin/time -f '%U %S %M' -o "$SCRATCH/rusage.txt" \
    "$WINE_RUN" "$SCRATCH/Pellinor.exe" "dir=$(wpath "$dir")" </dev/null >/dev/null 2>&1 ; } 2>&1 )
  read -r u s PEAK_KB <"$SCRATCH/rusage.txt"
  RUN_CPU=$(awk -v u="$u" -v s="$s" 'BEGIN { printf "%.2f", u + s }')
  mapfile -t wp < <(wine_pids)
  WINE_CPU=$(awk -v a="$(cpu_of "${wp[@]}")" -v b="$wine_before" 'BEGIN { printf "%.2f", a - b }')
  NGINX_CPU=$(awk -v a="$(cpu_of "${np[@]}")" -v b="$nginx_before" 'BEGIN { printf "%.2f", a - b }')
}

# The installer's timeline, from its diagnostic log read as it grows (every
# 5 ms): launch to the download list (start-up), the workers' span (first
# start of the download phase to the last worker's end), the job's wait
# after that, and the exit. Prints the four in seconds.
cat >"$SCRATCH/timeline.py" <<'PY'
import os, subprocess, sys, time
log, command = sys.argv[1], sys.argv[2:]
marks, seen, data = {}, 0, b""
t0 = time.monotonic()
app = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
def scan():
    global seen, data
    try:
        with open(log, "rb") as f:
            f.seek(seen)
            more = f.read()
    except FileNotFoundError:
        return
    seen += len(more)
    data += more
    *lines, data = data.split(b"\n")
    now = time.monotonic() - t0
    for line in (l.rstrip() for l in lines):
        if line.startswith(b"job: ") and b"files to fetch" in line: marks.setdefault("list", now)
        elif line.startswith(b"mirror: worker") and line.endswith(b"ends"): marks["ended"] = now
        elif line.startswith(b"job: finished"): marks["finished"] = now
while app.poll() is None:
    scan()
    time.sleep(0.005)
end = time.monotonic() - t0
scan()
if app.returncode != 0 or len(marks) != 3:
    sys.exit("timeline: exit %s, marks %s" % (app.returncode, sorted(marks)))
print("%.3f %.3f %.3f %.3f" % (marks["list"], marks["ended"] - marks["list"],
                               marks["finished"] - marks["ended"], max(0.0, end - marks["finished"])))
PY

# timeline DIR: the installer into DIR, logged; sets TIMELINE.
timeline() {
  rm -f "$SCRATCH/timeline.log"
  TIMELINE=$(PELLINOR_LOG="$SCRATCH/timeline.log" python3 "$SCRATCH/timeline.py" "$SCRATCH/timeline.log" \
    "$WINE_RUN" "$SCRATCH/Pellinor.exe" "dir=$(wpath "$1")") || fail "logged install failed"
}

# reader MODE WORKERS LIST: mirror_read's own time for the list (no start-up);
# MODE files writes into a fresh folder and sets READER_STAGES.
reader() {
  local mode=$1 result
  local -a out=()
  if [ "$mode" = files ]; then rm -rf "$SCRATCH/files"; mkdir -p "$SCRATCH/files"; out=("$(wpath "$SCRATCH/files")"); fi
  result=$("$WINE_RUN" "$reader" "$1" "$2" "$(wpath "$3")" "${out[@]}" </dev/null 2>/dev/null | tr -d '\r') ||
    fail "mirror_read $1 with $2 workers failed"
  READER_STAGES=$(sed -n 2p <<<"$result" | awk '{ for (i = 2; i <= NF; i += 2) printf "%s ", $i }')
  set -- $(head -1 <<<"$result")
  [ "$4" = "$objects" ] || fail "mirror_read read $4 of $objects object bytes"
  [ "$mode" = read ] || [ "$6" = "$bytes" ] || fail "mirror_read inflated $6 of $bytes bytes"
  READER_S=$8
}

# Keeps Wine's server and services up between runs, so that no run pays for
# their start or waits for their shutdown.
"$WINE_RUN" "$HELPERS/keepwarm.exe" </dev/null >/dev/null 2>&1 &
track $!
cp "$PELLINOR_EXE" "$SCRATCH/Pellinor.exe"
write_ver 1 5
# A first whole install warms Wine and the page cache; its folder then serves
# the start-up runs.
run_install "$SCRATCH/installed"
diff -rq "$release" "$SCRATCH/installed" -x files.ver >/dev/null || fail "warm-up install is not whole"

echo
echo "== start-up: an install with nothing to download (the client already there), $repeat runs"
log_before=$(nginx_access_log "${ports[0]}" | wc -l)
startups=()
for r in $(seq "$repeat"); do run_install "$SCRATCH/installed"; startups+=("$RUN_S"); done
[ "$(nginx_access_log "${ports[0]}" | wc -l)" = "$log_before" ] || fail "a start-up run downloaded something"
startup=$(median "${startups[@]}")
echo "   ${startups[*]} s; median $startup s (the program's own CPU $RUN_CPU s in the last)"

# One line of medians per sites and workers, all in seconds (peak in KiB).
data="$out/mirror_bench.dat"
echo "# bytes=$bytes objects=$objects files=$files repeat=$repeat" >"$data"
echo "# sites workers install_s startup_s peer_s curl_s read_s inflate_s prog_cpu wine_cpu nginx_cpu peer_cpu peak_kb" \
  "log_startup_s log_download_s log_wait_s log_exit_s files_s" \
  "files_create files_write files_hash files_flush files_stamp files_close" \
  "peer_fetch peer_create peer_write peer_hash peer_flush peer_stamp peer_commit" >>"$data"
# medians_of PREFIX COUNT: the median of each of COUNT columns of the lines
# in the array named PREFIX (one run's stage times a line).
medians_of() {
  local -n lines=$1
  local i
  for i in $(seq "$2"); do
    median $(printf '%s\n' "${lines[@]}" | awk -v i="$i" '{ print $i }')
  done | tr '\n' ' '
}
for sites in $site_counts; do
  url_list "$sites" >"$SCRATCH/urls-$sites.txt"
  for workers in $worker_counts; do
    [ "$workers" -ge "$sites" ] || continue
    write_ver "$sites" "$workers"
    inst=() cpu=() wcpu=() ncpu=() peak=() pe=() pecpu=() pf=() rd=() inf=() tls=() tld=() tlw=() tle=()
    fl=() flst=() pest=()
    # Interleaved, so that a slow spell of the machine hits every kind alike.
    for r in $(seq "$repeat"); do
      rm -rf "$SCRATCH/install"
      run_install "$SCRATCH/install"
      diff -rq "$release" "$SCRATCH/install" -x files.ver >/dev/null ||
        fail "install with $sites sites, $workers workers is not whole"
      inst+=("$RUN_S") cpu+=("$RUN_CPU") wcpu+=("$WINE_CPU") ncpu+=("$NGINX_CPU") peak+=("$PEAK_KB")
      rm -rf "$SCRATCH/install"
      timeline "$SCRATCH/install"
      read -r a b c d <<<"$TIMELINE"; tls+=("$a") tld+=("$b") tlw+=("$c") tle+=("$d")
      rm -rf "$SCRATCH/install"
      peer "$sites" "$workers" install; pe+=("$PEER_S") pecpu+=("$PEER_CPU") pest+=("$PEER_STAGES")
      peer "$sites" "$workers" fetch; pf+=("$PEER_S")
      reader read "$workers" "$SCRATCH/urls-$sites.txt"; rd+=("$READER_S")
      reader inflate "$workers" "$SCRATCH/urls-$sites.txt"; inf+=("$READER_S")
      reader files "$workers" "$SCRATCH/urls-$sites.txt"; fl+=("$READER_S") flst+=("$READER_STAGES")
    done
    echo "$sites $workers $(median "${inst[@]}") $startup $(median "${pe[@]}") $(median "${pf[@]}")" \
      "$(median "${rd[@]}") $(median "${inf[@]}") $(median "${cpu[@]}") $(median "${wcpu[@]}")" \
      "$(median "${ncpu[@]}") $(median "${pecpu[@]}") $(median "${peak[@]}")" \
      "$(median "${tls[@]}") $(median "${tld[@]}") $(median "${tlw[@]}") $(median "${tle[@]}")" \
      "$(median "${fl[@]}") $(medians_of flst 6) $(medians_of pest 7)" >>"$data"
    echo "   done: $sites site(s), $workers workers"
  done
done

echo
echo "== installs against the peer (median of $repeat; MB/s of installed bytes, MB = 10^6)"
echo "   all: the installer's whole run; excl: start-up ($startup s) taken off; ratio: installer"
echo "   rate / peer rate at the same workers; best: excl against the peer's best at any workers"
awk -v B="$bytes" '
  /^#/ { next }
  { n++; for (i = 1; i <= NF; i++) v[n, i] = $i
    r = B / 1e6 / $5; if (r > best[$1]) best[$1] = r }
  END {
    printf "%-5s %-7s %9s %7s %7s %7s %7s %6s %6s %6s %8s\n", "sites", "workers", "install s", "all", "excl",
      "peer s", "peer", "ratio", "excl", "best", "peak MiB"
    for (k = 1; k <= n; k++) {
      excl = v[k, 3] - v[k, 4]; peer = B / 1e6 / v[k, 5]
      printf "%-5s %-7s %9.3f %7.1f %7.1f %7.3f %7.1f %6.2f %6.2f %6.2f %8.1f\n", v[k, 1], v[k, 2], v[k, 3],
        B / 1e6 / v[k, 3], B / 1e6 / excl, v[k, 5], peer, v[k, 5] / v[k, 3], v[k, 5] / excl,
        B / 1e6 / excl / best[v[k, 1]], v[k, 13] / 1024
    }
  }' "$data"
echo
echo "== where the time goes"
echo "   MB/s of installed bytes through each layer: read = the installer's HTTP reader alone"
echo "   (bodies dropped), +inflate = and its inflater (output dropped), +files = and its file stage"
echo "   (mirror_read files), install = the whole install (start-up off); curl = curl alone"
echo "   (bodies dropped), peer = mirror_peer (the installer's work in native code)."
echo "   An install in seconds, from its log as it grows (separate logged runs): start = launch"
echo "   to the download list, span = the workers' time, of it http (the reader alone), inflate"
echo "   (what the inflater adds) and files (the rest of the span: creating, writing, hashing,"
echo "   flushing, stamping the files), then wait = the job's poll after the last worker ended,"
echo "   exit = to process exit."
echo "   CPU seconds in one install: prog = the installer's process, wine = wineserver and Wine's"
echo "   services; busy = (prog + wine + nginx) / wall; peer = mirror_peer's CPU."
echo "   $(nproc) cores; load now $(cut -d' ' -f1-3 /proc/loadavg)."
awk -v B="$bytes" '
  BEGIN { printf "%-5s %-7s %6s %8s %6s %7s %6s %6s | %5s %5s %5s %7s %5s %5s %5s | %5s %5s %5s %5s %5s\n",
            "sites", "workers", "read", "+inflate", "+files", "install", "curl", "peer", "start", "span", "http",
            "inflate", "files", "wait", "exit", "prog", "wine", "nginx", "busy", "peer" }
  /^#/ { next }
  { excl = $3 - $4
    printf "%-5s %-7s %6.1f %8.1f %6.1f %7.1f %6.1f %6.1f | %5.2f %5.2f %5.2f %7.2f %5.2f %5.2f %5.2f | %5.2f %5.2f %5.2f %5.2f %5.2f\n",
      $1, $2, B / 1e6 / $7, B / 1e6 / $8, B / 1e6 / $18, B / 1e6 / excl, B / 1e6 / $6, B / 1e6 / $5,
      $14, $15, $7, $8 - $7, $15 - $8, $16, $17, $9, $10, $11, ($9 + $10 + $11) / $3, $12 }' "$data"
echo
echo "== the file stage: seconds summed over the workers (median of $repeat)"
echo "   installer = mirror_read files under Wine, the installer's own file code; peer = mirror_peer."
echo "   fetch = HTTP and inflate; create (peer: open and close), write, hash (SHA-256), flush"
echo "   (FlushFileBuffers / fsync), stamp (SetFileTime / futimens), close; commit = the peer's renames."
awk '
  BEGIN { printf "%-5s %-7s | %-9s %6s %6s %6s %6s %6s %6s %6s | %-4s %6s %6s %6s %6s %6s %6s %6s %6s\n",
            "sites", "workers", "installer", "wall", "create", "write", "hash", "flush", "stamp", "close",
            "peer", "wall", "fetch", "create", "write", "hash", "flush", "stamp", "commit" }
  /^#/ { next }
  { printf "%-5s %-7s | %-9s %6.2f %6.2f %6.2f %6.2f %6.2f %6.2f %6.2f | %-4s %6.2f %6.2f %6.2f %6.2f %6.2f %6.2f %6.2f %6.2f\n",
      $1, $2, "", $18, $19, $20, $21, $22, $23, $24, "", $5, $25, $26, $27, $28, $29, $30, $31 }' "$data"

if command -v gnuplot >/dev/null; then
  gnuplot <<GP
set terminal png size 960,600
set output "$out/mirror_bench.png"
set title "Mirror install of $((bytes >> 20)) MiB ($files files) on loopback, median of $repeat"
set xlabel "workers (concurrent fetches)"
set ylabel "MB/s of installed bytes (log scale)"
set key top left
set grid
set logscale x
set logscale y
set xrange [$(printf '%s\n' $worker_counts | sort -n | awk 'NR == 1 { a = $1 } { b = $1 } END { printf "%g:%g", a * 0.8, b * 1.25 }')]
set xtics ($(printf '%s\n' $worker_counts | awk '{ printf "%s\"%s\" %s", (NR > 1 ? ", " : ""), $1, $1 }'))
s1 = "< awk '!/^#/ && \$1 == 1' $data"
mbs(s) = $bytes / 1e6 / s
plot s1 using 2:(mbs(\$3 - \$4)) with linespoints lw 2 title "installer, start-up excluded", \
     s1 using 2:(mbs(\$3)) with linespoints title "installer, whole run", \
     s1 using 2:(mbs(\$5)) with linespoints lw 2 title "peer: native code doing the same work", \
     s1 using 2:(mbs(\$7)) with linespoints dt 2 title "installer's HTTP reader alone", \
     s1 using 2:(mbs(\$8)) with linespoints dt 2 title "installer's reader + inflater", \
     s1 using 2:(mbs(\$18)) with linespoints dt 2 title "installer's reader + inflater + files", \
     s1 using 2:(mbs(\$6)) with linespoints dt 3 title "curl alone"
GP
  echo
  echo "plot: $out/mirror_bench.png (one site); data: $data; text: $out/mirror_bench.txt"
else
  echo "gnuplot missing (scripts/install-deps.sh installs gnuplot-nox): no plot; data: $data"
fi
cleanup
WINEPREFIX="$PELLINOR_BUILD/wineprefix" timeout 30 wineserver -w
