#!/usr/bin/env bash
# Faults during an update never touch the installed client and never pass
# for success: a session host that lacks a listed file, a mirror that serves
# a cut object, and a file the update cannot replace (held open without
# sharing by another program) each leave the installed files as they were
# (or, for the held file, that file), end with exit code 1603, and say what
# failed in the box (unless quiet) and the log's summary line. The next run,
# once the fault is gone, fetches only what was not staged complete.
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/install_checks.sh"
. "$(dirname "$0")/update_checks.sh"
trap 'cp "$SCRATCH"/run*.log "$ARTIFACTS/" 2>/dev/null; cleanup' EXIT

v1="$SCRATCH/v1"
v2="$SCRATCH/v2"
make_versions "$v1" "$v2"
mport=$(free_port)
"$PUBLISH" "$v1" >/dev/null || fail "brevane-publish v1 failed"
"$PUBLISH" --mirror="$SCRATCH/mirror" --site="http://127.0.0.1:$mport/=2" "$v2" >/dev/null ||
  fail "brevane-publish v2 failed"
cp "$PELLINOR_EXE" "$SCRATCH/Pellinor.exe"
install="$SCRATCH/install"
run=0
start_run() {
  run=$((run + 1))
  RUN_LOG="$SCRATCH/run$run.log"
  PELLINOR_LOG="$RUN_LOG" "$WINE_RUN" "$SCRATCH/Pellinor.exe" "$@" "dir=$(wpath "$install")" \
    >>"$SCRATCH/installer.out" 2>&1 &
  APP=$!
  track "$APP"
}
finish_run() {
  wait_exit "$APP" 120 || fail "run $run did not finish"
  RUN_STATUS=$WAITED_STATUS
}
session_requests_since() { tail -n +"$(($1 + 1))" "$SCRATCH/sessiond.log" |
  sed -n 's/^[^"]*"\([^"]*\)" offset=.*/\1/p' | tr '\\' /; }
lines() { wc -l <"$1" 2>/dev/null || echo 0; }

start_sessiond "$v1" --quiet
start_run "host=127.0.0.1:$SESSION_PORT" quiet
finish_run
[ "$RUN_STATUS" -eq 0 ] || fail "v1 install exit code $RUN_STATUS"
cp -a "$install" "$SCRATCH/installed-v1"
kill "$SESSIOND_PID"

# 1. The host lacks one listed file: a box names the count and the log.
mv "$v2/data/big2.dat" "$SCRATCH/big2.dat"
: >"$SCRATCH/sessiond.log"
start_sessiond "$v2"
start_run "host=127.0.0.1:$SESSION_PORT"
"$WINE_RUN" "$HELPERS/winprobe.exe" box 120000 >"$SCRATCH/box.txt" || fail "lacking host: no box"
"$WINE_RUN" "$HELPERS/winprobe.exe" ok || fail "could not press OK"
finish_run
[ "$RUN_STATUS" -eq "$(win_status 1603)" ] || fail "lacking host: exit code $RUN_STATUS"
grep -q "text=Installation failed: 1 file could not be downloaded." "$SCRATCH/box.txt" ||
  fail "lacking host: box reads $(cat "$SCRATCH/box.txt")"
grep -qF "Details: $RUN_LOG" "$SCRATCH/box.txt" || fail "the box does not say where the log is"
tail -1 "$RUN_LOG" | grep -q 'run: outcome 1603 (installation failed); 0 files installed.*1 not fetched.*first failure: data\\big2.dat: the host sent fewer bytes than listed' ||
  fail "lacking host: summary line: $(tail -1 "$RUN_LOG")"
check_installed "$v1" "$v1/files.ver" "$install"
pass "host lacks a file: installed client untouched, box and log say so, exit code 1603"

# The file is back: only it is fetched, the rest comes from the staging place.
mv "$SCRATCH/big2.dat" "$v2/data/big2.dat"
mark=$(lines "$SCRATCH/sessiond.log")
start_run "host=127.0.0.1:$SESSION_PORT" quiet
finish_run
[ "$RUN_STATUS" -eq 0 ] || fail "after the lacking host: exit code $RUN_STATUS"
# (files.ver.idx: the release's chunk index, read beside the manifest.)
[ "$(session_requests_since "$mark" | sort -u | tr '\n' ' ')" = "data/big2.dat files.ver files.ver.idx " ] ||
  fail "after the lacking host, fetched: $(session_requests_since "$mark" | sort -u | tr '\n' ' ')"
