#!/usr/bin/env bash
# An update of an installed client killed (SIGKILL, as a power cut would
# end it) at many instants: while files come over the session, while they
# come from mirrors, and inside the commit. After every kill each file of
# the client is byte for byte its old or its new version; the next run goes
# on without fetching again what was staged complete, and the last run
# completes the update with exit code 0 and leaves no staging folder.
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/install_checks.sh"
. "$(dirname "$0")/update_checks.sh"
trap 'cp "$SCRATCH"/run*.log "$ARTIFACTS/" 2>/dev/null; cleanup' EXIT

v1="$SCRATCH/v1"
v2="$SCRATCH/v2"
make_versions "$v1" "$v2" 8
read -r mport < <(free_port)
"$PUBLISH" "$v1" >/dev/null || fail "brevane-publish v1 failed"
"$PUBLISH" --mirror="$SCRATCH/mirror" --site="http://127.0.0.1:$mport/=2" "$v2" >/dev/null ||
  fail "brevane-publish v2 failed"
cp "$PELLINOR_EXE" "$SCRATCH/Pellinor.exe"
install="$SCRATCH/install"
run=0

# start_run ARGS...: the installer in the background with a log of its own;
# sets APP and RUN_LOG.
start_run() {
  run=$((run + 1))
  RUN_LOG="$SCRATCH/run$run.log"
  PELLINOR_LOG="$RUN_LOG" "$WINE_RUN" "$SCRATCH/Pellinor.exe" "$@" "dir=$(wpath "$install")" quiet \
    >>"$SCRATCH/installer.out" 2>&1 &
  APP=$!
  track "$APP"
}
session_requests_since() { tail -n +"$(($1 + 1))" "$SCRATCH/sessiond.log" |
  sed -n 's/^[^"]*"\([^"]*\)" offset=.*/\1/p' | tr '\\' /; }
lines() { wc -l <"$1" 2>/dev/null || echo 0; }

# The installed client, version 1, over the session.
start_sessiond "$v1" --quiet
start_run "host=127.0.0.1:$SESSION_PORT"
wait_exit "$APP" 120 || fail "v1 install did not finish"
[ "$WAITED_STATUS" -eq 0 ] || fail "v1 install exit code $WAITED_STATUS"
check_installed "$v1" "$v1/files.ver" "$install"
cp -a "$install" "$SCRATCH/installed-v1"
kill "$SESSIOND_PID"
: >"$SCRATCH/sessiond.log"
start_sessiond "$v2"

# 1. Kills while files come over the session, after a growing number of
# chunk requests and a random instant within the next few.
kills=0
for step in 2 5 9 4 12 6 14 3; do
  mark=$(lines "$SCRATCH/sessiond.log")
  staged_before=$(staged_complete "$install" "$v2/files.ver")
  start_run "host=127.0.0.1:$SESSION_PORT"
  while kill -0 "$APP" 2>/dev/null &&
    [ "$(session_requests_since "$mark" | wc -l)" -lt "$step" ]; do sleep 0.02; done
  sleep "0.0$((RANDOM % 5))"
  kill -0 "$APP" 2>/dev/null || break
  kill_installer "$APP"
  kills=$((kills + 1))
  check_old_or_new "$install" "$v1" "$v2"
  again=$(comm -12 <(echo "$staged_before" | sort -u) <(session_requests_since "$mark" | sort -u) | grep .)
  [ -z "$again" ] || fail "session kill $kills: fetched again what was staged complete: $again"
done
[ "$kills" -ge 5 ] || fail "only $kills session downloads were killed before the update ended"
mark=$(lines "$SCRATCH/sessiond.log")
staged_before=$(staged_complete "$install" "$v2/files.ver")
start_run "host=127.0.0.1:$SESSION_PORT"
wait_exit "$APP" 120 || fail "the update after the session kills did not finish"
[ "$WAITED_STATUS" -eq 0 ] || fail "the update after the session kills: exit code $WAITED_STATUS"
again=$(comm -12 <(echo "$staged_before" | sort -u) <(session_requests_since "$mark" | sort -u) | grep .)
[ -z "$again" ] || fail "the completing run fetched again what was staged complete: $again"
check_installed "$v2" "$v2/files.ver" "$install"
[ ! -e "$install/Pellinor.staging" ] || fail "the staging folder stays after a complete update"
pass "session: $kills kills, every file old or new after each, nothing staged complete fetched twice, completed"

# 2. Kills while files come from two slow mirror workers (no session; the
# manifest beside the program lists the site).
rm -rf "$install" && cp -a "$SCRATCH/installed-v1" "$install"
cp "$v2/files.ver" "$SCRATCH/Pellinor.ver"
start_nginx "$SCRATCH/mirror" "$mport" 'limit_rate 1m;'
objects_since() { nginx_access_log "$mport" | tail -n +"$(($1 + 1))" |
  sed -n 's/.*"GET \/[0-9]*\/\([^ ]*\) HTTP.*/\1/p'; }
