#!/usr/bin/env bash
# Uninstall under Wine: started from the install folder as the uninstall
# shortcut starts it (the first run relaunches a temporary copy and ends at
# once), through the shortcut itself, on a folder under a path with blanks,
# on a folder that is already gone, on a folder with a sub-folder, with a
# link list that holds lines that are no shortcuts, from a folder that is
# no installation at all, with an update's staging place, and with a file
# that cannot be deleted.
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/shortcut_checks.sh"
keep_prefix_clean
export PELLINOR_LOG="$SCRATCH/pellinor.log"
cp "$PELLINOR_EXE" "$SCRATCH/Pellinor.exe"

release="$SCRATCH/release"
make_client_release "$release"
"$PUBLISH" "$release" >/dev/null || fail "brevane-publish failed"
start_sessiond "$release"

# install FOLDER NAME: a session install with shortcuts named NAME.
install() {
  run_wine 120 "$SCRATCH/Pellinor.exe" "host=127.0.0.1:$SESSION_PORT" "dir=$(wpath "$1")" xco=ON "linkname=$2"
  [ "$RUN_STATUS" -eq 0 ] || fail "install exit code $RUN_STATUS"
  [ -f "$1/linkfiles" ] && [ -f "$1/Pellinor.exe" ] && [ -f "$COMMON_DESKTOP/$2.lnk" ] ||
    fail "install into $1 incomplete"
}
# wait_gone PATH SECONDS
wait_gone() {
  for _ in $(seq $(($2 * 10))); do [ -e "$1" ] || return 0; sleep 0.1; done
  return 1
}
shortcuts_gone() {
  [ ! -e "$COMMON_DESKTOP/$1.lnk" ] && [ ! -e "$COMMON_MENU/Brevane/$1.lnk" ] &&
    [ ! -e "$COMMON_MENU/Brevane/Uninstall $1.lnk" ]
}

# 1. "Pellinor.exe uninstall" from the install folder, which lies under a
# path with blanks: the relaunched copy must get the whole folder.
folder="$SCRATCH/with blanks/Brevane Client"
name="E2E Uninstall One"
install "$folder" "$name"
: >"$PELLINOR_LOG"
(cd "$folder" && "$WINE_RUN" "$(wpath "$folder")\\Pellinor.exe" uninstall >>"$SCRATCH/wine.out" 2>&1) &
first=$!
track "$first"
wait_exit "$first" 30 || fail "the first uninstall run did not end"
[ "$WAITED_STATUS" -eq 0 ] || fail "first uninstall run exit code $WAITED_STATUS"
wait_gone "$folder" 30 || fail "install folder still there: $(ls -A "$folder"); $(grep uninstall: "$PELLINOR_LOG")"
shortcuts_gone "$name" || fail "shortcuts left after uninstall"
[ -d "$SCRATCH/with blanks" ] || fail "the parent folder was removed"
[ -d "$COMMON_MENU/Brevane" ] || fail "the start-menu folder is not the uninstall's to remove"
cmp -s "$SCRATCH/Pellinor.exe" "$TEMP_COPY" || fail "no temporary copy of the program"
grep -qF "\"uninstall:$(wpath "$folder")\"" "$PELLINOR_LOG" || fail "relaunch line: $(grep started "$PELLINOR_LOG")"
pass "uninstall from the folder (path with blanks): folder, files and shortcuts gone"

# 2. Through the uninstall shortcut, as a user would start it.
folder="$SCRATCH/second"
name="E2E Uninstall Two"
install "$folder" "$name"
: >"$PELLINOR_LOG"
run_wine 30 "$HELPERS/shelllink.exe" open "$COMMON_MENU_WIN\\Brevane\\Uninstall $name.lnk"
[ "$RUN_STATUS" -eq 0 ] || fail "the uninstall shortcut could not be opened: $(tail -3 "$SCRATCH/wine.out")"
wait_gone "$folder" 30 || fail "folder still there after the shortcut: $(grep uninstall: "$PELLINOR_LOG")"
shortcuts_gone "$name" || fail "shortcuts left after uninstall through the shortcut"
pass "uninstall through its shortcut"

# 3. A second uninstall of a folder that is gone deletes nothing.
: >"$PELLINOR_LOG"
run_wine 30 "$SCRATCH/Pellinor.exe" "uninstall:$(wpath "$folder")"
[ "$RUN_STATUS" -eq 0 ] || fail "uninstall of a gone folder exit code $RUN_STATUS"
grep -q "holds no linkfiles" "$PELLINOR_LOG" || fail "gone folder: $(cat "$PELLINOR_LOG")"
[ -d "$SCRATCH" ] && [ -f "$SCRATCH/Pellinor.exe" ] || fail "something outside was deleted"
pass "second uninstall of a gone folder: exit 0, nothing deleted"

# 4. Files in a sub-folder stay, and so do the sub-folder and the folder.
folder="$SCRATCH/nested"
mkdir -p "$folder/EN"
: >"$folder/linkfiles"
echo top >"$folder/top.dll"
echo help >"$folder/EN/help.txt"
run_wine 30 "$SCRATCH/Pellinor.exe" "uninstall:$(wpath "$folder")"
[ "$RUN_STATUS" -eq 0 ] || fail "nested uninstall exit code $RUN_STATUS"
[ ! -e "$folder/top.dll" ] && [ ! -e "$folder/linkfiles" ] || fail "top-level files stayed"
[ -f "$folder/EN/help.txt" ] || fail "a file in the sub-folder was deleted"
pass "sub-folder kept with its files, top-level files deleted"

