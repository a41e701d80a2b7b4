#!/usr/bin/env bash
# The install folder on a small tmpfs (a real "disk full" under Wine) that
# holds the client but not the uninstaller copy: the run fails with exit code
# 1603 at finalization, leaves no cut Pellinor.exe (the uninstaller of an
# earlier install stays whole) and no temporary copy, and makes no shortcut
# and no link list. The client's files are installed all the same.
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/install_checks.sh"
keep_prefix_shortcuts
export PELLINOR_LOG="$SCRATCH/pellinor.log"
cp "$PELLINOR_EXE" "$SCRATCH/Pellinor.exe"

small="$SCRATCH/small"
mkdir -p "$small"
mount -t tmpfs -o size=64k,mode=755 tmpfs "$small" || fail "cannot mount a tmpfs (run as root)"
trap 'cp "$PELLINOR_LOG" "$ARTIFACTS/disk-full-pellinor.log" 2>/dev/null; umount "$small"; remove_new_shortcuts; cleanup' EXIT

# 44 KiB of client: room for it, but not for the 96 KiB copy of the program.
release="$SCRATCH/release"
mkdir -p "$release"
head -c 4096 /dev/urandom >"$release/Lumaris.exe"
head -c 40000 /dev/urandom >"$release/client.dll"
find "$release" -type f -exec touch -d '2012-03-15 10:20:30 UTC' {} +
"$PUBLISH" "$release" >/dev/null || fail "brevane-publish failed"
start_sessiond "$release"

install="$small/Brevane"
mkdir -p "$install"
head -c 8000 /dev/urandom >"$install/Pellinor.exe"  # an earlier install's uninstaller
cp "$install/Pellinor.exe" "$SCRATCH/earlier-uninstaller"

run_installer "$SCRATCH/Pellinor.exe" "host=127.0.0.1:$SESSION_PORT" "dir=$(wpath "$install")" \
  xco=ON linkname=E2E_DiskFull quiet
[ "$INSTALLER_STATUS" -eq "$(win_status 1603)" ] || fail "exit code $INSTALLER_STATUS on a full disk"
check_installed "$release" "$release/files.ver" "$install"
[ "$CHECKED_COUNT" -eq 2 ] || fail "checked $CHECKED_COUNT of 2 client files"
cmp -s "$SCRATCH/earlier-uninstaller" "$install/Pellinor.exe" ||
  fail "the earlier uninstaller was replaced: $(stat -c %s "$install/Pellinor.exe") bytes"
left=$(cd "$install" && find . -mindepth 1 | sort | tr '\n' ' ')
[ "$left" = "./Lumaris.exe ./Pellinor.exe ./client.dll " ] || fail "left in the folder: $left"
[ ! -e "$COMMON_DESKTOP/E2E_DiskFull.lnk" ] && [ ! -e "$COMMON_MENU/Brevane/E2E_DiskFull.lnk" ] ||
  fail "shortcuts made although the uninstaller is not in place"
pass "full disk at finalization: exit code 1603, client installed, earlier uninstaller whole, no temporary copy, no shortcuts or linkfiles"

# Without an earlier copy: no Pellinor.exe at all, never a cut one.
rm -f "$install/Pellinor.exe"
run_installer "$SCRATCH/Pellinor.exe" "host=127.0.0.1:$SESSION_PORT" "dir=$(wpath "$install")" \
  xco=ON linkname=E2E_DiskFull quiet
[ "$INSTALLER_STATUS" -eq "$(win_status 1603)" ] || fail "second run: exit code $INSTALLER_STATUS"
left=$(cd "$install" && find . -mindepth 1 | sort | tr '\n' ' ')
[ "$left" = "./Lumaris.exe ./client.dll " ] || fail "second run left in the folder: $left"
pass "full disk without an earlier copy: exit code 1603, no Pellinor.exe"
