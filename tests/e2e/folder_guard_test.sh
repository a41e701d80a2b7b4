#!/usr/bin/env bash
# Install and uninstall never act on a drive root or a system folder, however
# it is spelled: C:\windows, %AppData%, C:\, \\?\C:\, C:\windows\..\windows,
# C:\PROGRA~1, the short name Wine gives Program Files, and C:\windows and C:\
# as Wine's Z: drive shows them. Nor on any folder inside the Windows folder:
# twain_32, inf, system32\wbem, system32\drivers reached through a link (a
# unix symbolic link, which Wine treats as a junction), a folder to be made
# below that link, a sub-folder through a link to the Windows folder, inf
# through Z:, and the administrative-share spellings (UNC paths cannot be
# opened under Wine, so these are refused by their text). A refused install
# shows its box and makes, writes and connects nothing; a refused uninstall
# deletes nothing, even with a link list planted in the folder. A sub-folder
# of Program Files installs and uninstalls as before.
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/shortcut_checks.sh"
export PELLINOR_LOG="$SCRATCH/pellinor.log"
cp "$PELLINOR_EXE" "$SCRATCH/Pellinor.exe"

release="$SCRATCH/release"
make_release "$release"
"$PUBLISH" "$release" >/dev/null || fail "brevane-publish failed"
start_sessiond "$release"