check_installed "$v2" "$v2/files.ver" "$install"
tail -1 "$RUN_LOG" | grep -q 'run: outcome 0 (success); 11 files installed' ||
  fail "summary after the lacking host: $(tail -1 "$RUN_LOG")"
pass "the next run fetched only the lacking file and completed with exit code 0"

# 2. A mirror serves one object cut short and no session is there: quiet,
# so no box; the exit code and the log alone tell.
rm -rf "$install" && cp -a "$SCRATCH/installed-v1" "$install"
cp "$v2/files.ver" "$SCRATCH/Pellinor.ver"
stamp=$(manifest_entries "$v2/files.ver" | awk '$1 == "data/text.dat" { print $3 "_" $2 }')
object=$(find "$SCRATCH/mirror" -name "${stamp}_data_text.dat" | head -1)
[ -n "$object" ] || fail "no mirror object for data/text.dat"
size=$(stat -c %s "$object")
for o in $(find "$SCRATCH/mirror" -name "${stamp}_data_text.dat"); do truncate -s $((size / 2)) "$o"; done
start_nginx "$SCRATCH/mirror" "$mport"
start_run quiet
finish_run
[ "$RUN_STATUS" -eq "$(win_status 1603)" ] || fail "cut mirror object: exit code $RUN_STATUS"
check_installed "$v1" "$v1/files.ver" "$install"
tail -1 "$RUN_LOG" | grep -q 'run: outcome 1603.*1 not fetched' || fail "cut object: summary $(tail -1 "$RUN_LOG")"
grep -q 'commit: not fetched: data\\text.dat' "$RUN_LOG" || fail "the log does not name the file"
rm -f "$SCRATCH/Pellinor.ver"
pass "mirror serves a cut object: installed client untouched, exit code 1603, no box (quiet)"

# 3. An installed file held open without sharing by another program: the
# commit cannot replace it, so it replaces nothing; the client stays old.
rm -rf "$install" && cp -a "$SCRATCH/installed-v1" "$install"
"$WINE_RUN" "$HELPERS/holdfile.exe" "$(wpath "$install/bin/odd.dll")" 120000 >"$SCRATCH/hold.out" 2>&1 &
holder=$!
track "$holder"
for _ in $(seq 100); do grep -q held "$SCRATCH/hold.out" && break; sleep 0.1; done
grep -q held "$SCRATCH/hold.out" || fail "the holder could not open the file: $(cat "$SCRATCH/hold.out")"
start_run "host=127.0.0.1:$SESSION_PORT" quiet
finish_run
[ "$RUN_STATUS" -eq "$(win_status 1603)" ] || fail "held file: exit code $RUN_STATUS"
cmp -s "$install/bin/odd.dll" "$v1/bin/odd.dll" || fail "the held file was changed"
# The set is replaced whole or not at all: version.txt and every other file
# are still old.
check_installed "$v1" "$v1/files.ver" "$install"
tail -1 "$RUN_LOG" | grep -q 'run: outcome 1603.*1 not replaced' || fail "held file: summary $(tail -1 "$RUN_LOG")"
kill "$holder"
wait_exit "$holder" 10
mark=$(lines "$SCRATCH/sessiond.log")
start_run "host=127.0.0.1:$SESSION_PORT" quiet
finish_run
[ "$RUN_STATUS" -eq 0 ] || fail "after the held file: exit code $RUN_STATUS"
extra=$(session_requests_since "$mark" | grep -vx 'files.ver\|files.ver.idx')
[ -z "$extra" ] || fail "after the held file, fetched again: $(echo $extra)"
check_installed "$v2" "$v2/files.ver" "$install"
[ ! -e "$install/Pellinor.staging" ] || fail "the staging folder stays after a complete update"
pass "held file: the whole client stays old, exit code 1603; released, the next run completes without fetching"
