#!/usr/bin/env bash
# Installs over the session alone: the manifest and every file come from
# brevane-sessiond. The [CLIENT] files arrive byte-identical with their
# stamps, the [SERVERONLY] file does not, and a second run finds everything
# up to date and asks for nothing but the manifest. Then a manifest of 1100
# files (more lines than the line list's first allocation) installs whole.
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/install_checks.sh"
keep_prefix_shortcuts
export PELLINOR_LOG="$SCRATCH/pellinor.log"
cp "$PELLINOR_EXE" "$SCRATCH/Pellinor.exe"

# Requests in the sessiond log, one line each: the quoted name.
requested() { sed -n 's/^[^"]*"\([^"]*\)" offset=.*/\1/p' "$SCRATCH/sessiond.log"; }

# 1. The sample release, one file of it kept for the server.
release="$SCRATCH/release"
make_release "$release"
mkdir -p "$release/server"
echo "server only" >"$release/server/secret.cfg"
"$PUBLISH" --serveronly=server "$release" >/dev/null || fail "brevane-publish failed"
start_sessiond "$release"

install="$SCRATCH/install"
run_installer "$SCRATCH/Pellinor.exe" "host=127.0.0.1:$SESSION_PORT" "dir=$(wpath "$install")" xco=ON
[ "$INSTALLER_STATUS" -eq 0 ] || fail "first run exit code $INSTALLER_STATUS"
check_installed "$release" "$release/files.ver" "$install"
[ "$CHECKED_COUNT" -eq 8 ] || fail "expected 8 [CLIENT] files, checked $CHECKED_COUNT"
[ ! -e "$install/server" ] || fail "the [SERVERONLY] file was installed"
requested | grep -q '^server\\secret.cfg$' && fail "the [SERVERONLY] file was requested"
grep -q 'manifest: source session files.ver gave' "$PELLINOR_LOG" ||
  fail "the manifest did not come from the session: $(grep manifest: "$PELLINOR_LOG")"
pass "session install: 8 files identical with their stamps, server-only file left out"

# Second run: nothing is out of date, so only the manifest is asked for.
before=$(requested | wc -l)
: >"$PELLINOR_LOG"
run_installer "$SCRATCH/Pellinor.exe" "host=127.0.0.1:$SESSION_PORT" "dir=$(wpath "$install")" xco=ON
[ "$INSTALLER_STATUS" -eq 0 ] || fail "second run exit code $INSTALLER_STATUS"
again=$(requested | tail -n +$((before + 1)))
[ "$again" = "files.ver" ] || fail "second run requested more than files.ver: $(echo $again)"
grep -q 'manifest: nothing to download (8 entries up to date)' "$PELLINOR_LOG" ||
  fail "second run log does not say nothing to download: $(grep manifest: "$PELLINOR_LOG")"
pass "second run: nothing to download, only files.ver requested"

# 5. 1100 tiny files in two folders: every one is listed and installed.
many="$SCRATCH/many"
mkdir -p "$many/a" "$many/b"
for i in $(seq 1 1100); do
  printf 'file %d\n' "$i" >"$many/$([ $((i % 2)) -eq 0 ] && echo a || echo b)/f$i.txt"
done
find "$many" -type f -exec touch -d '2013-05-01 08:00:00 UTC' {} +
"$PUBLISH" "$many" >/dev/null || fail "brevane-publish of 1100 files failed"
[ "$(manifest_entries "$many/files.ver" | wc -l)" -eq 1100 ] || fail "manifest does not list 1100 files"
kill "$SESSIOND_PID"
start_sessiond "$many" --quiet
install2="$SCRATCH/install-many"
: >"$PELLINOR_LOG"
run_installer "$SCRATCH/Pellinor.exe" "host=127.0.0.1:$SESSION_PORT" "dir=$(wpath "$install2")"
[ "$INSTALLER_STATUS" -eq 0 ] || fail "1100-file run exit code $INSTALLER_STATUS"
grep -q 'manifest: 1100 files to download' "$PELLINOR_LOG" ||
  fail "not all 1100 files listed: $(grep 'files to download' "$PELLINOR_LOG")"
check_installed "$many" "$many/files.ver" "$install2"
[ "$CHECKED_COUNT" -eq 1100 ] || fail "checked $CHECKED_COUNT of 1100 files"
pass "1100-line manifest: all 1100 files installed"
