#!/usr/bin/env bash
# Every file's bytes against the SHA-256 its manifest line lists, with the
# keyless installer under Wine.
# 1. Site A serves valid objects of the right size with other bytes for two
#    files; site B lacks one of them: neither is installed from site A, one
#    comes from site B, the other over the session; exit 0.
# 2. An update in which every source (the only site and the session) serves
#    other bytes for one file: that file is not installed, no file of the
#    update replaces its installed copy, exit 1603.
# 3. A manifest without hashes (the earlier format) installs as before.
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/install_checks.sh"
export PELLINOR_LOG="$SCRATCH/pellinor.log"
trap 'cp "$PELLINOR_LOG" "$ARTIFACTS/content-verify-pellinor.log" 2>/dev/null; cleanup' EXIT

read -r pa pb < <(python3 -c 'import socket
held = [socket.socket() for _ in range(2)]
for s in held: s.bind(("127.0.0.1", 0))
print(" ".join(str(s.getsockname()[1]) for s in held))')

# object_path MIRROR NAME: the URL path of NAME's object (a\b -> a_b) in
# the month folder of its stamp, where the installer asks for it.
object_path() {
  local found
  found=$(cd "$1" && find . -mindepth 2 -type f -name "*_$(printf '%s' "$2" | tr '\\/' '__')" | head -1)
  [ -n "$found" ] || fail "no mirror object for $2"
  printf '%s' "${found#.}"
}

# start_fault PORT ROOT RULES LOG
start_fault() {
  python3 "$(dirname "$0")/fault_mirror.py" "$1" "$2" "$3" "$4" >"$4.out" 2>&1 &
  FAULT_PID=$!
  track "$FAULT_PID"
  wait_port "$1" 10 || fail "the fault server did not start"
}

# session_names: the names the session host was asked for, one a line.
session_names() { sed -n 's/^[^"]*"\([^"]*\)" offset=.*/\1/p' "$SCRATCH/sessiond.log" | sort -u; }

# ---- 1 ----
release="$SCRATCH/release"
mirror="$SCRATCH/mirror"
make_release "$release"
"$PUBLISH" --mirror="$mirror" --site="http://127.0.0.1:$pa/=2" --site="http://127.0.0.1:$pb/=2" \
  "$release" >/dev/null || fail "brevane-publish failed"
grep -q '^bin\\odd.dll=600000,[0-9]*,[0-9a-f]\{64\}'$'\r''$' "$release/files.ver" ||
  fail "the manifest carries no hash"
odd=$(object_path "$mirror" 'bin\odd.dll')
rnd=$(object_path "$mirror" 'data\sub\random.dat')
printf '%s other\n%s other\n' "$odd" "$rnd" >"$SCRATCH/rules-a.txt"
start_fault "$pa" "$mirror" "$SCRATCH/rules-a.txt" "$SCRATCH/site-a.log"
cp -a "$mirror" "$SCRATCH/site-b"
rm "$SCRATCH/site-b$odd"
chmod -R a+rX "$SCRATCH/site-b"
start_nginx "$SCRATCH/site-b" "$pb"
start_sessiond "$release"

cp "$PELLINOR_EXE" "$SCRATCH/Pellinor.exe"
cp "$release/files.ver" "$SCRATCH/Pellinor.ver"
install="$SCRATCH/install"
run_installer "$SCRATCH/Pellinor.exe" "host=127.0.0.1:$SESSION_PORT" "dir=$(wpath "$install")"
[ "$INSTALLER_STATUS" -eq 0 ] || fail "exit code $INSTALLER_STATUS"
check_installed "$release" "$release/files.ver" "$install"
grep -qx "$odd other" "$SCRATCH/site-a.log" || fail "site A was never asked for odd.dll"
[ "$(session_names)" = 'bin\odd.dll' ] || fail "over the session: $(session_names | tr '\n' ' ')"
pass "objects with other bytes of the right size were refused; odd.dll came over the session, random.dat from site B"

# ---- 2 ----
# The update changes three files; the session and the only site serve
# other bytes of the right size for bin\odd.dll.
kill "$SESSIOND_PID"
release2="$SCRATCH/release2"
mirror2="$SCRATCH/mirror2"
cp -a "$release" "$release2"
rm "$release2/files.ver"
head -c 600000 /dev/urandom >"$release2/bin/odd.dll"
echo "english help, second edition" >"$release2/EN/help.txt"
head -c 262144 /dev/urandom >"$release2/bin/exact.dll"
touch -d '2013-04-16 11:21:32 UTC' "$release2/bin/odd.dll" "$release2/EN/help.txt" "$release2/bin/exact.dll"
"$PUBLISH" --mirror="$mirror2" --site="http://127.0.0.1:$pa/=3" "$release2" >/dev/null ||
  fail "brevane-publish of the update failed"
odd2=$(object_path "$mirror2" 'bin\odd.dll')
[ "$odd2" != "$odd" ] || fail "the update did not make a new object"
printf '%s other\n' "$odd2" >"$SCRATCH/rules-a2.txt"
kill "$FAULT_PID"
for _ in $(seq 50); do (exec 3<>"/dev/tcp/127.0.0.1/$pa") 2>/dev/null || break; sleep 0.1; done
start_fault "$pa" "$mirror2" "$SCRATCH/rules-a2.txt" "$SCRATCH/site-a2.log"
served="$SCRATCH/served2"
cp -a "$release2" "$served"
python3 - "$served/bin/odd.dll" <<'PY'
import sys
p = sys.argv[1]
b = bytearray(open(p, "rb").read())
b[12345] ^= 0x80
open(p, "wb").write(bytes(b))
PY
touch -d '2013-04-16 11:21:32 UTC' "$served/bin/odd.dll"
: >"$SCRATCH/sessiond.log"
start_sessiond "$served"

mkdir -p "$SCRATCH/before"
cp -a "$install/." "$SCRATCH/before/"
cp "$release2/files.ver" "$SCRATCH/Pellinor.ver"
: >"$PELLINOR_LOG"
run_installer "$SCRATCH/Pellinor.exe" "host=127.0.0.1:$SESSION_PORT" "dir=$(wpath "$install")" quiet
[ "$INSTALLER_STATUS" -eq "$(win_status 1603)" ] || fail "exit code $INSTALLER_STATUS, expected 1603"
grep -qx "$odd2 other" "$SCRATCH/site-a2.log" || fail "site A was never asked for the new odd.dll"
session_names | grep -qx 'bin\\odd.dll' || fail "the session was never asked for odd.dll"
for name in bin/odd.dll EN/help.txt bin/exact.dll data/text.dat one.bin; do
  cmp -s "$SCRATCH/before/$name" "$install/$name" || fail "$name changed although the update failed"
  [ "$(stat -c %Y "$SCRATCH/before/$name")" = "$(stat -c %Y "$install/$name")" ] ||
    fail "$name got another time although the update failed"
done
pass "every source served other bytes for odd.dll: exit 1603, no installed file replaced"

# ---- 3 ----
# The earlier format: no hash on any line. Same release, a fresh folder.
kill "$SESSIOND_PID"
start_sessiond "$release"
python3 - "$release/files.ver" "$SCRATCH/Pellinor.ver" <<'PY'
import re, sys
text = open(sys.argv[1], "rb").read()
open(sys.argv[2], "wb").write(re.sub(rb"^([^=\r\n]*=[0-9]+,[0-9]+),[0-9a-f]{64}\r$", rb"\1\r", text, flags=re.M))
PY
! grep -q ',[0-9a-f]\{64\}' "$SCRATCH/Pellinor.ver" || fail "hashes left in the earlier-format manifest"
install3="$SCRATCH/install3"
run_installer "$SCRATCH/Pellinor.exe" "host=127.0.0.1:$SESSION_PORT" "dir=$(wpath "$install3")"
[ "$INSTALLER_STATUS" -eq 0 ] || fail "earlier format: exit code $INSTALLER_STATUS"
check_installed "$release" "$SCRATCH/Pellinor.ver" "$install3"
pass "a manifest without hashes installs as before ($CHECKED_COUNT files)"
