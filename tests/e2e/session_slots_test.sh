#!/usr/bin/env bash
# One address holding every session slot with sockets that send the version
# notice, as installers do, and then say nothing: at the packaged cap of 256
# and at the cap the host derives from a descriptor limit of 1024 (about 990),
# with 1,100 such sockets, a hundred of them arriving while the install runs.
# Each time a real installer installs the whole release over the session:
# exit 0, every file byte-identical, and idlers were closed to make room.
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/install_checks.sh"
[ -x "$SESSIOND" ] || fail "no session host at $SESSIOND"
cp "$PELLINOR_EXE" "$SCRATCH/Pellinor.exe"
release="$SCRATCH/release"
make_release "$release"
"$PUBLISH" "$release" >/dev/null || fail "brevane-publish failed"

# start_idlers TAG PORT BEFORE DURING: BEFORE sockets from 127.0.0.1 connect
# and send "#UPDVER" each, then "held" is written to $SCRATCH/TAG.state; DURING
# more follow, one per 50 ms. When $SCRATCH/TAG.stop appears, the count of
# sockets the host has closed goes to $SCRATCH/TAG.closed.
start_idlers() {
  python3 - "$SCRATCH/$1" "$2" "$3" "$4" <<'PY' &
import os, select, socket, sys, time
base, port, before, during = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])
notice = b"\x0b\x00\x00\x00#UPDVER"
held = []
def one():
    s = socket.create_connection(("127.0.0.1", port))
    s.sendall(notice)
    held.append(s)
for _ in range(before):
    one()
open(base + ".state", "w").write("held\n")
for _ in range(during):
    time.sleep(0.05)
    one()
while not os.path.exists(base + ".stop"):
    time.sleep(0.1)
# The host closes an idler after the newcomer that took its slot is in:
# let the last of those closes arrive before counting.
time.sleep(1)
closed = 0
for s in held:
    s.setblocking(False)
    try:
        closed += s.recv(1) == b""
    except BlockingIOError:
        pass
    except OSError:
        closed += 1
open(base + ".closed", "w").write("%d\n" % closed)
PY
  track $!
  for _ in $(seq 600); do [ -e "$SCRATCH/$1.state" ] && return 0; sleep 0.1; done
  fail "$1: the idlers did not connect"
}

# install_beside TAG PORT BEFORE DURING
install_beside() {
  local tag=$1 port=$2 before=$3 during=$4
  start_idlers "$tag" "$port" "$before" "$during"
  PELLINOR_LOG="$SCRATCH/$tag-pellinor.log" run_installer "$SCRATCH/Pellinor.exe" \
    "host=127.0.0.1:$port" "dir=$(wpath "$SCRATCH/$tag")"
  [ "$INSTALLER_STATUS" -eq 0 ] || fail "$tag: exit code $INSTALLER_STATUS"
  check_installed "$release" "$release/files.ver" "$SCRATCH/$tag"
  touch "$SCRATCH/$tag.stop"
  for _ in $(seq 100); do [ -s "$SCRATCH/$tag.closed" ] && break; sleep 0.1; done
  CLOSED=$(cat "$SCRATCH/$tag.closed" 2>/dev/null)
  [ -n "$CLOSED" ] && [ "$CLOSED" -ge 1 ] || fail "$tag: no idler was closed (${CLOSED:-none})"
}

# 1. The packaged unit's cap.
start_sessiond_as cap256 0 "$release" --quiet --max-connections=256
install_beside cap256 "$SESSION_PORT" 256 0
pass "256 notice idlers at a cap of 256: exit 0, $CHECKED_COUNT files identical, $CLOSED idlers closed"
kill "$SESSIOND_PID"

# 2. The cap the host derives from 1024 descriptors (1024 less 32 kept back
# and one per serving thread); 1,000 idlers before the install, 100 during.
out="$SCRATCH/derived.out"
prlimit --nofile=1024:1024 "$SESSIOND" --port=0 --threads=2 --log="$SCRATCH/derived.log" \
  "$release" >"$out" 2>&1 &
track $!
for _ in $(seq 100); do
  port=$(sed -n 's/^listening [0-9.]*:\([0-9]*\).*/\1/p' "$out")
  [ -n "$port" ] && break
  sleep 0.1
done
[ -n "$port" ] || { cat "$out" >&2; fail "brevane-sessiond with 1024 descriptors did not start"; }
install_beside derived "$port" 1000 100
# 1,100 idlers against 990 slots (the installer's own session may have gone
# before the last ones came).
[ "$CLOSED" -ge 110 ] || fail "derived: only $CLOSED idlers closed, so the cap was not reached"
pass "1,100 notice idlers at the derived cap of 990: exit 0, $CHECKED_COUNT files identical, $CLOSED idlers closed"

# 3. The idle bound reaches the installer's own session while its mirror
# phase runs (a mirror that answers every object with a 404 after 3 s; the
# host closes sessions idle for 1 s): it connects again and the session
# delivers every file.
mirrored="$SCRATCH/mirrored"
cp -a "$release" "$mirrored"
mport=$(free_port)
"$PUBLISH" --mirror="$SCRATCH/mirror" --site="http://127.0.0.1:$mport/=15" "$mirrored" \
  >/dev/null || fail "brevane-publish --mirror failed"
python3 - "$mport" <<'PY' >/dev/null 2>&1 &
import http.server, sys, time
class Slow404(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        time.sleep(3)
        self.send_response(404)
        self.send_header("Content-Length", "0")
        self.end_headers()
    def log_message(self, *args):
        pass
http.server.ThreadingHTTPServer(("127.0.0.1", int(sys.argv[1])), Slow404).serve_forever()
PY
track $!
wait_port "$mport" 10 || fail "slow mirror did not start"
start_sessiond_as idle 0 "$mirrored" --idle-timeout=1
PELLINOR_LOG="$SCRATCH/idle-pellinor.log" run_installer "$SCRATCH/Pellinor.exe" \
  "host=127.0.0.1:$SESSION_PORT" "dir=$(wpath "$SCRATCH/idle")"
[ "$INSTALLER_STATUS" -eq 0 ] || fail "idle: exit code $INSTALLER_STATUS"
check_installed "$mirrored" "$mirrored/files.ver" "$SCRATCH/idle"
notices=$(grep -c '#UPDVER notice' "$SCRATCH/sessiond-idle.log")
[ "$notices" -ge 2 ] || fail "idle: $notices session(s); the idle session was not replaced"
pass "a session closed by the idle bound during the mirror phase: reconnected ($notices sessions), exit 0, $CHECKED_COUNT files identical"
