#!/usr/bin/env bash
# Delta updates under Wine: an installed version 1 updated to version 2 over
# the session and over a mirror comes out byte-identical, and only the
# missing chunks are asked for (session ranges of less than a file, mirror
# chunk objects the old release did not have, each once). Then the
# fallbacks: no index, an index of another files.ver, a corrupted chunk
# object, and a keyed installer with an unsigned index all give the whole
# file of what they touch, and still a correct install.
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/install_checks.sh"
trap 'cleanup' EXIT
KEYED="$PELLINOR_BUILD/Pellinor-testkey.exe"
KEY="$PELLINOR_BUILD/test-release-key/release-private.pem"

v1="$SCRATCH/v1" v2="$SCRATCH/v2" mirror="$SCRATCH/mirror"
mkdir -p "$v1/data" "$v2/data"
head -c 4000000 /dev/urandom >"$v1/data/big.dat"
head -c 1500000 /dev/urandom >"$v1/data/keep.dat"
head -c 800000 /dev/urandom >"$v1/data/place.dat"
echo "release notes 1" >"$v1/notes.txt"
find "$v1" -type f -exec touch -d '2012-03-15 10:20:30 UTC' {} +
cp -a "$v1/." "$v2/"
# Scattered edits, an insertion that shifts the rest, an appended tail; a
# new file that copies an unchanged one; a file moved to another folder; a
# wholly new file.
python3 - "$v2/data/big.dat" <<'PY'
import os, sys
b = bytearray(open(sys.argv[1], "rb").read())
for at in (300000, 1900000, 3500000):
    b[at:at + 700] = os.urandom(700)
b[1000000:1000000] = os.urandom(5000)
b += os.urandom(20000)
open(sys.argv[1], "wb").write(b)
PY
{ cat "$v1/data/keep.dat"; head -c 60000 /dev/urandom; } >"$v2/data/copy.dat"
mkdir -p "$v2/data/sub"
mv "$v2/data/place.dat" "$v2/data/sub/moved.dat"
head -c 300000 /dev/urandom >"$v2/data/added.dat"
echo "release notes 2" >"$v2/notes.txt"
touch -d '2014-07-01 09:00:00 UTC' "$v2/data/big.dat" "$v2/data/copy.dat" "$v2/data/added.dat" \
  "$v2/notes.txt" "$v2/data/sub/moved.dat"
big=$(stat -c %s "$v2/data/big.dat")

mport=$(free_port)
"$PUBLISH" --mirror="$mirror" "$v1" >/dev/null || fail "publishing version 1 failed"
cp "$v1/files.ver.idx" "$SCRATCH/v1.idx"
(cd "$mirror" && find chunks -type f | sort) >"$SCRATCH/v1-chunks"
"$PUBLISH" --mirror="$mirror" "$v2" >/dev/null || fail "publishing version 2 failed"
[ -s "$v2/files.ver.idx" ] || fail "no chunk index for version 2"
start_nginx "$mirror" "$mport"
cp "$PELLINOR_BUILD/Pellinor.exe" "$SCRATCH/Pellinor.exe"

# Version 1 over the session, kept as the starting point of every update.
start_sessiond_as one 0 "$v1"
base="$SCRATCH/base"
PELLINOR_LOG="$SCRATCH/v1.log" run_installer "$SCRATCH/Pellinor.exe" \
  "host=127.0.0.1:$SESSION_PORT" "dir=$(wpath "$base")" quiet
[ "$INSTALLER_STATUS" -eq 0 ] || fail "version 1: exit code $INSTALLER_STATUS"
check_installed "$v1" "$v1/files.ver" "$base"
kill "$SESSIOND_PID"

fresh() { rm -rf "$SCRATCH/install"; cp -a "$base" "$SCRATCH/install"; }
# bytes the session log shows sent for NAME (sum of its chunk lengths)
session_bytes() { sed -n "s/.*\"data.$1\" offset=[0-9]* [a-z]* chunk=\([0-9]*\).*/\1/p" "$2" |
  awk '{ s += $1 } END { print s + 0 }'; }

# ---- over the session ----
fresh
start_sessiond_as two 0 "$v2"
PELLINOR_LOG="$SCRATCH/session.log" run_installer "$SCRATCH/Pellinor.exe" \
  "host=127.0.0.1:$SESSION_PORT" "dir=$(wpath "$SCRATCH/install")" quiet
[ "$INSTALLER_STATUS" -eq 0 ] || fail "session update: exit code $INSTALLER_STATUS"
check_installed "$v2" "$v2/files.ver" "$SCRATCH/install"
hostlog="$SCRATCH/sessiond-two.log"
big_sent=$(session_bytes big.dat "$hostlog")
copy_sent=$(session_bytes copy.dat "$hostlog")
[ "$big_sent" -gt 0 ] && [ "$big_sent" -lt $((big / 10)) ] ||
  fail "session: $big_sent bytes of big.dat ($big) were sent"
