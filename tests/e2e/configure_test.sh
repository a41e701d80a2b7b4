#!/usr/bin/env bash
# The real Pellinor.exe configured three ways (command line, stamped
# INSTDATA, file name) reaches the same settings; folder variables expand
# through Wine's environment; no install folder means no job; inputs far past
# every capacity are refused without harm. Observed through the opt-in log,
# the folders made, and the connections a loopback listener sees.
. "$(dirname "$0")/lib.sh"

# A session host stand-in that records connections, answers the manifest
# request with an empty reply and hangs up: the installer then has no
# manifest and ends, saying so in one box (a hang-up without the reply
# would be a lost connection, which the installer tries again).
port=$(free_port)
python3 - "$port" "$SCRATCH/connections" <<'PY' &
import socket, sys
s = socket.socket(); s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind(("127.0.0.1", int(sys.argv[1]))); s.listen(16); s.settimeout(120)
open(sys.argv[2] + ".ready", "w").close()
while True:
    try: c, _ = s.accept()
    except OSError: break
    open(sys.argv[2], "a").write("connection\n")
    c.settimeout(30)
    seen = b""
    try:
        while b"files.ver;0;262144" not in seen:
            data = c.recv(4096)
            if not data: break
            seen += data
        c.sendall(b"\x04\x00\x00\x00")
    except OSError:
        pass
    c.close()
PY
track $!
for _ in $(seq 100); do [ -e "$SCRATCH/connections.ready" ] && break; sleep 0.1; done

appdata=$(unixpath 'C:\users\root\AppData\Roaming')
target="$appdata/Brevane/127.0.0.1"
cleanup_prefix() {
  rm -rf "$target" "$(unixpath "$PROGRAM_FILES")/BrevaneConfigTest"
  local desk start
  desk=$(unixpath 'C:\users\Public\Desktop'); start=$(unixpath 'C:\ProgramData\Microsoft\Windows\Start Menu')
  rm -f "$desk/Acme.lnk" "$start/Brevane/Acme.lnk" "$start/Brevane/Uninstall Acme.lnk"
}
cleanup_prefix

# run NAME ARGS...: runs a copy named NAME, which finds no manifest: it must
# say so in a box (answered here) and end with exit code 1603. Leaves the
# log in $SCRATCH/NAME.log.
run() {
  local name=$1; shift
  PELLINOR_LOG="$SCRATCH/$name.log" "$WINE_RUN" "$SCRATCH/$name" "$@" >/dev/null 2>&1 &
  local pid=$!
  track "$pid"
  "$WINE_RUN" "$HELPERS/winprobe.exe" box 60000 >"$SCRATCH/box.txt" || fail "$name: no box"
  grep -q "text=Installation failed: no file list from any source." "$SCRATCH/box.txt" ||
    fail "$name: box reads $(cat "$SCRATCH/box.txt")"
  "$WINE_RUN" "$HELPERS/winprobe.exe" ok || fail "$name: could not press OK"
  wait_exit "$pid" 60 || fail "$name did not finish"
  [ "$WAITED_STATUS" -eq "$(win_status 1603)" ] || fail "$name exit code $WAITED_STATUS"
}
settings() { grep '^settings: ' "$SCRATCH/$1.log" | tr -d '\r' | sed 's/ SaasMode [01]//; s/ EmbeddedConfig [01]//'; }

# 1. Keywords on the command line.
cp "$PELLINOR_EXE" "$SCRATCH/Pellinor.exe"
run Pellinor.exe "host=127.0.0.1:$port" 'dir=%AppData%\Brevane\127.0.0.1' linkname=Acme xco=ON
grep -q "settings from command line" "$SCRATCH/Pellinor.exe.log" || fail "source not the command line"

# 2. The same keywords stamped into INSTDATA (the port is written one higher).
"$WINE_RUN" "$PELLINOR_BUILD/pellinor-stamp.exe" "$SCRATCH/Pellinor.exe" "$SCRATCH/Stamped.exe" \
  --text "host=127.0.0.1:$((port + 1))&dir=%AppData%\\Brevane\\127.0.0.1&linkname=Acme&xco=ON" >/dev/null \
  || fail "stamping failed"
run Stamped.exe
grep -q "settings from INSTDATA" "$SCRATCH/Stamped.exe.log" || fail "source not INSTDATA"

# 3. The file name: host, port, display name, tenant folder under %AppData%.
cp "$PELLINOR_EXE" "$SCRATCH/127.0.0.1-$port-Acme-x.exe"
run "127.0.0.1-$port-Acme-x.exe"
grep -q "settings from file name" "$SCRATCH/127.0.0.1-$port-Acme-x.exe.log" || fail "source not the file name"