object_of() {  # name size stamp -> object name
  local name=${1//\//_}
  echo "${3}_${2}_$name"
}
kills=0
for delay in 0.9 1.3 1.0 1.6 1.1 1.4; do
  mark=$(nginx_access_log "$mport" | wc -l)
  staged_before=$(staged_complete "$install" "$v2/files.ver")
  start_run
  sleep "$delay"
  kill -0 "$APP" 2>/dev/null || break
  kill_installer "$APP"
  kills=$((kills + 1))
  check_old_or_new "$install" "$v1" "$v2"
  sleep 0.3  # nginx logs a request cut by the kill once it sees the close
  while read -r name size stamp; do
    echo "$staged_before" | grep -qxF "$name" || continue
    objects_since "$mark" | grep -qxF "$(object_of "$name" "$size" "$stamp")" &&
      fail "mirror kill $kills: fetched again what was staged complete: $name"
  done < <(manifest_entries "$v2/files.ver")
done
[ "$kills" -ge 4 ] || fail "only $kills mirror downloads were killed before the update ended"
staged_before=$(staged_complete "$install" "$v2/files.ver")
[ -n "$staged_before" ] || fail "no file was staged complete before the last mirror run"
mark=$(nginx_access_log "$mport" | wc -l)
start_run
wait_exit "$APP" 120 || fail "the update after the mirror kills did not finish"
[ "$WAITED_STATUS" -eq 0 ] || fail "the update after the mirror kills: exit code $WAITED_STATUS"
while read -r name size stamp; do
  echo "$staged_before" | grep -qxF "$name" || continue
  objects_since "$mark" | grep -qxF "$(object_of "$name" "$size" "$stamp")" &&
    fail "the completing mirror run fetched again what was staged complete: $name"
done < <(manifest_entries "$v2/files.ver")
check_installed "$v2" "$v2/files.ver" "$install"
[ ! -e "$install/Pellinor.staging" ] || fail "the staging folder stays after a complete update"
rm -f "$SCRATCH/Pellinor.ver"
pass "mirrors: $kills kills, every file old or new after each, nothing staged complete fetched twice, completed"

# 3. Kills inside the commit, which the test build slows to 300 ms a file.
rm -rf "$install" && cp -a "$SCRATCH/installed-v1" "$install"
cp "$PELLINOR_TEST_EXE" "$SCRATCH/Pellinor.exe"
export PELLINOR_TEST_COMMIT_PAUSE_MS=300
mixed=0
first=1
for delay in 0.45 0.75 1.05 0.5; do
  mark=$(lines "$SCRATCH/sessiond.log")
  start_run "host=127.0.0.1:$SESSION_PORT"
  for _ in $(seq 600); do grep -q 'commit: replacing' "$RUN_LOG" 2>/dev/null && break; sleep 0.05; done
  grep -q 'commit: replacing' "$RUN_LOG" || fail "the commit never began"
  sleep "$delay"
  kill -0 "$APP" 2>/dev/null || fail "the commit ended before the kill at $delay s"
  kill_installer "$APP"
  check_old_or_new "$install" "$v1" "$v2"
  [ "$OLD_COUNT" -gt 0 ] && [ "$NEW_COUNT" -gt 0 ] && mixed=$((mixed + 1))
  if [ "$first" -eq 0 ]; then
    # Everything was staged complete by the first run: only the manifest.
    extra=$(session_requests_since "$mark" | grep -vx 'files.ver')
    [ -z "$extra" ] || fail "a run after a cut commit fetched files again: $(echo $extra)"
  fi
  first=0
done
[ "$mixed" -ge 2 ] || fail "no kill landed between two files of the commit ($mixed)"
unset PELLINOR_TEST_COMMIT_PAUSE_MS
cp "$PELLINOR_EXE" "$SCRATCH/Pellinor.exe"
mark=$(lines "$SCRATCH/sessiond.log")
start_run "host=127.0.0.1:$SESSION_PORT"
wait_exit "$APP" 120 || fail "the update after the commit kills did not finish"
[ "$WAITED_STATUS" -eq 0 ] || fail "the update after the commit kills: exit code $WAITED_STATUS"
extra=$(session_requests_since "$mark" | grep -vx 'files.ver')
[ -z "$extra" ] || fail "the completing run fetched files again: $(echo $extra)"
check_installed "$v2" "$v2/files.ver" "$install"
[ ! -e "$install/Pellinor.staging" ] || fail "the staging folder stays after a complete update"
pass "commit: 4 kills, $mixed of them between files, each file old or new, completed without fetching again"