# 5. Only full .lnk paths of the list that lie in a desktop or start menu
# are deleted. A link list anyone may have written names other programs'
# shortcuts elsewhere, a start-up shortcut, a path that climbs out of the
# desktop, and a file that is no shortcut: all of those stay.
folder="$SCRATCH/listed"
links="$SCRATCH/links"
startup="$COMMON_MENU/Programs/Startup"
mkdir -p "$folder" "$links" "$startup"
echo x >"$COMMON_DESKTOP/E2E listed a.lnk"
echo x >"$COMMON_MENU/E2E listed B.LNK"
echo x >"$COMMON_DESKTOP/E2E listed notes.txt"
echo x >"$links/other.lnk"
public=$(prefix_path 'C:\users\Public')
echo x >"$public/E2E climb.lnk"
echo x >"$startup/E2E agent.lnk"
echo x >"$folder/client.dll"
printf '%s\r\n\r\nab\r\n%s\r\n%s\r\n%s\r\n%s\r\n%s\r\n%s\r\n%s' \
  "$COMMON_DESKTOP_WIN\\E2E listed a.lnk" "$COMMON_DESKTOP_WIN\\E2E listed notes.txt" \
  "$COMMON_DESKTOP_WIN\\E2E missing.lnk" "$(wpath "$links/other.lnk")" \
  "$COMMON_MENU_WIN\\Programs\\Startup\\E2E agent.lnk" \
  "$COMMON_DESKTOP_WIN\\..\\E2E climb.lnk" \
  "$(wpath "$links")\\..\\links\\other.lnk" \
  "$COMMON_MENU_WIN\\E2E listed B.LNK" >"$folder/linkfiles"
: >"$PELLINOR_LOG"
run_wine 30 "$SCRATCH/Pellinor.exe" "uninstall:$(wpath "$folder")"
[ "$RUN_STATUS" -eq 0 ] || fail "listed uninstall exit code $RUN_STATUS"
[ ! -e "$COMMON_DESKTOP/E2E listed a.lnk" ] && [ ! -e "$COMMON_MENU/E2E listed B.LNK" ] ||
  fail "listed shortcuts stayed: $(grep uninstall: "$PELLINOR_LOG")"
[ -f "$COMMON_DESKTOP/E2E listed notes.txt" ] || fail "a listed file that is no shortcut was deleted"
[ -f "$links/other.lnk" ] || fail "a shortcut outside the shortcut folders was deleted"
[ -f "$public/E2E climb.lnk" ] || fail "a path climbing out of the desktop was followed"
rm -f "$public/E2E climb.lnk"
[ -f "$startup/E2E agent.lnk" ] || fail "a start-up shortcut was deleted"
[ ! -e "$folder" ] || fail "the folder stayed: $(ls -A "$folder")"
pass "link list: only .lnk paths inside desktops and start menus deleted; others kept"

# 6. "uninstall" from a folder that is no installation deletes nothing.
folder="$SCRATCH/plain"
mkdir -p "$folder"
cp "$SCRATCH/Pellinor.exe" "$folder/Pellinor.exe"
echo keep >"$folder/data.txt"
: >"$PELLINOR_LOG"
run_wine 30 "$folder/Pellinor.exe" uninstall
[ "$RUN_STATUS" -eq 0 ] || fail "plain-folder first run exit code $RUN_STATUS"
wait_for_log "holds no linkfiles" 30 || fail "the relaunched copy did not refuse: $(cat "$PELLINOR_LOG")"
[ -f "$folder/data.txt" ] && [ -f "$folder/Pellinor.exe" ] || fail "files deleted from a folder without linkfiles"
pass "uninstall from a folder without linkfiles: nothing deleted"

# 7. What an interrupted update left in its staging place goes with the
# folder; a file that cannot be deleted (held open without sharing by
# another program) makes the exit code 1603.
folder="$SCRATCH/staged"
mkdir -p "$folder/Pellinor.staging/new/bin" "$folder/Pellinor.staging/old"
: >"$folder/linkfiles"
echo new >"$folder/Pellinor.staging/new/bin/a.dll"
echo old >"$folder/Pellinor.staging/old/b.dll"
echo 'bin\a.dll=4,1,0' >"$folder/Pellinor.staging/resume"
echo x >"$folder/client.dll"
run_wine 30 "$SCRATCH/Pellinor.exe" "uninstall:$(wpath "$folder")"
[ "$RUN_STATUS" -eq 0 ] || fail "staged uninstall exit code $RUN_STATUS"
[ ! -e "$folder" ] || fail "the folder stayed: $(find "$folder")"
folder="$SCRATCH/held"
mkdir -p "$folder"
: >"$folder/linkfiles"
echo x >"$folder/client.dll"
"$WINE_RUN" "$HELPERS/holdfile.exe" "$(wpath "$folder/client.dll")" 60000 >"$SCRATCH/hold.out" 2>&1 &
holder=$!
track "$holder"
for _ in $(seq 100); do grep -q held "$SCRATCH/hold.out" && break; sleep 0.1; done
grep -q held "$SCRATCH/hold.out" || fail "the holder could not open the file"
run_wine 60 "$SCRATCH/Pellinor.exe" "uninstall:$(wpath "$folder")"
[ "$RUN_STATUS" -eq "$(win_status 1603)" ] || fail "uninstall with a held file: exit code $RUN_STATUS"
[ -f "$folder/client.dll" ] || fail "the held file went"
kill "$holder"
pass "staging place removed with the folder; a file that cannot be removed gives exit code 1603"
