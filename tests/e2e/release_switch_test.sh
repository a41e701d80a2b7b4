#!/usr/bin/env bash
# The session host serves a release through a symbolic link that operators
# switch (publish into a new folder, then ln -sfn and mv -T). Switched while
# an installer is fetching, that installer's files all come from the release
# it started with; the next installer's files all come from the new one.
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/install_checks.sh"
keep_prefix_shortcuts
export PELLINOR_LOG="$SCRATCH/pellinor.log"
cp "$PELLINOR_EXE" "$SCRATCH/Pellinor.exe"

# Requests in the sessiond log that ask for a file other than the manifest.
file_requests() { grep -c '" offset=' "$SCRATCH/sessiond.log" 2>/dev/null | head -1; }

# Two releases with the same names: different bytes, different stamps. Big
# enough that the install is still fetching when the link is switched.
make_version() {
  local dir=$1 when=$2 i
  mkdir -p "$dir/bin" "$dir/data"
  for i in $(seq 1 24); do head -c 1048576 /dev/urandom >"$dir/data/part$i.dat"; done
  head -c 300000 /dev/urandom >"$dir/bin/app.dll"
  find "$dir" -type f -exec touch -d "$when" {} +
  "$PUBLISH" "$dir" >/dev/null || fail "brevane-publish $dir failed"
}
make_version "$SCRATCH/releases/old" '2012-03-15 10:20:30 UTC'
make_version "$SCRATCH/releases/new" '2013-04-16 11:22:32 UTC'
ln -s "$SCRATCH/releases/old" "$SCRATCH/current"
start_sessiond "$SCRATCH/current"

install="$SCRATCH/install"
"$WINE_RUN" "$SCRATCH/Pellinor.exe" "host=127.0.0.1:$SESSION_PORT" "dir=$(wpath "$install")" \
  >>"$SCRATCH/installer.out" 2>&1 &
installer=$!
track "$installer"
# Switch once the installer is fetching files (its manifest read).
for _ in $(seq 1200); do
  [ "$(file_requests)" -gt 1 ] && break
  kill -0 "$installer" 2>/dev/null || break
  sleep 0.05
done
before=$(file_requests)
ln -sfn "$SCRATCH/releases/new" "$SCRATCH/current.next"
mv -T "$SCRATCH/current.next" "$SCRATCH/current"
wait_exit "$installer" 120 || fail "installer did not finish in 120 s"
[ "$WAITED_STATUS" -eq 0 ] || fail "first install exit code $WAITED_STATUS"
after=$(file_requests)
[ "$after" -gt "$before" ] ||
  fail "the install asked for nothing after the switch ($before requests): nothing was tested"
check_installed "$SCRATCH/releases/old" "$SCRATCH/releases/old/files.ver" "$install"
[ "$CHECKED_COUNT" -eq 25 ] || fail "checked $CHECKED_COUNT of 25 files"
pass "switched after $before of $after requests: every file from the old release"

install2="$SCRATCH/install-next"
run_installer "$SCRATCH/Pellinor.exe" "host=127.0.0.1:$SESSION_PORT" "dir=$(wpath "$install2")"
[ "$INSTALLER_STATUS" -eq 0 ] || fail "second install exit code $INSTALLER_STATUS"
check_installed "$SCRATCH/releases/new" "$SCRATCH/releases/new/files.ver" "$install2"
[ "$CHECKED_COUNT" -eq 25 ] || fail "checked $CHECKED_COUNT of 25 files"
pass "the next installer: every file from the new release"
