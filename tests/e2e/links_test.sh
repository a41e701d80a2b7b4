#!/usr/bin/env bash
# Links planted in an installation never lead the installer into another
# folder. A victim folder (files and a sub-folder) lies outside the install;
# unix symbolic links, which Wine treats as junctions, point at it from
# Pellinor.staging, Pellinor.staging\old, a folder inside new\ and an install
# sub-folder. A re-run with nothing to do, an update and an uninstall, in a
# plain install and in the hosted preset's folder, leave the victim
# byte-identical every time, and never report success for work that would
# have had to go through a link.
#
# A link is removed as a link where the installer owns the folder. Wine
# cannot remove a unix link to a folder that is not empty as a link (it
# follows it and finds the target full), so there the run fails instead;
# on Windows the link goes and the run completes. Each step accepts either
# outcome, but only whole: exit 0 with the link gone and the update in, or
# exit 1603 with the client as it was.
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/install_checks.sh"
. "$(dirname "$0")/update_checks.sh"
. "$(dirname "$0")/shortcut_checks.sh"
keep_prefix_clean
trap 'cp "$SCRATCH/pellinor.log" "$ARTIFACTS/links.log" 2>/dev/null; remove_prefix_additions; cleanup' EXIT
export PELLINOR_LOG="$SCRATCH/pellinor.log"

victim="$SCRATCH/victim"
mkdir -p "$victim/sub"
echo "another program's settings" >"$victim/config.ini"
head -c 50000 /dev/urandom >"$victim/text.dat"
echo "kept" >"$victim/sub/keep.txt"
head -c 3000 /dev/urandom >"$victim/sub/random.dat"
# The victim as a listing of every entry with the checksum of each file.
victim_listing() {
  (cd "$victim" && find . -printf '%y %p\n' | sort && find . -type f -exec sha256sum {} + | sort)
}
victim_listing >"$SCRATCH/victim.before"
check_victim() {
  victim_listing | cmp -s - "$SCRATCH/victim.before" ||
    fail "$1: the victim folder changed: $(victim_listing | diff "$SCRATCH/victim.before" - | head -5)"
}

v1="$SCRATCH/v1"
v2="$SCRATCH/v2"
make_versions "$v1" "$v2" 1
"$PUBLISH" "$v1" >/dev/null || fail "brevane-publish v1 failed"
"$PUBLISH" "$v2" >/dev/null || fail "brevane-publish v2 failed"
cp "$PELLINOR_EXE" "$SCRATCH/Pellinor.exe"
install="$SCRATCH/install"
staging="$install/Pellinor.staging"

# run_on RELEASE ARGS...: a quiet session run on the install folder.
run_on() {
  local release=$1; shift
  start_sessiond "$release" --quiet
  run_wine 120 "$SCRATCH/Pellinor.exe" "host=127.0.0.1:$SESSION_PORT" "dir=$(wpath "$install")" quiet "$@"
  kill "$SESSIOND_PID"
  wait "$SESSIOND_PID" 2>/dev/null
}
# whole_update WHAT LINK: after an update run, either it completed (exit 0,
# the link gone, v2 installed) or it failed whole (1603, v1 installed).
whole_update() {
  if [ "$RUN_STATUS" -eq 0 ]; then
    [ ! -L "$2" ] || fail "$1: exit 0 with the link still in place"
    check_installed "$v2" "$v2/files.ver" "$install"
  else
    [ "$RUN_STATUS" -eq "$(win_status 1603)" ] || fail "$1: exit code $RUN_STATUS"
    check_installed "$v1" "$v1/files.ver" "$install"
  fi
  check_victim "$1"
  [ ! -e "$install/config.ini" ] && [ ! -e "$install/sub/keep.txt" ] ||
    fail "$1: the victim's files were moved into the install"
}
reset_install() { rm -rf "$install" && cp -a "$SCRATCH/installed-v1" "$install"; }

run_on "$v1" xco=ON
[ "$RUN_STATUS" -eq 0 ] || fail "v1 install exit code $RUN_STATUS"
cp -a "$install" "$SCRATCH/installed-v1"

# 1. Pellinor.staging a link, nothing to update: the clean-up must not
# empty the victim, and there is nothing to fail.
ln -s "$victim" "$staging"
run_on "$v1"
[ "$RUN_STATUS" -eq 0 ] || fail "staging link, nothing to do: exit code $RUN_STATUS"
check_victim "staging link, nothing to do"
check_installed "$v1" "$v1/files.ver" "$install"
pass "Pellinor.staging a link, a run with nothing to do: exit 0, victim untouched"

# 2. The same link during an update.
reset_install
ln -s "$victim" "$staging"
run_on "$v2"
whole_update "staging link, update" "$staging"
pass "Pellinor.staging a link during an update: victim untouched, exit $RUN_STATUS, set whole"

# 3. Pellinor.staging\old a link: nothing of the victim is taken for a file
# an earlier run set aside.
reset_install
mkdir -p "$staging"
ln -s "$victim" "$staging/old"
run_on "$v2"
whole_update "old link, update" "$staging/old"
pass "Pellinor.staging\\old a link during an update: victim untouched, exit $RUN_STATUS"

# 4. A folder inside new\ a link: staged files are never written through it,
# nor is anything in it taken as staged.
reset_install
mkdir -p "$staging/new"
ln -s "$victim" "$staging/new/data"
run_on "$v2"
whole_update "link in new, update" "$staging/new/data"
pass "a folder inside new\\ a link during an update: victim untouched, exit $RUN_STATUS"

