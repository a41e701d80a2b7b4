#!/usr/bin/env bash
# Where the manifest comes from, with the real installer under Wine:
#  - a .ver file beside the program wins over the session's files.ver;
#  - the hosted preset (file name azureEN-x.exe) reads it over HTTP from a
#    real nginx, keeps the top-level and EN\ entries and drops every other
#    folder (DE\, bin\, data\), and installs from the mirror nginx serves;
#  - with that HTTP server down, or answering files.ver with its HTML 404
#    page, there is no manifest (the hosted preset never connects a session
#    to ask): the run fails, says so in one box, makes no shortcut, no link
#    list and no copy of itself, and ends with exit code 1603;
#  - a .ver beside the program that exists but cannot be read fails the run
#    without asking the session;
#  - a file line whose hash is malformed (uppercase, short) is a file that
#    could not be fetched: the rest installs, exit code 1603.
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/install_checks.sh"
keep_prefix_shortcuts
export PELLINOR_LOG="$SCRATCH/pellinor.log"

requested() { sed -n 's/^[^"]*"\([^"]*\)" offset=.*/\1/p' "$SCRATCH/sessiond.log"; }

release="$SCRATCH/release"
make_release "$release"
"$PUBLISH" "$release" >/dev/null || fail "brevane-publish failed"
start_sessiond "$release"

# 1. The manifest beside the program: Pellinor.exe reads Pellinor.ver.
beside="$SCRATCH/beside"
mkdir -p "$beside"
cp "$PELLINOR_EXE" "$beside/Pellinor.exe"
{
  printf '[CLIENT]\r\n'
  grep -E '^(bin\\odd\.dll|one\.bin|EN\\help\.txt)=' "$release/files.ver"
  printf '[SERVERONLY]\r\n'
  grep -E '^data\\text\.dat=' "$release/files.ver"
} >"$beside/Pellinor.ver"
install="$SCRATCH/install-beside"
run_installer "$beside/Pellinor.exe" "host=127.0.0.1:$SESSION_PORT" "dir=$(wpath "$install")"
[ "$INSTALLER_STATUS" -eq 0 ] || fail "exit code $INSTALLER_STATUS"
requested | grep -qx 'files.ver' && fail "the session was asked for files.ver although Pellinor.ver exists"
check_installed "$release" - "$install" < <(manifest_entries "$beside/Pellinor.ver")
[ "$CHECKED_COUNT" -eq 3 ] || fail "checked $CHECKED_COUNT of 3 files"
installed=$(cd "$install" && find . -type f ! -name Pellinor.exe ! -name linkfiles | sort | tr '\n' ' ')
[ "$installed" = "./EN/help.txt ./bin/odd.dll ./one.bin " ] || fail "installed more than listed: $installed"
pass "Pellinor.ver beside the program: its 3 [CLIENT] files installed, nothing else"

# 1b. A Pellinor.ver that exists but cannot be read (here a folder of that
# name): the run fails, and files.ver is not asked of the session instead.
unreadable="$SCRATCH/unreadable"
mkdir -p "$unreadable/Pellinor.ver"
cp "$PELLINOR_EXE" "$unreadable/Pellinor.exe"
asked=$(requested | grep -cx 'files.ver')
install="$SCRATCH/install-unreadable"
run_installer "$unreadable/Pellinor.exe" "host=127.0.0.1:$SESSION_PORT" "dir=$(wpath "$install")" quiet
[ "$INSTALLER_STATUS" -eq "$(win_status 1603)" ] || fail "unreadable .ver: exit code $INSTALLER_STATUS"
[ "$(requested | grep -cx 'files.ver')" -eq "$asked" ] || fail "unreadable .ver: the session was asked for files.ver"
[ -z "$(find "$install" -type f 2>/dev/null)" ] || fail "unreadable .ver: files installed: $(find "$install" -type f)"
pass "unreadable Pellinor.ver: exit code 1603, session not asked, nothing installed"

