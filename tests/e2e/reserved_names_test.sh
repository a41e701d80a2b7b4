#!/usr/bin/env bash
# A manifest that lists the files the installer writes itself (linkfiles,
# install.txt, PARAMS.CFG, the staging folder) does not get them installed:
# they are dropped, logged, never asked for. A shipped link list naming a
# desktop shortcut thus never reaches the uninstall. Pellinor.exe, the
# uninstaller copy, may still be shipped.
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/shortcut_checks.sh"
keep_prefix_clean
export PELLINOR_LOG="$SCRATCH/pellinor.log"

requested() { sed -n 's/^[^"]*"\([^"]*\)" offset=.*/\1/p' "$SCRATCH/sessiond.log"; }

release="$SCRATCH/release"
make_release "$release"
victim="$COMMON_DESKTOP/E2E reserved victim.lnk"
echo x >"$victim"
printf '%s\r\n' "$COMMON_DESKTOP_WIN\\E2E reserved victim.lnk" >"$release/linkfiles"
printf 'LANGUAGE=XX\r\n' >"$release/install.txt"
printf 'SHORTCUT=hostile\r\n' >"$release/PARAMS.CFG"
mkdir -p "$release/Pellinor.staging/new"
echo staged >"$release/Pellinor.staging/new/one.bin"
echo "shipped uninstaller" >"$release/Pellinor.exe"
start_sessiond "$release"

# The manifest is written by hand, beside the program.
beside="$SCRATCH/beside"
mkdir -p "$beside"
cp "$PELLINOR_EXE" "$beside/Pellinor.exe"
stamp=1081037455
entry() { printf '%s=%s,%s\r\n' "$1" "$(stat -c %s "$release/$(printf '%s' "$1" | tr '\\' /)")" "$stamp"; }
{
  printf '[CLIENT]\r\n'
  entry linkfiles
  entry install.txt
  entry PARAMS.CFG
  entry 'LINKFILES.'
  entry 'Pellinor.staging\new\one.bin'
  entry Pellinor.exe
  entry one.bin
  entry 'bin\odd.dll'
} >"$beside/Pellinor.ver"

install="$SCRATCH/install"
run_wine 120 "$beside/Pellinor.exe" "host=127.0.0.1:$SESSION_PORT" "dir=$(wpath "$install")"
[ "$RUN_STATUS" -eq 0 ] || fail "exit code $RUN_STATUS"
cmp -s "$release/one.bin" "$install/one.bin" && cmp -s "$release/bin/odd.dll" "$install/bin/odd.dll" ||
  fail "the ordinary files were not installed: $(grep manifest "$PELLINOR_LOG")"
cmp -s "$release/Pellinor.exe" "$install/Pellinor.exe" || fail "the shipped Pellinor.exe was not installed"
for name in linkfiles install.txt PARAMS.CFG Pellinor.staging; do
  [ ! -e "$install/$name" ] || fail "$name was installed from the release"
done
for name in linkfiles install.txt PARAMS.CFG 'LINKFILES.' 'Pellinor.staging\new\one.bin'; do
  requested | grep -qixF "$name" && fail "the session was asked for $name"
  grep -qF "reserved for the installer's own files: $name" "$PELLINOR_LOG" ||
    fail "dropping $name was not logged: $(grep dropped "$PELLINOR_LOG")"
done
pass "linkfiles, install.txt, PARAMS.CFG, the staging folder: dropped; Pellinor.exe and the rest installed"

# The uninstall of that folder finds no link list from the release, so the
# shortcut it named stays.
run_wine 60 "$beside/Pellinor.exe" "uninstall:$(wpath "$install")"
[ -f "$victim" ] || fail "the desktop shortcut named by the shipped link list was deleted"
rm -f "$victim"
pass "the shipped link list never reached the uninstall: its shortcut stays"
