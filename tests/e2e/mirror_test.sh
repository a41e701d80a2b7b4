#!/usr/bin/env bash
# Installs from mirror sites alone, with the real installer under Wine and
# real nginx mirrors on loopback:
#  - three sites with several workers each (two from the manifest's SITES
#    lines, one from the web: keyword) install a release of a few hundred
#    small files and some MiB files byte-identical with their stamps, each
#    object fetched once, from the month folder of a plain install;
#  - a site listed with =0 gets no worker and no request;
#  - sixteen one-thread sites: fifteen workers start, the sixteenth site is
#    never asked; with the keyword azure the objects are asked for without
#    the month folder.
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/install_checks.sh"
export PELLINOR_LOG="$SCRATCH/pellinor.log"
trap 'cp "$PELLINOR_LOG" "$ARTIFACTS/mirror-pellinor.log" 2>/dev/null; cleanup' EXIT

# free_ports N: N distinct loopback ports that are free right now (held
# together while chosen, so no two are the same).
free_ports() {
  python3 -c 'import socket, sys
held = [socket.socket() for _ in range(int(sys.argv[1]))]
for s in held: s.bind(("127.0.0.1", 0))
print(" ".join(str(s.getsockname()[1]) for s in held))' "$1"
}

# make_small_files DIR COUNT: COUNT random files of 1 to 20 KiB in a few folders.
make_small_files() {
  python3 - "$1" "$2" <<'PY'
import os, random, sys
root, count = sys.argv[1], int(sys.argv[2])
rng = random.Random(1203)
for i in range(count):
    folder = os.path.join(root, "lib", "part%d" % (i % 6))
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "f%03d.bin" % i), "wb") as f:
        f.write(rng.randbytes(rng.randint(1024, 20480)))
PY
}

release="$SCRATCH/release"
mirror="$SCRATCH/mirror"
make_release "$release"
make_small_files "$release" 300
find "$release" -type f -exec touch -d '2012-03-15 10:20:30 UTC' {} +

read -r p1 p2 p3 p0 p16 < <(free_ports 5)
"$PUBLISH" --mirror="$mirror" --site="http://127.0.0.1:$p1=4" \
  --site="http://127.0.0.1:$p2/objects/=3" --site="http://127.0.0.1:$p0/=0" "$release" >/dev/null ||
  fail "brevane-publish failed"
start_nginx "$mirror" "$p1"
start_nginx "$mirror" "$p2" "location /objects/ { alias $mirror/; }"
start_nginx "$mirror" "$p3"
start_nginx "$mirror" "$p0"

# A plain install reads the manifest beside the program.
cp "$PELLINOR_EXE" "$SCRATCH/Pellinor.exe"
cp "$release/files.ver" "$SCRATCH/Pellinor.ver"
install="$SCRATCH/install"
started=$(date +%s%N)
run_installer "$SCRATCH/Pellinor.exe" "dir=$(wpath "$install")" "web:http://127.0.0.1:$p3=2"
elapsed=$(( ($(date +%s%N) - started) / 1000000 ))
[ "$INSTALLER_STATUS" -eq 0 ] || fail "exit code $INSTALLER_STATUS"
check_installed "$release" "$release/files.ver" "$install"
entries=$(manifest_entries "$release/files.ver" | wc -l)
[ "$CHECKED_COUNT" -eq "$entries" ] && [ "$entries" -ge 308 ] || fail "checked $CHECKED_COUNT of $entries files"

grep -q 'mirror: 9 workers started for 4 sites' "$PELLINOR_LOG" ||
  fail "not 9 workers for 4 sites: $(grep 'workers started' "$PELLINOR_LOG")"
[ "$(grep -c 'mirror: worker .* ends' "$PELLINOR_LOG")" -eq 9 ] || fail "not every worker ended"
[ -z "$(nginx_access_log "$p0")" ] || fail "the =0 site was asked: $(nginx_access_log "$p0" | head -3)"

# Every object once, in all (a failed attempt would ask again, or leave the
# file to the session, which is not running), from the month folder of a
# plain install. How many workers ran shows only in the log.
requests="$SCRATCH/requests.txt"
{ nginx_access_log "$p1"; nginx_access_log "$p2"; nginx_access_log "$p3"; } |
  awk '{ print $7 }' | sed 's|^/objects/|/|' >"$requests"
for p in "$p1" "$p2" "$p3"; do
  [ -n "$(nginx_access_log "$p")" ] || fail "site on port $p served nothing"
done
[ "$(wc -l <"$requests")" -eq "$entries" ] || fail "$(wc -l <"$requests") requests for $entries files"
[ "$(sort -u "$requests" | wc -l)" -eq "$entries" ] || fail "an object was fetched twice"
grep -qv '^/1203/' "$requests" && fail "a request outside the month folder: $(grep -v '^/1203/' "$requests" | head -1)"
pass "3 sites, 9 workers: $entries files identical with stamps in ${elapsed} ms; =0 site never asked"

# Sixteen one-thread sites on one nginx (s1 .. s16 lead to the same objects):
# the job holds one of the 16 thread slots, so the last site gets no worker.
small="$SCRATCH/small"
small_mirror="$SCRATCH/small-mirror"
make_small_files "$small" 30
find "$small" -type f -exec touch -d '2013-07-01 12:00:00 UTC' {} +
sites=()
for i in $(seq 1 16); do sites+=("--site=http://127.0.0.1:$p16/s$i/=1"); done
"$PUBLISH" --mirror="$small_mirror" "${sites[@]}" "$small" >/dev/null || fail "brevane-publish of 16 sites failed"
start_nginx "$small_mirror" "$p16" "location ~ ^/s[0-9]+/(.*)\$ { alias $small_mirror/\$1; }"
cp "$small/files.ver" "$SCRATCH/Pellinor.ver"
install16="$SCRATCH/install16"
: >"$PELLINOR_LOG"
run_installer "$SCRATCH/Pellinor.exe" "dir=$(wpath "$install16")" azure
[ "$INSTALLER_STATUS" -eq 0 ] || fail "16 sites: exit code $INSTALLER_STATUS"
check_installed "$small" "$small/files.ver" "$install16"
[ "$CHECKED_COUNT" -eq 30 ] || fail "16 sites: checked $CHECKED_COUNT of 30 files"
grep -q 'mirror: 15 workers started for 16 sites' "$PELLINOR_LOG" ||
  fail "16 sites: $(grep 'workers started' "$PELLINOR_LOG")"
nginx_access_log "$p16" | awk '{ print $7 }' >"$SCRATCH/requests16.txt"
grep -q '^/s16/' "$SCRATCH/requests16.txt" && fail "the 16th site was asked"
grep -Eqv '^/s[0-9]+/[0-9]+_[0-9]+_lib_part' "$SCRATCH/requests16.txt" &&
  fail "azure: a request not at the top of its site: $(grep -Ev '^/s[0-9]+/[0-9]+_' "$SCRATCH/requests16.txt" | head -1)"
pass "16 one-thread sites: 15 workers, the 16th site never asked, 30 files installed without month folder"
