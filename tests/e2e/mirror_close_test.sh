#!/usr/bin/env bash
# The user closes the window while mirror workers are in the middle of their
# files (the mirror sends at 200 KB/s a connection): the process ends soon
# with exit code 1602 (closed before the end) and no crash, before the
# download could have finished; no installed file was touched, and the
# program named after "next" is started.
. "$(dirname "$0")/lib.sh"
export PELLINOR_LOG="$SCRATCH/pellinor.log"
trap 'cp "$PELLINOR_LOG" "$ARTIFACTS/mirror-close-pellinor.log" 2>/dev/null; cleanup' EXIT

release="$SCRATCH/release"
mirror="$SCRATCH/mirror"
mkdir -p "$release/bin"
for i in 1 2 3 4 5 6; do head -c 1048576 /dev/urandom >"$release/bin/part$i.dat"; done
find "$release" -type f -exec touch -d '2014-02-10 09:00:00 UTC' {} +
port=$(free_port)
"$PUBLISH" --mirror="$mirror" --site="http://127.0.0.1:$port/=2" "$release" >/dev/null ||
  fail "brevane-publish failed"
start_nginx "$mirror" "$port" "limit_rate 200k;"

cp "$PELLINOR_EXE" "$SCRATCH/Pellinor.exe"
cp "$release/files.ver" "$SCRATCH/Pellinor.ver"
cp "$HELPERS/marker.exe" "$SCRATCH/marker.exe"
install="$SCRATCH/install"
"$WINE_RUN" "$SCRATCH/Pellinor.exe" "dir=$(wpath "$install")" \
  next "$(wpath "$SCRATCH/marker.exe")" "$(wpath "$SCRATCH/marker.txt")" >"$SCRATCH/installer.out" 2>&1 &
app=$!
track "$app"

# Wait until both workers are inside a file: bytes are on disk.
for _ in $(seq 300); do
  [ "$(find "$install" -type f -size +100k 2>/dev/null | wc -l)" -ge 2 ] && break
  sleep 0.1
done
[ "$(find "$install" -type f -size +100k 2>/dev/null | wc -l)" -ge 2 ] || fail "the mirror download never got going"
closed_at=$(date +%s)
"$WINE_RUN" "$HELPERS/winprobe.exe" close "Brevane Downloader" || fail "no window to close"
wait_exit "$app" 20 || fail "the installer did not end within 20 s of the close"
[ "$WAITED_STATUS" -eq "$(win_status 1602)" ] || fail "exit code $WAITED_STATUS"
took=$(($(date +%s) - closed_at))
grep -Eiq 'unhandled|page fault|exception' "$SCRATCH/installer.out" &&
  fail "the installer crashed: $(head -5 "$SCRATCH/installer.out")"
# Six MiB at 400 KB/s take 15 s; the close must have cut that short.
complete=0
for i in 1 2 3 4 5 6; do
  cmp -s "$release/bin/part$i.dat" "$install/Pellinor.staging/new/bin/part$i.dat" && complete=$((complete + 1))
done
[ "$complete" -lt 6 ] || fail "every file had arrived before the close"
# Nothing is moved into place unless every file arrived.
[ ! -e "$install/bin" ] || fail "files were installed from an abandoned download: $(ls "$install/bin")"

for _ in $(seq 100); do [ -s "$SCRATCH/marker.txt" ] && break; sleep 0.1; done
[ -s "$SCRATCH/marker.txt" ] || fail "the next program was not started: $(grep shutdown: "$PELLINOR_LOG")"
grep -q 'marker.exe' "$SCRATCH/marker.txt" || fail "marker wrote: $(cat "$SCRATCH/marker.txt")"
pass "closed during the mirror download ($complete of 6 files whole): exit code 1602 after ${took}s, nothing installed, next program started"
