#!/usr/bin/env bash
# Files whose names hold characters that mean something in a URL ('%', '#',
# blanks, '+', ';', '&', '[', ...) install from a real nginx mirror under
# Wine byte-identical with their stamps, every object asked for once and
# answered 200, with no session host to fall back to. "50%41.txt" and
# "50A.txt" have the same size and stamp but other bytes: a request that
# let the server decode "%41" would fetch the wrong object of the right size.
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/install_checks.sh"
export PELLINOR_LOG="$SCRATCH/pellinor.log"
trap 'cp "$PELLINOR_LOG" "$ARTIFACTS/mirror-names-pellinor.log" 2>/dev/null; cleanup' EXIT

release="$SCRATCH/release"
mirror="$SCRATCH/mirror"
mkdir -p "$release/sub dir" "$release/#tags"
names=("100%.txt" "50%41.txt" "50A.txt" "x#1.dll" "a b.txt" "semi;colon&amp+plus.txt"
       "it's (1) [2] ~!@\$^,.txt" "sub dir/50%20 #x.dat" "#tags/%2e%2e%2fup.txt" "%.txt")
for name in "${names[@]}"; do
  head -c 3000 /dev/urandom >"$release/$name"
done
find "$release" -type f -exec touch -d '2012-03-15 10:20:30 UTC' {} +

port=$(free_port)
"$PUBLISH" --mirror="$mirror" --site="http://127.0.0.1:$port/=4" "$release" >/dev/null ||
  fail "brevane-publish failed"
[ -f "$mirror/1203/1081037455_3000_50%41.txt" ] || fail "the publisher did not keep the raw object name"
start_nginx "$mirror" "$port"

cp "$PELLINOR_EXE" "$SCRATCH/Pellinor.exe"
cp "$release/files.ver" "$SCRATCH/Pellinor.ver"
install="$SCRATCH/install"
run_installer "$SCRATCH/Pellinor.exe" "dir=$(wpath "$install")"
[ "$INSTALLER_STATUS" -eq 0 ] || fail "exit code $INSTALLER_STATUS"
# (check_installed reads names split at blanks, so these are checked here.)
epoch=$(dos_stamp_to_epoch 1081037455)
for name in "${names[@]}"; do
  [ -f "$install/$name" ] || fail "$name was not installed"
  cmp -s "$release/$name" "$install/$name" || fail "$name differs from the release"
  [ "$(stat -c '%s %Y' "$install/$name")" = "3000 $epoch" ] || fail "$name: wrong size or time"
done
[ "$(find "$install" -type f | wc -l)" -ge "${#names[@]}" ] || fail "files missing"

# Each object asked for once, found, and sent encoded.
log="$SCRATCH/access.txt"
nginx_access_log "$port" >"$log"
[ "$(wc -l <"$log")" -eq "${#names[@]}" ] || fail "$(wc -l <"$log") requests for ${#names[@]} files"
awk '$9 != 200' "$log" | grep -q . && fail "a request was not answered 200: $(awk '$9 != 200' "$log" | head -1)"
grep -q 'GET /1203/1081037455_3000_50%2541.txt ' "$log" || fail "50%41.txt was not asked for encoded"
grep -q 'GET /1203/1081037455_3000_sub%20dir_50%2520%20%23x.dat ' "$log" ||
  fail "sub dir/50%20 #x.dat was not asked for encoded"
# No object asked for twice: a failed attempt would have been tried again.
twice=$(awk '{print $7}' "$log" | sort | uniq -d | head -3)
[ -z "$twice" ] || fail "objects asked for more than once: $twice"
pass "${#names[@]} files with URL-special names installed from the mirror alone, each object once"