diff <(settings Pellinor.exe) <(settings Stamped.exe) || fail "INSTDATA settings differ from the command line"
diff <(settings Pellinor.exe) <(settings "127.0.0.1-$port-Acme-x.exe") || fail "file-name settings differ"
settings Pellinor.exe | grep -q "HostName \"127.0.0.1\" Port $port InstallDir \"C:\\\\users\\\\root\\\\AppData\\\\Roaming\\\\Brevane\\\\127.0.0.1\\\\\"" \
  || fail "unexpected settings: $(settings Pellinor.exe)"
[ -d "$target" ] || fail "%AppData% folder was not created"
[ "$(wc -l <"$SCRATCH/connections")" -eq 3 ] || fail "expected 3 connections, saw $(wc -l <"$SCRATCH/connections")"
pass "three ways to the same settings; folder made; three connections"

# %ProgramFiles% as the program sees it (the (x86) one for a 32-bit program).
run Pellinor.exe 'dir=%ProgramFiles%\BrevaneConfigTest'
[ -d "$(unixpath "$PROGRAM_FILES")/BrevaneConfigTest" ] || fail "%ProgramFiles% folder was not created"
pass "%ProgramFiles% expanded"

# No install folder: the window shows, no job runs; closing ends the program.
no_folder() {
  PELLINOR_LOG="$SCRATCH/nofolder.log" "$WINE_RUN" "$SCRATCH/Pellinor.exe" "$@" >/dev/null 2>&1 &
  local pid=$!
  track "$pid"
  "$WINE_RUN" "$HELPERS/winprobe.exe" wait "Brevane Downloader" 30000 >/dev/null || fail "no window"
  "$WINE_RUN" "$HELPERS/winprobe.exe" close "Brevane Downloader"
  "$WINE_RUN" "$HELPERS/winprobe.exe" box 30000 >"$SCRATCH/box.txt" || fail "no box after the close"
  grep -q "text=Installation failed: no install folder." "$SCRATCH/box.txt" ||
    fail "box reads $(cat "$SCRATCH/box.txt")"
  "$WINE_RUN" "$HELPERS/winprobe.exe" ok || fail "could not press OK"
  wait_exit "$pid" 30 || fail "did not end after close"
  [ "$WAITED_STATUS" -eq "$(win_status 1603)" ] || fail "exit code $WAITED_STATUS"
}
no_folder linkname=Nobody
grep -q "no install folder; no job started" "$SCRATCH/nofolder.log" || fail "a job ran without a folder"
pass "no folder, no job"

# Far past every capacity: a 5000-character folder, host and name, and
# twenty arguments. A command line over 259 characters ends the run at once
# (it never waits at "Initializing..."), with exit code 1603: with the
# failure box, or silently when "quiet" stands among its keywords, even past
# the limit. Refused, never overrun; nothing is made.
long=$(head -c 5000 /dev/zero | tr '\0' 'A')
rm -f "$SCRATCH/nofolder.log"
PELLINOR_LOG="$SCRATCH/nofolder.log" "$WINE_RUN" "$SCRATCH/Pellinor.exe" "dir=C:\\$long" "host=$long" \
  "linkname=$long" $(seq -f 'arg%g' 1 20) >/dev/null 2>&1 &
pid=$!
track "$pid"
"$WINE_RUN" "$HELPERS/winprobe.exe" box 15000 >"$SCRATCH/box.txt" || fail "over-long command line: no box within 15 s"
grep -q "text=Installation failed: the command line is longer than 259 characters." "$SCRATCH/box.txt" ||
  fail "over-long command line: box reads $(cat "$SCRATCH/box.txt")"
"$WINE_RUN" "$HELPERS/winprobe.exe" ok || fail "could not press OK"
wait_exit "$pid" 15 || fail "over-long command line: did not end after OK"
[ "$WAITED_STATUS" -eq "$(win_status 1603)" ] || fail "over-long command line: exit code $WAITED_STATUS"
grep -qi "longer than 259" "$SCRATCH/nofolder.log" || fail "over-long input not reported in the log"
pass "5000-character inputs: the run ends at once with its box, exit code 1603"
never="$SCRATCH/never made"
for args in "quiet|dir=$(wpath "$never")\\$long" "dir=$(wpath "$never")\\$long|quiet"; do
  IFS='|' read -r first second <<<"$args"
  "$WINE_RUN" "$SCRATCH/Pellinor.exe" "$first" "$second" >/dev/null 2>&1 &
  pid=$!
  track "$pid"
  wait_exit "$pid" 15 || fail "over-long command line with quiet: still running after 15 s"
  [ "$WAITED_STATUS" -eq "$(win_status 1603)" ] || fail "over-long command line with quiet: exit code $WAITED_STATUS"
done
[ ! -e "$never" ] || fail "over-long command line: the folder was made"
pass "over-long command lines with quiet before or past the limit: no box, exit code 1603 at once"
cleanup_prefix
