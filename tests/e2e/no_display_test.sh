#!/usr/bin/env bash
# With no display the progress window cannot be created. The installer must
# still do its work and end by itself, rather than wait invisibly for a
# window message that nothing will ever send.
. "$(dirname "$0")/lib.sh"

export PELLINOR_WINE_DISPLAY=x11  # the drawing prefix, but no X server to draw on
unset DISPLAY
cp "$PELLINOR_EXE" "$SCRATCH/Pellinor.exe"
# A manifest that lists nothing: the run has its list and succeeds.
printf '[CLIENT]\r\n' >"$SCRATCH/Pellinor.ver"
PELLINOR_LOG="$SCRATCH/pellinor.log" "$WINE_RUN" "$SCRATCH/Pellinor.exe" \
  "dir=$(wpath "$SCRATCH/install")" >/dev/null 2>&1 &
app=$!
track "$app"
wait_exit "$app" 90 || fail "the installer did not end without a display"
[ "$WAITED_STATUS" -eq 0 ] || fail "exit code $WAITED_STATUS"
grep -q "no progress window" "$SCRATCH/pellinor.log" || fail "window unexpectedly created: $(cat "$SCRATCH/pellinor.log")"
grep -q "job: finished" "$SCRATCH/pellinor.log" || fail "the job did not run"
[ -d "$SCRATCH/install" ] || fail "install folder not created"
WINEPREFIX="$PELLINOR_BUILD/wineprefix-x11" timeout 30 wineserver -w
pass "no display: the job ran without a window and the program ended with exit code 0"
