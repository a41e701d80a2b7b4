#!/usr/bin/env bash
# The user closes the window while the job waits in a session receive: the
# shutdown closes the socket, the job meets its abort check, and the process
# ends at once with exit code 1602 (closed by the user before the end).
. "$(dirname "$0")/lib.sh"

start_silent_host
port=$SILENT_PORT

cp "$PELLINOR_EXE" "$SCRATCH/Pellinor.exe"
# Started through exitcode.exe, which prints the whole exit code.
PELLINOR_LOG="$SCRATCH/pellinor.log" "$WINE_RUN" "$HELPERS/exitcode.exe" "$(wpath "$SCRATCH/Pellinor.exe")" \
  "host=127.0.0.1:$port" "dir=$(wpath "$SCRATCH/install")" >"$SCRATCH/exit.txt" 2>&1 &
app=$!
track "$app"

for _ in $(seq 100); do grep -q "files.ver;0;262144" "$SCRATCH/requests" 2>/dev/null && break; sleep 0.1; done
grep -q "files.ver;0;262144" "$SCRATCH/requests" || fail "the job never asked for the manifest"
"$WINE_RUN" "$HELPERS/winprobe.exe" close "Brevane Downloader" || fail "no window to close"
wait_exit "$app" 15 || fail "the installer did not end after the window was closed"
grep -q '^exit=1602' "$SCRATCH/exit.txt" || fail "exit code: $(cat "$SCRATCH/exit.txt")"
pass "closed during a blocked receive: exit code 1602"
