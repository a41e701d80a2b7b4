#!/usr/bin/env bash
# Started without an install folder, the installer shows its 340 x 100
# window painted with "Initializing..."; closing it as a user would ends the
# process. Without a folder nothing could be installed: one box says so, and
# the exit code is 1603.
. "$(dirname "$0")/lib.sh"

start_xvfb
export PELLINOR_WINE_DISPLAY=x11
cp "$PELLINOR_EXE" "$SCRATCH/Pellinor.exe"
"$WINE_RUN" "$SCRATCH/Pellinor.exe" >"$SCRATCH/out.log" 2>&1 &
app=$!
track "$app"

"$WINE_RUN" "$HELPERS/winprobe.exe" wait "Brevane Downloader" 30000 >"$SCRATCH/probe.txt" \
  || fail "no window titled Brevane Downloader"
grep -q "class=CN width=340 height=100" "$SCRATCH/probe.txt" \
  || fail "window is not class CN 340x100: $(cat "$SCRATCH/probe.txt")"

# The X side: a mapped top-level window of that name.
xid=$(xdotool search --sync --onlyvisible --name "Brevane Downloader" 2>/dev/null | head -1)
[ -n "$xid" ] || fail "no visible X window named Brevane Downloader"
xwininfo -id "$xid" >"$SCRATCH/xwininfo.txt"

# The painted text: screenshot the window, enlarge it and read it back.
sleep 1
import -window "$xid" "$ARTIFACTS/gui_window.png" || fail "screenshot failed"
convert "$ARTIFACTS/gui_window.png" -resize 400% -colorspace Gray "$SCRATCH/big.png"
text=$(tesseract "$SCRATCH/big.png" - 2>/dev/null)
echo "OCR: $text"
echo "$text" | grep -qi "Initializing" || fail "window does not read Initializing...: '$text'"

"$WINE_RUN" "$HELPERS/winprobe.exe" close "Brevane Downloader" || fail "could not close"
"$WINE_RUN" "$HELPERS/winprobe.exe" box 20000 >"$SCRATCH/box.txt" || fail "no box after the close"
grep -q "text=Installation failed: no install folder." "$SCRATCH/box.txt" || fail "box reads $(cat "$SCRATCH/box.txt")"
"$WINE_RUN" "$HELPERS/winprobe.exe" ok || fail "could not press OK"
wait_exit "$app" 20 || fail "installer did not end after the window was closed"
[ "$WAITED_STATUS" -eq "$(win_status 1603)" ] || fail "exit code $WAITED_STATUS"
pass "window shown, painted, closed; no folder said in a box; exit code 1603 (screenshot: $ARTIFACTS/gui_window.png)"