[ "$copy_sent" -lt 200000 ] || fail "session: $copy_sent bytes of copy.dat were sent"
[ "$(session_bytes added.dat "$hostlog")" -eq 300000 ] || fail "session: added.dat not whole"
grep -q '"data.keep.dat"' "$hostlog" && fail "session: the unchanged file was asked for"
[ "$(session_bytes sub.moved.dat "$hostlog")" -eq 0 ] || fail "session: the moved file was fetched"
summary=$(tail -1 "$SCRATCH/session.log")
fetched=$(echo "$summary" | sed -n 's/.*fetched \([0-9]*\) of \([0-9]*\) bytes.*/\1 \2/p')
read -r f_bytes f_full <<<"$fetched"
[ -n "$fetched" ] && [ "$f_bytes" -lt $((f_full / 3)) ] || fail "session summary: $summary"
kill "$SESSIOND_PID"
pass "session: big.dat $big_sent of $big bytes, copy.dat $copy_sent; fetched $f_bytes of $f_full"

# ---- over a mirror ----
# mirror_run TAG [installer]: update a fresh copy of version 1 from the
# mirror (manifest and index beside the program); ACCESS holds its requests.
mirror_run() {
  local tag=$1 exe=${2:-$SCRATCH/Pellinor.exe} before
  fresh
  before=$(nginx_access_log "$mport" | wc -l)
  PELLINOR_LOG="$SCRATCH/$tag.log" run_installer "$exe" "dir=$(wpath "$SCRATCH/install")" \
    "web:http://127.0.0.1:$mport=2" quiet
  [ "$INSTALLER_STATUS" -eq 0 ] || fail "$tag: exit code $INSTALLER_STATUS"
  check_installed "$v2" "$v2/files.ver" "$SCRATCH/install"
  ACCESS=$(nginx_access_log "$mport" | tail -n +$((before + 1)) | sed -n 's/.*"GET \([^ ]*\) .*/\1/p')
}
whole_objects() { echo "$ACCESS" | grep -c "$1" || true; }
chunk_objects() { echo "$ACCESS" | grep -c '^/chunks/' || true; }
cp "$v2/files.ver" "$SCRATCH/Pellinor.ver"
cp "$v2/files.ver.idx" "$SCRATCH/Pellinor.ver.idx"
mirror_run mirror
asked=$(echo "$ACCESS" | sed -n 's|^/||p' | grep '^chunks/' | sort)
[ -n "$asked" ] || fail "mirror: no chunk object was asked for"
[ -z "$(echo "$asked" | uniq -d)" ] || fail "mirror: a chunk object was asked for twice"
[ -z "$(comm -12 <(echo "$asked") "$SCRATCH/v1-chunks")" ] ||
  fail "mirror: a chunk version 1 already had was asked for"
[ "$(whole_objects big.dat)" -eq 0 ] && [ "$(whole_objects copy.dat)" -eq 0 ] ||
  fail "mirror: a whole object was asked for a file with chunks: $ACCESS"
[ "$(whole_objects added.dat)" -eq 1 ] || fail "mirror: added.dat not fetched whole"
[ "$(whole_objects moved.dat)" -eq 0 ] || fail "mirror: the moved file was fetched whole"
pass "mirror: $(echo "$asked" | wc -l) chunk objects, all new to version 2"

# ---- fallbacks ----
rm "$SCRATCH/Pellinor.ver.idx"
mirror_run noindex
[ "$(chunk_objects)" -eq 0 ] && [ "$(whole_objects big.dat)" -eq 1 ] || fail "no index: $ACCESS"

cp "$SCRATCH/v1.idx" "$SCRATCH/Pellinor.ver.idx"
mirror_run otherindex
[ "$(chunk_objects)" -eq 0 ] && [ "$(whole_objects big.dat)" -eq 1 ] ||
  fail "index of another files.ver: $ACCESS"

cp "$v2/files.ver.idx" "$SCRATCH/Pellinor.ver.idx"
victim=$(echo "$asked" | head -1)
cp "$mirror/$victim" "$SCRATCH/victim"
printf 'x\234\313H\315\311\311\007\000\006,\002\025' >"$mirror/$victim"  # "hello", not the chunk
mirror_run corrupt
cp "$SCRATCH/victim" "$mirror/$victim"
echo "$ACCESS" | grep -q "^/$victim\$" || fail "corrupt chunk: $victim not asked for"
[ $(($(whole_objects big.dat) + $(whole_objects copy.dat))) -eq 1 ] ||
  fail "corrupt chunk: not exactly one whole object instead: $ACCESS"

# A keyed installer takes a signed index only.
"$PUBLISH" --sign="$KEY" "$v2" >/dev/null || fail "signing version 2 failed"
[ -s "$v2/files.ver.idx.sig" ] || fail "no index signature written"
cp "$v2/files.ver" "$SCRATCH/Pellinor-testkey.ver"
cp "$v2/files.ver.sig" "$SCRATCH/Pellinor-testkey.ver.sig"
cp "$v2/files.ver.idx" "$SCRATCH/Pellinor-testkey.ver.idx"
cp "$KEYED" "$SCRATCH/Pellinor-testkey.exe"
mirror_run unsigned "$SCRATCH/Pellinor-testkey.exe"
[ "$(chunk_objects)" -eq 0 ] && [ "$(whole_objects big.dat)" -eq 1 ] ||
  fail "keyed installer took an unsigned index: $ACCESS"
cp "$v2/files.ver.idx.sig" "$SCRATCH/Pellinor-testkey.ver.idx.sig"
mirror_run signed "$SCRATCH/Pellinor-testkey.exe"
[ "$(chunk_objects)" -gt 0 ] && [ "$(whole_objects big.dat)" -eq 0 ] ||
  fail "keyed installer refused a signed index: $ACCESS"
pass "fallbacks: no index, another files.ver's index, a corrupted chunk, an unsigned index"
