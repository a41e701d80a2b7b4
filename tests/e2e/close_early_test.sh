#!/usr/bin/env bash
# The user closes the window while the job waits in a session receive: the
# shutdown closes the socket, the job meets its abort check, and the process
# ends at once with exit code 0.
. "$(dirname "$0")/lib.sh"

port=$(free_port)
# Reads requests and never answers the manifest request (hangs up after 60 s).
python3 - "$port" "$SCRATCH/requests" <<'PY' &
import socket, sys, time
s = socket.socket(); s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind(("127.0.0.1", int(sys.argv[1]))); s.listen(4)
open(sys.argv[2] + ".ready", "w").close()
c, _ = s.accept(); c.settimeout(60)
log = open(sys.argv[2], "a", buffering=1)
try:
    while True:
        data = c.recv(4096)
        if not data: break
        log.write(repr(data) + "\n")
except OSError:
    pass
PY
track $!
for _ in $(seq 100); do [ -e "$SCRATCH/requests.ready" ] && break; sleep 0.1; done

cp "$PELLINOR_EXE" "$SCRATCH/Pellinor.exe"
PELLINOR_LOG="$SCRATCH/pellinor.log" "$WINE_RUN" "$SCRATCH/Pellinor.exe" "host=127.0.0.1:$port" \
  "dir=$(wpath "$SCRATCH/install")" >/dev/null 2>&1 &
app=$!
track "$app"

for _ in $(seq 100); do grep -q "files.ver;0;262144" "$SCRATCH/requests" 2>/dev/null && break; sleep 0.1; done
grep -q "files.ver;0;262144" "$SCRATCH/requests" || fail "the job never asked for the manifest"
"$WINE_RUN" "$HELPERS/winprobe.exe" close "Brevane Downloader" || fail "no window to close"
wait_exit "$app" 15 || fail "the installer did not end after the window was closed"
[ "$WAITED_STATUS" -eq 0 ] || fail "exit code $WAITED_STATUS"
pass "closed during a blocked receive: exit code 0"
