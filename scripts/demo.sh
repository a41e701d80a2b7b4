#!/usr/bin/env bash
# Builds the installer and runs a demonstration install on this machine:
# Pellinor.exe under Wine, drawing on a virtual X display, into a scratch
# install folder. Everything it starts is ended by PID before it returns.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/build.sh" || exit 1

build="$root/build/win"
out="$root/build/demo"
rm -rf "$out" && mkdir -p "$out"
export PELLINOR_BUILD="$build"
. "$root/tests/e2e/lib.sh"
trap 'cleanup; WINEPREFIX="$build/wineprefix-x11" timeout 30 wineserver -w' EXIT

start_xvfb
export PELLINOR_WINE_DISPLAY=x11
export PELLINOR_LOG="$out/pellinor.log"
cp "$PELLINOR_EXE" "$out/Pellinor.exe"
target='C:\PellinorDemo\Client'
rm -rf "$(unixpath 'C:\')/PellinorDemo"

echo "== running Pellinor.exe dir=$target"
"$WINE_RUN" "$out/Pellinor.exe" "dir=$target" &
app=$!
track "$app"
if xid=$(xdotool search --sync --onlyvisible --name "Brevane Downloader" 2>/dev/null | head -1) && [ -n "$xid" ]; then
  import -window "$xid" "$out/window.png" 2>/dev/null && echo "screenshot: $out/window.png"
fi
wait_exit "$app" 120 || { echo "installer did not finish"; exit 1; }
echo "exit code: $WAITED_STATUS"
echo "== install folder"
ls -la "$(unixpath "$target")" 2>/dev/null || echo "(not created)"
echo "== diagnostic log ($PELLINOR_LOG)"
cat "$PELLINOR_LOG" 2>/dev/null
