#!/usr/bin/env bash
# Updating while the client runs: the stand-in client (installed as
# Lumaris.exe) is started from the install folder and keeps running while
# the update replaces it. The update completes with exit code 0, the new
# client is in place, and after the next run no old copy is left. Then an
# update killed between the two renames of the running client (the old file
# moved aside, the new one not yet in) is finished by the next run.
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/install_checks.sh"
trap 'cp "$PELLINOR_LOG" "$ARTIFACTS/update-running-client.log" 2>/dev/null; cleanup' EXIT

v1="$SCRATCH/v1"
v2="$SCRATCH/v2"
mkdir -p "$v1/bin" "$v2/bin"
cp "$HELPERS/lumaris.exe" "$v1/Lumaris.exe"
head -c 300000 /dev/urandom >"$v1/bin/lib.dll"
cp "$HELPERS/lumaris.exe" "$v2/Lumaris.exe"
head -c 4096 /dev/urandom >>"$v2/Lumaris.exe"  # still runs: bytes past the image
head -c 300000 /dev/urandom >"$v2/bin/lib.dll"
find "$v1" -type f -exec touch -d '2013-01-01 12:00:00 UTC' {} +
find "$v2" -type f -exec touch -d '2014-01-01 12:00:00 UTC' {} +
"$PUBLISH" "$v1" >/dev/null && "$PUBLISH" "$v2" >/dev/null || fail "brevane-publish failed"
cp "$PELLINOR_EXE" "$SCRATCH/Pellinor.exe"
install="$SCRATCH/install"
export PELLINOR_LOG="$SCRATCH/pellinor.log"

start_sessiond "$v1" --quiet
run_installer "$SCRATCH/Pellinor.exe" "host=127.0.0.1:$SESSION_PORT" "dir=$(wpath "$install")" quiet
[ "$INSTALLER_STATUS" -eq 0 ] || fail "v1 install exit code $INSTALLER_STATUS"
check_installed "$v1" "$v1/files.ver" "$install"
kill "$SESSIOND_PID"

# The client runs from the install folder for the whole update.
LUMARIS_OUT="$(wpath "$SCRATCH/lumaris.out")" LUMARIS_STAY_MS=60000 \
  "$WINE_RUN" "$install/Lumaris.exe" >/dev/null 2>&1 &
client=$!
track "$client"
for _ in $(seq 100); do [ -s "$SCRATCH/lumaris.out" ] && break; sleep 0.1; done
[ -s "$SCRATCH/lumaris.out" ] || fail "the client did not start"

start_sessiond "$v2" --quiet
: >"$PELLINOR_LOG"
run_installer "$SCRATCH/Pellinor.exe" "host=127.0.0.1:$SESSION_PORT" "dir=$(wpath "$install")" quiet
[ "$INSTALLER_STATUS" -eq 0 ] || fail "update while the client runs: exit code $INSTALLER_STATUS"
kill -0 "$client" 2>/dev/null || fail "the client ended during the update"
check_installed "$v2" "$v2/files.ver" "$install"
grep -c 'in use' "$PELLINOR_LOG" >/dev/null && echo "log: $(grep 'in use\|set aside' "$PELLINOR_LOG")"

kill "$client"
wait_exit "$client" 10
run_installer "$SCRATCH/Pellinor.exe" "host=127.0.0.1:$SESSION_PORT" "dir=$(wpath "$install")" quiet
[ "$INSTALLER_STATUS" -eq 0 ] || fail "the run after the update: exit code $INSTALLER_STATUS"
[ ! -e "$install/Pellinor.staging" ] || fail "an old copy stays: $(find "$install/Pellinor.staging")"
[ "$(find "$install" -type f | wc -l)" -eq 2 ] || fail "extra files: $(find "$install" -type f)"
pass "updated while the client ran: new client in place, exit code 0, no old copy after the next run"

# Version 3 while version 2 runs; the commit is slowed so that the kill
# lands between the two renames, when Lumaris.exe is briefly missing.
v3="$SCRATCH/v3"
mkdir -p "$v3/bin"
cp "$HELPERS/lumaris.exe" "$v3/Lumaris.exe"
head -c 8192 /dev/urandom >>"$v3/Lumaris.exe"
head -c 300000 /dev/urandom >"$v3/bin/lib.dll"
find "$v3" -type f -exec touch -d '2015-01-01 12:00:00 UTC' {} +
"$PUBLISH" "$v3" >/dev/null || fail "brevane-publish v3 failed"
: >"$SCRATCH/lumaris.out"
LUMARIS_OUT="$(wpath "$SCRATCH/lumaris.out")" LUMARIS_STAY_MS=60000 \
  "$WINE_RUN" "$install/Lumaris.exe" >/dev/null 2>&1 &
client=$!
track "$client"
for _ in $(seq 100); do [ -s "$SCRATCH/lumaris.out" ] && break; sleep 0.1; done
kill "$SESSIOND_PID"
start_sessiond "$v3" --quiet
mkdir -p "$SCRATCH/test-build" && cp "$PELLINOR_TEST_EXE" "$SCRATCH/test-build/Pellinor.exe"
PELLINOR_TEST_COMMIT_PAUSE_MS=3000 "$WINE_RUN" "$SCRATCH/test-build/Pellinor.exe" "host=127.0.0.1:$SESSION_PORT" \
  "dir=$(wpath "$install")" quiet >/dev/null 2>&1 &
app=$!
track "$app"
for _ in $(seq 600); do [ -e "$install/Lumaris.exe" ] || break; sleep 0.05; done
[ ! -e "$install/Lumaris.exe" ] || fail "the running client was never moved aside"
kill -9 "$app"
wait_exit "$app" 10 || fail "the installer did not end after SIGKILL"
[ ! -e "$install/Lumaris.exe" ] || fail "killed too late: the new client is already in"
cmp -s "$install/Pellinor.staging/old/Lumaris.exe" "$v2/Lumaris.exe" || fail "the old client is not in old\\"
cmp -s "$install/Pellinor.staging/new/Lumaris.exe" "$v3/Lumaris.exe" || fail "the new client is not staged"
cmp -s "$install/bin/lib.dll" "$v2/bin/lib.dll" || fail "bin/lib.dll changed before its turn"
: >"$PELLINOR_LOG"
run_installer "$SCRATCH/Pellinor.exe" "host=127.0.0.1:$SESSION_PORT" "dir=$(wpath "$install")" quiet
[ "$INSTALLER_STATUS" -eq 0 ] || fail "the run after the cut replacement: exit code $INSTALLER_STATUS"
grep -q 'finished the replacement an earlier run began' "$PELLINOR_LOG" || fail "no roll forward logged"
check_installed "$v3" "$v3/files.ver" "$install"
kill "$client"
wait_exit "$client" 10
run_installer "$SCRATCH/Pellinor.exe" "host=127.0.0.1:$SESSION_PORT" "dir=$(wpath "$install")" quiet
[ "$INSTALLER_STATUS" -eq 0 ] || fail "the last run: exit code $INSTALLER_STATUS"
[ ! -e "$install/Pellinor.staging" ] || fail "an old copy stays: $(find "$install/Pellinor.staging")"
pass "killed between the renames of the running client: the next run put the new one in, exit code 0"