# 1c. Malformed hashes (uppercase, one digit short): those files are not
# fetched and the run fails; every other listed file installs.
malformed="$SCRATCH/malformed"
mkdir -p "$malformed"
cp "$PELLINOR_EXE" "$malformed/Pellinor.exe"
{
  printf '[CLIENT]\r\n'
  grep -E '^(bin\\odd\.dll|one\.bin)=' "$release/files.ver"
  grep -E '^EN\\help\.txt=' "$release/files.ver" | sed 's/,\([0-9a-f]\{64\}\)\r$/,\U\1\r/'
  grep -E '^data\\text\.dat=' "$release/files.ver" | sed 's/.\r$/\r/'
} >"$malformed/Pellinor.ver"
grep -q 'help.txt=.*,[0-9A-F]\{64\}'$'\r' "$malformed/Pellinor.ver" || fail "no uppercase hash made"
install="$SCRATCH/install-malformed"
run_installer "$malformed/Pellinor.exe" "host=127.0.0.1:$SESSION_PORT" "dir=$(wpath "$install")" quiet
[ "$INSTALLER_STATUS" -eq "$(win_status 1603)" ] || fail "malformed hashes: exit code $INSTALLER_STATUS"
check_installed "$release" - "$install" < <(manifest_entries "$malformed/Pellinor.ver" | grep -E '^(bin/odd.dll|one.bin) ')
[ "$CHECKED_COUNT" -eq 2 ] || fail "malformed hashes: checked $CHECKED_COUNT of 2 files"
[ ! -e "$install/EN/help.txt" ] && [ ! -e "$install/data/text.dat" ] ||
  fail "a file with a malformed hash was installed"
pass "malformed hashes: the other 2 files installed, those 2 not, exit code 1603"

# The hosted preset installs below the prefix's all-users application data.
hosted=$(unixpath 'C:\ProgramData')/Brevane/Azure
clean_hosted() { rm -rf "$hosted"; rmdir "$(dirname "$hosted")" 2>/dev/null; true; }
trap 'cp "$PELLINOR_LOG" "$ARTIFACTS/manifest-pellinor.log" 2>/dev/null; clean_hosted; remove_new_shortcuts; cleanup' EXIT
clean_hosted
cp "$PELLINOR_EXE" "$SCRATCH/azureEN-x.exe"

# 2. Hosted manifest server down. Nothing may answer on its fixed port.
(exec 3<>/dev/tcp/127.0.0.1/28080) 2>/dev/null && fail "something already listens on 127.0.0.1:28080"
: >"$PELLINOR_LOG"
"$WINE_RUN" "$SCRATCH/azureEN-x.exe" >>"$SCRATCH/installer.out" 2>&1 &
app=$!
track "$app"
"$WINE_RUN" "$HELPERS/winprobe.exe" box 60000 >"$SCRATCH/box.txt" || fail "no box with the manifest server down"
"$WINE_RUN" "$HELPERS/winprobe.exe" ok || fail "could not press OK"
wait_exit "$app" 30 || fail "the installer did not end after OK"
[ "$WAITED_STATUS" -eq "$(win_status 1603)" ] || fail "exit code $WAITED_STATUS with the manifest server down"
grep -q "text=Installation failed: no file list from any source." "$SCRATCH/box.txt" ||
  fail "box reads $(cat "$SCRATCH/box.txt")"
grep -qF "Details: $PELLINOR_LOG" "$SCRATCH/box.txt" ||
  fail "the box does not say where the log is: $(cat "$SCRATCH/box.txt")"
grep -q 'manifest: source http://127.0.0.1:28080/install/files.ver gave 0 bytes' "$PELLINOR_LOG" ||
  fail "no failed HTTP read logged: $(grep manifest: "$PELLINOR_LOG")"
grep -q 'manifest: no session open' "$PELLINOR_LOG" || fail "session fallback not logged"
grep -q 'run: outcome 1603 (installation failed); 0 files installed.*first failure: no file list' \
  "$PELLINOR_LOG" || fail "no summary line: $(tail -1 "$PELLINOR_LOG")"
