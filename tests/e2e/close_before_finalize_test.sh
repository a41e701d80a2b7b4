#!/usr/bin/env bash
# The user closes the window while the job waits for the manifest, with
# finalizing asked for (xco=ON): the closed socket fails the request, and
# the job must end there rather than go on to make shortcuts, the link list
# and a copy of the program for an installation the user abandoned.
. "$(dirname "$0")/lib.sh"
export PELLINOR_LOG="$SCRATCH/pellinor.log"
trap 'cp "$PELLINOR_LOG" "$ARTIFACTS/close-before-finalize-pellinor.log" 2>/dev/null; cleanup' EXIT

start_silent_host
port=$SILENT_PORT

cp "$PELLINOR_EXE" "$SCRATCH/Pellinor.exe"
install="$SCRATCH/install"
"$WINE_RUN" "$SCRATCH/Pellinor.exe" "host=127.0.0.1:$port" "dir=$(wpath "$install")" xco=ON \
  >/dev/null 2>&1 &
app=$!
track "$app"

for _ in $(seq 100); do grep -q "files.ver;0;262144" "$SCRATCH/requests" 2>/dev/null && break; sleep 0.1; done
grep -q "files.ver;0;262144" "$SCRATCH/requests" || fail "the job never asked for the manifest"
"$WINE_RUN" "$HELPERS/winprobe.exe" close "Brevane Downloader" || fail "no window to close"
wait_exit "$app" 15 || fail "the installer did not end after the window was closed"
[ "$WAITED_STATUS" -eq "$(win_status 1602)" ] || fail "exit code $WAITED_STATUS"
[ -e "$install/linkfiles" ] && fail "the job finalized after the close: linkfiles written"
[ -e "$install/Pellinor.exe" ] && fail "the job finalized after the close: program copied"
pass "closed while waiting for the manifest: nothing finalized, exit code 1602"