# 5. An install sub-folder a link: the update would have to write through
# it, so it fails whole, the link left alone.
reset_install
rm -rf "$install/data"
ln -s "$victim" "$install/data"
run_on "$v2"
[ "$RUN_STATUS" -eq "$(win_status 1603)" ] || fail "install sub-folder link: exit code $RUN_STATUS"
[ -L "$install/data" ] || fail "the link in the install folder was not left alone"
check_victim "install sub-folder link, update"
check_installed "$v1" - "$install" < <(manifest_entries "$v1/files.ver" | grep -v '^data/')
pass "an install sub-folder a link: exit 1603, link left alone, victim and client untouched"

# 6. The uninstall with links at Pellinor.staging and in the install folder.
ln -s "$victim" "$staging.tmp" && rm -rf "$staging" && mv "$staging.tmp" "$staging"
run_wine 60 "$SCRATCH/Pellinor.exe" "uninstall:$(wpath "$install")"
check_victim "uninstall"
if [ "$RUN_STATUS" -eq 0 ]; then
  [ ! -L "$staging" ] || fail "uninstall: exit 0 with the staging link left"
else
  [ "$RUN_STATUS" -eq "$(win_status 1603)" ] || fail "uninstall: exit code $RUN_STATUS"
fi
[ ! -e "$install/linkfiles" ] || fail "uninstall: the installation's own files stay"
pass "uninstall through links: victim untouched, exit $RUN_STATUS"

# 7. The hosted preset: its folder is the one Users may write. An install,
# a link at Pellinor.staging and at a sub-folder, a re-run with nothing to
# do, an update and the uninstall.
www="$SCRATCH/www"
client1="$SCRATCH/client1"
client2="$SCRATCH/client2"
make_client_release "$client1"
mkdir -p "$client1/data" && echo "data 1" >"$client1/data/text.dat"
touch -d '2012-03-15 10:20:30 UTC' "$client1/data/text.dat"
cp -a "$client1" "$client2"
head -c 70000 /dev/urandom >"$client2/client.dll"
echo "data 2" >"$client2/data/text.dat"
touch -d '2014-07-01 09:00:00 UTC' "$client2/client.dll" "$client2/data/text.dat"
publish_hosted() {
  rm -rf "$www" && mkdir -p "$www/install"
  "$PUBLISH" --out="$www/install" --site="http://127.0.0.1:28080/mirror=2" --mirror="$www/mirror" \
    "$1" >/dev/null || fail "brevane-publish of $1 failed"
  chmod -R a+rX "$www"
}
publish_hosted "$client1"
chmod 755 "$SCRATCH"
start_nginx "$www" 28080
# The port is fixed by the test deployment: another server there would leave
# the installer waiting on a failure box.
curl -sf "http://127.0.0.1:28080/install/files.ver" | cmp -s - "$www/install/files.ver" ||
  fail "port 28080 does not serve this test's release (in use by another server?)"
hosted=$(prefix_path 'C:\ProgramData\Brevane\Azure')
[ ! -e "$hosted" ] || fail "the hosted folder exists before the test"
cp "$PELLINOR_EXE" "$SCRATCH/azureEN-x.exe"
export LUMARIS_OUT
LUMARIS_OUT=$(wpath "$SCRATCH/lumaris.out")
run_wine 120 "$SCRATCH/azureEN-x.exe"
[ "$RUN_STATUS" -eq 0 ] || fail "hosted install exit code $RUN_STATUS"
check_installed "$client1" "$client1/files.ver" "$hosted"

ln -s "$victim" "$hosted/Pellinor.staging"
run_wine 120 "$SCRATCH/azureEN-x.exe"
[ "$RUN_STATUS" -eq 0 ] || fail "hosted, staging link, nothing to do: exit code $RUN_STATUS"
check_victim "hosted, staging link, nothing to do"

rm -rf "$hosted/data"
ln -s "$victim" "$hosted/data"
publish_hosted "$client2"
# Not quiet: the failure box is pressed away as a user would.
"$WINE_RUN" "$SCRATCH/azureEN-x.exe" >>"$SCRATCH/wine.out" 2>&1 &
app=$!
track "$app"
"$WINE_RUN" "$HELPERS/winprobe.exe" box 120000 >/dev/null || fail "hosted update: no failure box"
"$WINE_RUN" "$HELPERS/winprobe.exe" ok || fail "could not press OK"
wait_exit "$app" 60 || fail "the hosted update did not end"
[ "$WAITED_STATUS" -eq "$(win_status 1603)" ] || fail "hosted, data link, update: exit code $WAITED_STATUS"
check_victim "hosted update"
cmp -s "$hosted/client.dll" "$client1/client.dll" || fail "hosted update: client.dll is no longer old"

run_wine 60 "$SCRATCH/azureEN-x.exe" "uninstall:C:\\ProgramData\\Brevane\\Azure"
check_victim "hosted uninstall"
[ "$RUN_STATUS" -eq 0 ] || [ "$RUN_STATUS" -eq "$(win_status 1603)" ] ||
  fail "hosted uninstall: exit code $RUN_STATUS"
[ ! -e "$hosted/client.dll" ] || fail "hosted uninstall: the client's files stay"
pass "hosted preset: links at Pellinor.staging and data\\ never followed, victim untouched"
rm -rf "$hosted"