[ -z "$(cd "$hosted" && find . -type f)" ] || fail "files appeared without a manifest: $(cd "$hosted" && find . -type f)"
[ ! -e "$COMMON_DESKTOP/Brevane on Azure.lnk" ] || fail "a desktop shortcut was made without a client"
[ ! -e "$COMMON_MENU/Brevane/Brevane on Azure.lnk" ] || fail "a start-menu shortcut was made without a client"
pass "manifest server down: box, no shortcuts, no linkfiles, no self-copy, exit code 1603"
clean_hosted

# 2b. The manifest server answers files.ver with its HTML 404 page: no list,
# the same failure.
web="$SCRATCH/web"
mkdir -p "$web/install"
start_nginx "$web" 28080
: >"$PELLINOR_LOG"
"$WINE_RUN" "$SCRATCH/azureEN-x.exe" >>"$SCRATCH/installer.out" 2>&1 &
app=$!
track "$app"
"$WINE_RUN" "$HELPERS/winprobe.exe" box 60000 >"$SCRATCH/box.txt" || fail "no box for a 404 files.ver"
"$WINE_RUN" "$HELPERS/winprobe.exe" ok || fail "could not press OK"
wait_exit "$app" 30 || fail "the installer did not end after OK"
[ "$WAITED_STATUS" -eq "$(win_status 1603)" ] || fail "exit code $WAITED_STATUS for a 404 files.ver"
nginx_access_log 28080 | grep -q '"GET /install/files.ver HTTP/1.1" 404 ' ||
  fail "nginx did not answer 404: $(nginx_access_log 28080)"
[ -z "$(cd "$hosted" && find . -type f)" ] || fail "404 files.ver: files appeared: $(cd "$hosted" && find . -type f)"
[ ! -e "$COMMON_DESKTOP/Brevane on Azure.lnk" ] && [ ! -e "$COMMON_MENU/Brevane/Brevane on Azure.lnk" ] &&
  [ ! -e "$COMMON_MENU/Brevane/Uninstall Brevane on Azure.lnk" ] || fail "404 files.ver: shortcuts made"
pass "404 page as files.ver: box, no shortcuts, no linkfiles, no self-copy, exit code 1603"
clean_hosted

# 3. Hosted manifest over HTTP from nginx, files from the mirror it serves.
"$PUBLISH" --out="$web/install" --mirror="$web/mirror" --site=http://127.0.0.1:28080/mirror=2 \
  "$release" >/dev/null || fail "brevane-publish --mirror failed"
chmod -R a+rX "$web"
: >"$PELLINOR_LOG"
run_installer "$SCRATCH/azureEN-x.exe"
[ "$INSTALLER_STATUS" -eq 0 ] || fail "hosted install exit code $INSTALLER_STATUS"
nginx_access_log 28080 | grep -q '"GET /install/files.ver HTTP/1.1" 200 .*"BREVANE"' ||
  fail "nginx did not serve files.ver to BREVANE: $(nginx_access_log 28080 | head -3)"
nginx_access_log 28080 | grep -q 'GET /mirror/.*\(DE_help\|bin_odd\)' &&
  fail "a file of another language or folder was fetched"
check_installed "$release" - "$hosted" < <(manifest_entries "$web/install/files.ver" | grep -E '^(EN/|[^/]*$)')
[ "$CHECKED_COUNT" -eq 3 ] || fail "checked $CHECKED_COUNT of 3 files"
installed=$(cd "$hosted" && find . -type f ! -name Pellinor.exe ! -name linkfiles | sort | tr '\n' ' ')
[ "$installed" = "./EN/help.txt ./empty.txt ./one.bin " ] || fail "installed: $installed"
nginx_access_log 28080 | grep -q 'GET /mirror/1081037455_13_EN_help.txt' ||
  fail "EN\\help.txt did not come from the mirror"
pass "hosted preset: manifest over HTTP; EN\\ and top level kept, other folders dropped; 3 files from the mirror"