# Folders of the prefix as the installer sees them.
win_value() { "$WINE_RUN" cmd /c echo "$1" 2>/dev/null | tr -d '\r'; }
APPDATA_WIN=$(win_value '%AppData%')
PROGRAMS_WIN=$(win_value '%ProgramFiles%')
[ -n "$APPDATA_WIN" ] && [ "$APPDATA_WIN" != '%AppData%' ] || fail "no AppData in the prefix"
# The short 8.3 name Wine gives Program Files. Wine makes its short names
# from a hash (C:\PROG~5P2); C:\PROGRA~1, Windows' name for it, names no
# folder here and is refused as a short name that cannot be resolved.
PROGRAMS_SHORT=$("$WINE_RUN" winepath -s "$PROGRAMS_WIN" 2>/dev/null | tr -d '\r')
case "$PROGRAMS_SHORT" in *~*) ;; *) fail "no short name for Program Files: $PROGRAMS_SHORT" ;; esac
WINDOWS=$(prefix_path 'C:\windows')
DRIVE_C=$(prefix_path 'C:\')
APPDATA=$(prefix_path "$APPDATA_WIN")
PROGRAMS=$(prefix_path "$PROGRAMS_WIN")
[ -d "$WINDOWS" ] && [ -d "$APPDATA" ] && [ -d "$PROGRAMS" ] || fail "prefix folders not found"
# A 32-bit program sees system32 as Wine's syswow64 and has twain_32 beside
# it; a 64-bit build (hosts without 32-bit execution) sees system32 itself
# and twain_64. drivers exists only in the 64-bit view, which a link reaches.
if [ "${PELLINOR_WIN_BITS:-32}" = 64 ]; then TWAIN=twain_64 WBEM32="$WINDOWS/system32/wbem"
else TWAIN=twain_32 WBEM32="$WINDOWS/syswow64/wbem"; fi
DRIVERS="$WINDOWS/system32/drivers"
for d in "$WINDOWS/$TWAIN" "$WINDOWS/inf" "$WBEM32" "$DRIVERS"; do [ -d "$d" ] || fail "no $d in the prefix"; done

# Every planted link list and link is removed again, whatever happens.
PLANTED=("$DRIVE_C/guard-drivers" "$DRIVE_C/guard-windows")
keep_prefix_clean
trap 'for f in "${PLANTED[@]}"; do rm -f -- "$f"; done; remove_prefix_additions; cleanup' EXIT
ln -sfn "$DRIVERS" "$DRIVE_C/guard-drivers"
ln -sfn "$WINDOWS" "$DRIVE_C/guard-windows"

# listing DIR: the folder's own entries with size and time.
listing() { find "$1" -mindepth 1 -maxdepth 1 -printf '%f %s %T@\n' | sort; }
shortcut_listing() { find "$COMMON_DESKTOP" "$COMMON_MENU" 2>/dev/null | sort; }

# FOLDER-AS-GIVEN  LINUX-FOLDER  LABEL
cases=(
  'C:\windows'              "$WINDOWS"  'C:\windows'
  '%AppData%'               "$APPDATA"  '%AppData%'
  'C:\'                     "$DRIVE_C"  'C:\'
  '\\?\C:\'                 "$DRIVE_C"  '\\?\C:\'
  'C:\windows\..\windows'   "$WINDOWS"  'C:\windows\..\windows'
  'C:\PROGRA~1'             "$DRIVE_C"  'C:\PROGRA~1'
  "$PROGRAMS_SHORT"         "$PROGRAMS" "$PROGRAMS_SHORT"
  # The same folders through Wine's Z: drive: other text, same folder.
  "$(wpath "$WINDOWS")"     "$WINDOWS"  'C:\windows seen through Z:'
  "$(wpath "$DRIVE_C")"     "$DRIVE_C"  'C:\ seen through Z:'
  # Inside the Windows folder, at any depth and through links.
  "C:\\windows\\$TWAIN"     "$WINDOWS/$TWAIN"  "C:\\windows\\$TWAIN"
  'C:\windows\inf'          "$WINDOWS/inf"       'C:\windows\inf'
  'C:\windows\system32\wbem' "$WBEM32"          'C:\windows\system32\wbem'
  'C:\guard-drivers'         "$DRIVERS"           'system32\drivers through a link'
  'C:\guard-drivers\Brevane\Client' "$DRIVERS"  'a new folder below that link'
  "C:\\guard-windows\\$TWAIN" "$WINDOWS/$TWAIN" "$TWAIN through a link to C:\\windows"
  "$(wpath "$WINDOWS/inf")"  "$WINDOWS/inf"       'C:\windows\inf seen through Z:'
  "\\\\?\\UNC\\localhost\\C\$\\windows\\$TWAIN" "$WINDOWS/$TWAIN" "\\\\?\\UNC\\localhost\\C\$\\windows\\$TWAIN"
  '\\localhost\C$\windows\inf' "$WINDOWS/inf"   '\\localhost\C$\windows\inf'
)

# 1. Installs into them are refused before anything happens.
for ((i = 0; i < ${#cases[@]}; i += 3)); do
  given=${cases[i]} folder=${cases[i + 1]} label=${cases[i + 2]}
  listing "$folder" >"$SCRATCH/before.txt"
  shortcut_listing >"$SCRATCH/links-before.txt"
  : >"$PELLINOR_LOG"
  "$WINE_RUN" "$SCRATCH/Pellinor.exe" "host=127.0.0.1:$SESSION_PORT" "dir=$given" xco=ON \
    >>"$SCRATCH/wine.out" 2>&1 &
  app=$!
  track "$app"
  "$WINE_RUN" "$HELPERS/winprobe.exe" box 30000 >"$SCRATCH/box.txt" 2>/dev/null ||
    fail "$label: no message box; log: $(cat "$PELLINOR_LOG")"
  grep -q "text=Cannot install into" "$SCRATCH/box.txt" || fail "$label: box reads $(cat "$SCRATCH/box.txt")"
  "$WINE_RUN" "$HELPERS/winprobe.exe" ok || fail "$label: could not press OK"
  wait_exit "$app" 20 || fail "$label: installer did not end after OK"
  [ "$WAITED_STATUS" -eq "$(win_status 1603)" ] || fail "$label: install exit code $WAITED_STATUS"
  listing "$folder" >"$SCRATCH/after.txt"
  diff "$SCRATCH/before.txt" "$SCRATCH/after.txt" >/dev/null ||
    fail "$label: folder changed: $(diff "$SCRATCH/before.txt" "$SCRATCH/after.txt" | head -5)"
  [ ! -e "$folder/linkfiles" ] || fail "$label: linkfiles written"
  [ ! -e "$DRIVERS/Brevane" ] || fail "$label: a folder was made below drivers"
  ! grep -q 'UPDVER\|files\.ver' "$SCRATCH/sessiond.log" ||
    fail "$label: the session host was asked: $(head -3 "$SCRATCH/sessiond.log")"
  shortcut_listing | diff -q "$SCRATCH/links-before.txt" - >/dev/null || fail "$label: shortcuts made"
  grep -q "install: folder .*refused" "$PELLINOR_LOG" || fail "$label: refusal not logged"
  pass "install into $label refused: box, exit code 1603, nothing written, nothing asked"
done

# 2. Uninstalls of them are refused, even where a link list says "installation".
for ((i = 0; i < ${#cases[@]}; i += 3)); do
  given=${cases[i]} folder=${cases[i + 1]} label=${cases[i + 2]}
  # The uninstall takes its folder literally; %AppData% reaches it expanded
  # (the relaunch passes the folder the copy ran from).
  [ "$given" = '%AppData%' ] && given=$APPDATA_WIN
  if [ ! -e "$folder/linkfiles" ]; then
    : >"$folder/linkfiles"
    PLANTED+=("$folder/linkfiles")
  fi
  listing "$folder" >"$SCRATCH/before.txt"
  : >"$PELLINOR_LOG"
  run_wine 60 "$SCRATCH/Pellinor.exe" "uninstall:$given"
  [ "$RUN_STATUS" -eq "$(win_status 1603)" ] || fail "$label: uninstall exit code $RUN_STATUS"
  listing "$folder" >"$SCRATCH/after.txt"
  diff "$SCRATCH/before.txt" "$SCRATCH/after.txt" >/dev/null ||
    fail "$label: uninstall deleted: $(diff "$SCRATCH/before.txt" "$SCRATCH/after.txt" | head -5)"
  grep -q "uninstall: folder .*refused" "$PELLINOR_LOG" || fail "$label: refusal not logged: $(cat "$PELLINOR_LOG")"
  pass "uninstall of $label refused: exit code 1603, nothing deleted"
done
for f in "${PLANTED[@]}"; do rm -f -- "$f"; done
PLANTED=()

# 3. A sub-folder of Program Files, given by its short name: installed and
# removed as before.
sub="$PROGRAMS/Brevane/Guard Test"
rm -rf "$sub"
run_wine 120 "$SCRATCH/Pellinor.exe" "host=127.0.0.1:$SESSION_PORT" "dir=$PROGRAMS_SHORT\\Brevane\\Guard Test" \
  xco=ON linkname=E2E_Guard
[ "$RUN_STATUS" -eq 0 ] || fail "sub-folder install exit code $RUN_STATUS"
cmp -s "$release/bin/odd.dll" "$sub/bin/odd.dll" || fail "sub-folder install incomplete: $(cat "$PELLINOR_LOG")"
[ -f "$sub/linkfiles" ] && [ -f "$sub/Pellinor.exe" ] || fail "sub-folder install not finalized"
# The canonical long path reaches the shortcut and the link list.
grep -qiF "install: folder $PROGRAMS_WIN\\Brevane\\Guard Test\\" "$PELLINOR_LOG" ||
  fail "long folder name not used: $(grep 'install:' "$PELLINOR_LOG")"
run_wine 60 "$SCRATCH/Pellinor.exe" "uninstall:$PROGRAMS_WIN\\Brevane\\Guard Test"
[ "$RUN_STATUS" -eq 0 ] || fail "sub-folder uninstall exit code $RUN_STATUS"
[ ! -e "$sub/linkfiles" ] && [ ! -e "$sub/Pellinor.exe" ] || fail "sub-folder not uninstalled: $(ls -A "$sub")"
[ ! -e "$COMMON_DESKTOP/E2E_Guard.lnk" ] || fail "shortcut left after the uninstall"
rm -rf "$PROGRAMS/Brevane"
pass "sub-folder of Program Files (short name given): installed and uninstalled"
