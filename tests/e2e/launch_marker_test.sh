#!/usr/bin/env bash
# The hosted preset's launch line holds the marker "link" until the desktop
# shortcut replaces it. When no shortcut was made, the marker must never be
# handed to the shell, which could run a "link" program of the current
# folder. A link.bat beside the installer (its current folder) records any
# start: it never runs when the install fails, nor when the user closes the
# window before the end.
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/install_checks.sh"
keep_prefix_shortcuts
export PELLINOR_LOG="$SCRATCH/pellinor.log"
hosted=$(unixpath 'C:\ProgramData')/Brevane/Azure
clean_hosted() { rm -rf "$hosted"; rmdir "$(dirname "$hosted")" 2>/dev/null; true; }
trap 'clean_hosted; remove_new_shortcuts; cleanup' EXIT
clean_hosted

here="$SCRATCH/setup"
mkdir -p "$here"
cp "$PELLINOR_EXE" "$here/azureEN-x.exe"
ran="$SCRATCH/link-ran.txt"
printf '@echo ran>"%s"\r\n' "$(wpath "$ran")" >"$here/link.bat"

# start_in_folder: the installer started from its own folder, as a user
# double-clicking it would; sets APP.
start_in_folder() {
  (cd "$here" && exec "$WINE_RUN" "$here/azureEN-x.exe" >>"$SCRATCH/installer.out" 2>&1) &
  APP=$!
  track "$APP"
}
# link_never_ran WHAT: gives a started link.bat time to write, then checks.
link_never_ran() {
  sleep 2
  [ ! -e "$ran" ] || fail "$1: link.bat beside the installer was run"
}

# 1. The install fails: the manifest server is down.
(exec 3<>/dev/tcp/127.0.0.1/28080) 2>/dev/null && fail "something already listens on 127.0.0.1:28080"
start_in_folder
"$WINE_RUN" "$HELPERS/winprobe.exe" box 60000 >"$SCRATCH/box.txt" || fail "failed install: no box"
"$WINE_RUN" "$HELPERS/winprobe.exe" ok || fail "could not press OK"
wait_exit "$APP" 30 || fail "failed install: the installer did not end"
[ "$WAITED_STATUS" -eq "$(win_status 1603)" ] || fail "failed install: exit code $WAITED_STATUS"
grep -q 'LaunchLine "link"' "$PELLINOR_LOG" || fail "the preset did not set the marker: $(grep LaunchLine "$PELLINOR_LOG")"
link_never_ran "failed install"
pass "failed install: exit code 1603, link.bat not run"
clean_hosted

# 2. The user closes the window while the manifest server holds the request.
python3 - "$SCRATCH/held.ready" <<'PY' &
import socket, sys, time
s = socket.socket(); s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind(("127.0.0.1", 28080)); s.listen(4)
open(sys.argv[1], "w").close()
held = []
end = time.time() + 60
s.settimeout(1)
while time.time() < end:
    try: held.append(s.accept()[0])
    except OSError: pass
PY
track $!
for _ in $(seq 100); do [ -e "$SCRATCH/held.ready" ] && break; sleep 0.1; done
: >"$PELLINOR_LOG"
start_in_folder
"$WINE_RUN" "$HELPERS/winprobe.exe" wait "Brevane Downloader" 30000 >/dev/null || fail "no window"
for _ in $(seq 100); do grep -q 'job:\|manifest:' "$PELLINOR_LOG" 2>/dev/null && break; sleep 0.1; done
sleep 0.5
"$WINE_RUN" "$HELPERS/winprobe.exe" close "Brevane Downloader" || fail "no window to close"
wait_exit "$APP" 30 || fail "closed early: the installer did not end"
[ "$WAITED_STATUS" -eq "$(win_status 1602)" ] || fail "closed early: exit code $WAITED_STATUS"
link_never_ran "closed early"
pass "closed early: exit code 1602, link.bat not run"
