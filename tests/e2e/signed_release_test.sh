#!/usr/bin/env bash
# Signed releases with the test-key installer (built by the test suite with
# a key of its own) under Wine. The genuine release, signed by
# brevane-publish --sign, installs; every other manifest is refused before
# anything but files.ver and files.ver.sig is asked for, with exit 1603:
# unsigned, signed by another key, changed after signing (a size, a hash,
# an added line), older than the release installed (rollback), expired.
# Sources: the session, and the .ver file beside the program.
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/install_checks.sh"
export PELLINOR_LOG="$SCRATCH/pellinor.log"
trap 'cp "$PELLINOR_LOG" "$ARTIFACTS/signed-release-pellinor.log" 2>/dev/null; cleanup' EXIT

KEYED="$PELLINOR_BUILD/Pellinor-testkey.exe"
KEY="$PELLINOR_BUILD/test-release-key/release-private.pem"
[ -f "$KEYED" ] && [ -f "$KEY" ] || fail "no test-key installer or key in $PELLINOR_BUILD"
"$PUBLISH" keygen --out="$SCRATCH/other" >/dev/null || fail "keygen failed"

# sign_by_hand KEY MANIFEST SERIAL EXPIRES OUT: a files.ver.sig written with
# openssl alone (the publisher never writes a past expiry).
sign_by_hand() {
  local key=$1 manifest=$2 serial=$3 expires=$4 out=$5
  {
    printf 'format 1\nserial %s\n' "$serial"
    printf 'expires %s\n' "$expires"
    printf 'sha256 %s\n' "$(sha256sum <"$manifest" | cut -c1-64)"
  } >"$out.body"
  openssl dgst -sha256 -sign "$key" -out "$out.der" "$out.body" || fail "openssl dgst failed"
  local rs
  rs=$(openssl asn1parse -inform DER -in "$out.der" | awk -F: '/INTEGER/ {
    v = tolower($NF); while (length(v) > 64 && substr(v, 1, 2) == "00") v = substr(v, 3)
    while (length(v) < 64) v = "0" v; printf "%s", v }')
  [ ${#rs} -eq 128 ] || fail "signature by hand: $rs"
  { cat "$out.body"; printf 'signature %s\n' "$rs"; } >"$out"
  rm -f "$out.body" "$out.der"
}

mport=$(free_port)
release="$SCRATCH/release"
mirror="$SCRATCH/mirror"
make_release "$release"
chmod 755 "$SCRATCH"
publish() {  # publish OPTIONS...: into the release folder, a fresh signature
  rm -f "$release/files.ver.sig"
  "$PUBLISH" --mirror="$mirror" --site="http://127.0.0.1:$mport/=3" "$@" "$release" >/dev/null ||
    fail "brevane-publish $* failed"
}
# Each case is a folder the session host serves: the release's files
# (linked) with its own files.ver and files.ver.sig.
case_folder() {
  local dir="$SCRATCH/case-$1"
  cp -al "$release" "$dir"
  rm -f "$dir/files.ver" "$dir/files.ver.sig"
  printf '%s' "$dir"
}
publish --sign="$SCRATCH/other-private.pem" --serial=5
other=$(case_folder other); cp "$release/files.ver" "$release/files.ver.sig" "$other/"
publish --sign="$KEY" --serial=4
older=$(case_folder older); cp "$release/files.ver" "$release/files.ver.sig" "$older/"
publish --sign="$KEY" --serial=5 --expires=30
genuine=$(case_folder genuine); cp "$release/files.ver" "$release/files.ver.sig" "$genuine/"
grep -q '^serial 5$' "$genuine/files.ver.sig" && grep -q '^expires ' "$genuine/files.ver.sig" ||
  fail "the genuine signature: $(cat "$genuine/files.ver.sig")"

unsigned=$(case_folder unsigned); cp "$genuine/files.ver" "$unsigned/"
size=$(case_folder size); cp "$genuine/files.ver.sig" "$size/"
sed 's/^one\.bin=1,/one.bin=2,/' "$genuine/files.ver" >"$size/files.ver"
hash=$(case_folder hash); cp "$genuine/files.ver.sig" "$hash/"
python3 - "$genuine/files.ver" "$hash/files.ver" <<'PY'
import re, sys
text = open(sys.argv[1], "rb").read()
def flip(m):
    h = m.group(2)
    return m.group(1) + (b"0" if h[:1] != b"0" else b"1") + h[1:]
changed = re.sub(rb"^(EN\\help\.txt=[0-9]+,[0-9]+,)([0-9a-f]{64})", flip, text, count=1, flags=re.M)
assert changed != text
open(sys.argv[2], "wb").write(changed)
PY
added=$(case_folder added); cp "$genuine/files.ver.sig" "$added/"
python3 - "$genuine/files.ver" "$added/files.ver" <<'PY'
import sys
text = open(sys.argv[1], "rb").read()
line = b"extra.dll=1,1081037455," + b"ab" * 32 + b"\r\n"
changed = text.replace(b"[CLIENT]\r\n", b"[CLIENT]\r\n" + line, 1)
assert changed != text
open(sys.argv[2], "wb").write(changed)
PY
expired=$(case_folder expired); cp "$genuine/files.ver" "$expired/"
sign_by_hand "$KEY" "$genuine/files.ver" 6 2020-01-01T00:00:00Z "$expired/files.ver.sig"
# The same hand signature with an expiry to come: accepted, so the refusal
# above is the expiry's.
future=$(case_folder future); cp "$genuine/files.ver" "$future/"
sign_by_hand "$KEY" "$genuine/files.ver" 7 2099-01-01T00:00:00Z "$future/files.ver.sig"

chmod -R a+rX "$mirror"
start_nginx "$mirror" "$mport"
cp "$KEYED" "$SCRATCH/Pellinor.exe"

# run_case FOLDER INSTALL [ARGS...]: the installer against a session host
# serving FOLDER; sets INSTALLER_STATUS, ASKED (names asked of the session
# host) and MIRROR_REQUESTS (requests the mirror got).
run_case() {
  local folder=$1 install=$2; shift 2
  local before
  before=$(nginx_access_log "$mport" | wc -l)
  : >"$SCRATCH/sessiond.log"
  start_sessiond "$folder"
  run_installer "$SCRATCH/Pellinor.exe" "host=127.0.0.1:$SESSION_PORT" "dir=$(wpath "$install")" "$@"
  kill "$SESSIOND_PID"
  wait "$SESSIOND_PID" 2>/dev/null
  ASKED=$(sed -n 's/^[^"]*"\([^"]*\)" offset=.*/\1/p' "$SCRATCH/sessiond.log" | sort -u | tr '\n' ' ')
  MIRROR_REQUESTS=$(($(nginx_access_log "$mport" | wc -l) - before))
}

# refused CASE FOLDER INSTALL: refused before any download.
refused() {
  run_case "$2" "$3" quiet
  [ "$INSTALLER_STATUS" -eq "$(win_status 1603)" ] || fail "$1: exit code $INSTALLER_STATUS, expected 1603"
  [ "$ASKED" = "files.ver files.ver.sig " ] || fail "$1: the session host was asked for: $ASKED"
  [ "$MIRROR_REQUESTS" -eq 0 ] || fail "$1: the mirror got $MIRROR_REQUESTS requests"
}

# 1. The genuine release, from the mirror.
install="$SCRATCH/install"
run_case "$genuine" "$install"
[ "$INSTALLER_STATUS" -eq 0 ] || fail "genuine release: exit code $INSTALLER_STATUS"
check_installed "$release" "$genuine/files.ver" "$install"
[ "$MIRROR_REQUESTS" -gt 0 ] || fail "genuine release: nothing came from the mirror"
pass "the genuine signed release installed ($CHECKED_COUNT files, $MIRROR_REQUESTS from the mirror)"

# 2. Refusals, each into a fresh folder: nothing may arrive there.
for c in unsigned other size hash added expired; do
  fresh="$SCRATCH/fresh-$c"
  refused "$c" "${!c}" "$fresh"
  left=$(find "$fresh" -type f ! -path '*/Pellinor.staging/*' 2>/dev/null | wc -l)
  [ "$left" -eq 0 ] || fail "$c: $left files written to the folder"
done
pass "unsigned, other key, changed size, changed hash, added line, expired: refused before any download"

# 3. Rollback: serial 4 after serial 5 was installed; the installed files
# stay as they are. Serial 4 itself is sound: a fresh folder takes it.
touch -d '2001-01-01' "$install/one.bin"
refused rollback "$older" "$install"
[ "$(stat -c %Y "$install/one.bin")" = "$(date -d 2001-01-01 +%s)" ] || fail "rollback: one.bin was replaced"
run_case "$older" "$SCRATCH/fresh-older"
[ "$INSTALLER_STATUS" -eq 0 ] || fail "serial 4 into a fresh folder: exit code $INSTALLER_STATUS"
pass "serial 4 after serial 5: refused; the same release installs where nothing newer was accepted"

# 4. A signature made by hand with an expiry to come installs (serial 7),
# and from then on the genuine serial 5 is a rollback here too.
run_case "$future" "$install"
[ "$INSTALLER_STATUS" -eq 0 ] || fail "future expiry: exit code $INSTALLER_STATUS"
check_installed "$release" "$genuine/files.ver" "$install"
refused "serial 5 after 7" "$genuine" "$install"
pass "a later expiry installs; the serial it brought is remembered"

# 5. The .ver file beside the program with its .sig: genuine installs;
# without the .sig it is refused.
cp "$genuine/files.ver" "$SCRATCH/Pellinor.ver"
cp "$genuine/files.ver.sig" "$SCRATCH/Pellinor.ver.sig"
run_case "$genuine" "$SCRATCH/beside"
[ "$INSTALLER_STATUS" -eq 0 ] || fail "beside the program: exit code $INSTALLER_STATUS"
check_installed "$release" "$genuine/files.ver" "$SCRATCH/beside"
rm "$SCRATCH/Pellinor.ver.sig"
run_case "$genuine" "$SCRATCH/beside-unsigned" quiet
[ "$INSTALLER_STATUS" -eq "$(win_status 1603)" ] || fail "beside, unsigned: exit code $INSTALLER_STATUS"
[ "$MIRROR_REQUESTS" -eq 0 ] && [ -z "$ASKED" ] || fail "beside, unsigned: asked $ASKED, mirror $MIRROR_REQUESTS"
pass "the .ver beside the program: signed installs, unsigned refused"

# 6. The keyless product takes the unsigned release as before.
cp "$PELLINOR_EXE" "$SCRATCH/Pellinor.exe"
rm "$SCRATCH/Pellinor.ver"
run_case "$unsigned" "$SCRATCH/keyless"
[ "$INSTALLER_STATUS" -eq 0 ] || fail "keyless: exit code $INSTALLER_STATUS"
check_installed "$release" "$genuine/files.ver" "$SCRATCH/keyless"
pass "the keyless installer installs an unsigned release"
