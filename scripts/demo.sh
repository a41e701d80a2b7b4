#!/usr/bin/env bash
# A demonstration install on this machine. It generates a sample client
# release (about 45 MiB in sub-folders, one 40 MiB file), publishes it with
# brevane-publish, serves it with brevane-sessiond on loopback behind a relay
# that passes the host's replies at about 6 MB/s (on loopback the download
# would otherwise be over before the window could be photographed), and runs Pellinor.exe under Wine on a
# virtual X display to install it into a scratch folder. It saves a
# screenshot of the progress window during the download, then lists what was
# installed and checks every file against the release (bytes and stamp).
# Then it runs the same program renamed azureEN-!demo-x.exe, a hosted install:
# manifest and mirror objects over HTTP from nginx, the remote parameters, the
# shortcuts (printed with their targets and arguments), and the client
# started through its new desktop shortcut at exit.
# Everything it starts is ended by PID before it returns.
#
# The server tools are the release build (build/release: optimised, no
# sanitizers), as operators run them. Uses the builds named by PELLINOR_BUILD
# (cross) and PELLINOR_NATIVE_BUILD (server tools) when both are set;
# otherwise builds with scripts/build.sh first.
# Output (screenshot, logs) goes to PELLINOR_DEMO_OUT (default build/demo).
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
if [ -z "${PELLINOR_BUILD:-}" ] || [ -z "${PELLINOR_NATIVE_BUILD:-}" ]; then
  bash "$root/scripts/build.sh" || exit 1
  export PELLINOR_BUILD="$root/build/win" PELLINOR_NATIVE_BUILD="$root/build/release"
  # A host that cannot execute 32-bit programs runs the 64-bit build instead.
  if [ "$(bash "$root/scripts/wine-bits.sh")" = 64 ]; then
    export PELLINOR_BUILD="$root/build/win64" PELLINOR_WIN_BITS=64
    echo "This host cannot execute 32-bit programs: the demonstration runs the installer built for 64-bit Windows."
  fi
fi
out="${PELLINOR_DEMO_OUT:-$root/build/demo}"
rm -rf "$out" && mkdir -p "$out"
. "$root/tests/e2e/lib.sh"
. "$root/tests/e2e/install_checks.sh"
x11_prefix="$PELLINOR_BUILD/wineprefix-x11"
finish() {
  cleanup
  # Wine's services outlive the program by a few seconds.
  [ -d "$x11_prefix" ] && WINEPREFIX="$x11_prefix" timeout 30 wineserver -w
}
trap finish EXIT
for tool in "$PELLINOR_EXE" "$SESSIOND" "$PUBLISH"; do
  [ -x "$tool" ] || { echo "missing $tool"; exit 1; }
done
echo "server tools: $NATIVE"

echo "== sample release"
release="$SCRATCH/release"
mkdir -p "$release/bin" "$release/data/maps" "$release/EN" "$release/DE" "$release/server"
head -c 2000000 /dev/urandom >"$release/Lumaris.exe"
head -c 1048576 /dev/urandom >"$release/bin/core.dll"
head -c 600000 /dev/urandom >"$release/bin/net.dll"
head -c 41943040 /dev/urandom >"$release/data/maps/world.pak"
yes "Brevane sample text line" | head -c 1500000 >"$release/data/strings.txt"
echo "English help" >"$release/EN/help.txt"
echo "Deutsche Hilfe" >"$release/DE/help.txt"
: >"$release/empty.cfg"
echo "host secrets" >"$release/server/host.cfg"
find "$release" -type f -exec touch -d '2012-03-15 10:20:30 UTC' {} +
"$PUBLISH" --serveronly=server "$release" || exit 1
tr -d '\r' <"$release/files.ver"

echo "== session host"
start_sessiond "$release"
echo "brevane-sessiond on 127.0.0.1:$SESSION_PORT (PID $SESSIOND_PID)"
relay_port=$(free_port)
start_paced_relay "$relay_port" "$SESSION_PORT" 65536 0.01 "$SCRATCH/relay.log"
echo "relay on 127.0.0.1:$relay_port: the host's replies at 64 KiB per 10 ms"

echo "== installer"
start_xvfb
export PELLINOR_WINE_DISPLAY=x11
export PELLINOR_LOG="$out/pellinor.log"
cp "$PELLINOR_EXE" "$SCRATCH/Pellinor.exe"
install="$SCRATCH/install"
echo "Pellinor.exe host=127.0.0.1:$relay_port dir=$(wpath "$install")  (display $DISPLAY)"
"$WINE_RUN" "$SCRATCH/Pellinor.exe" "host=127.0.0.1:$relay_port" "dir=$(wpath "$install")" \
  >"$out/wine.log" 2>&1 &
app=$!
track "$app"

# Screenshot once the download is under way (the job logs its file count
# just before Phase 1 starts).
for _ in $(seq 600); do
  grep -q '^job: .* files to fetch' "$PELLINOR_LOG" 2>/dev/null && break
  kill -0 "$app" 2>/dev/null || break
  sleep 0.1
done
sleep 1.5
xid=
for _ in $(seq 50); do
  xid=$(xdotool search --onlyvisible --name "Brevane Downloader" 2>/dev/null | head -1)
  [ -n "$xid" ] && break
  kill -0 "$app" 2>/dev/null || break
  sleep 0.1
done
if [ -n "$xid" ] && import -window "$xid" "$out/window.png" 2>/dev/null; then
  echo "screenshot: $out/window.png"
  convert "$out/window.png" -resize 400% -colorspace Gray "$SCRATCH/big.png" 2>/dev/null &&
    echo "window reads: $(tesseract "$SCRATCH/big.png" - 2>/dev/null | tr -s '\n' ' ')"
else
  echo "no window to capture (the installer may have finished already)"
fi

wait_exit "$app" 300 || { echo "installer did not finish in 300 s"; exit 1; }
echo "exit code: $WAITED_STATUS"

echo "== installed into $install"
(cd "$install" && find . -type f -printf '%10s  %TY-%Tm-%Td %TH:%TM:%TS  %P\n' | sort -k4)

echo "== verification against the release"
failures=0
while read -r name size stamp; do
  want=$(dos_stamp_to_epoch "$stamp")
  if [ ! -f "$install/$name" ]; then
    echo "MISSING   $name"
  elif ! cmp -s "$release/$name" "$install/$name"; then
    echo "DIFFERENT $name"
  elif [ "$(stat -c %Y "$install/$name")" != "$want" ]; then
    echo "STAMP     $name: $(stat -c %y "$install/$name")"
  else
    echo "ok        $name ($size bytes, identical, stamp $stamp)"
    continue
  fi
  failures=$((failures + 1))
done < <(manifest_entries "$release/files.ver")
[ -e "$install/server" ] && { echo "server-only file was installed"; failures=$((failures + 1)); }
echo "== installer log (manifest and job lines; full log: $PELLINOR_LOG)"
grep -E '^(manifest|job|session: [^ ]+ fetched)' "$PELLINOR_LOG"
echo "== sessiond: $(grep -c 'offset=' "$SCRATCH/sessiond.log") chunk requests"
kill "$SESSIOND_PID" 2>/dev/null

# ---------------------------------------------------------------------------
# Part 2: a hosted install as customers get it. The same program, renamed
# azureEN-!demo-x.exe, reads the manifest over HTTP from the hosted manifest
# server (this build's deployment values point at loopback: nginx on 28080),
# fetches every file from the mirror objects nginx serves, asks the
# remote-parameters service (28081) for its shortcut name, makes the
# shortcuts, and at exit opens the desktop shortcut, which starts the client.
echo
echo "== hosted install: manifest and mirrors over HTTP, remote parameters, shortcuts"
. "$root/tests/e2e/shortcut_checks.sh"
prefix_entries >"$SCRATCH/prefix-before.txt"
trap 'remove_prefix_additions; finish' EXIT
www="$SCRATCH/www"
hosted_release="$SCRATCH/hosted-release"
cp -a "$release" "$hosted_release" && rm -f "$hosted_release/files.ver"
# The client: a stand-in that writes down how it was started.
cp "$HELPERS/lumaris.exe" "$hosted_release/Lumaris.exe"
touch -d '2012-03-15 10:20:30 UTC' "$hosted_release/Lumaris.exe"
"$PUBLISH" --serveronly=server --out="$www/install" --site="http://127.0.0.1:28080/mirror=4" \
  --mirror="$www/mirror" "$hosted_release" >/dev/null || exit 1
chmod -R a+rX "$www"
start_nginx "$www" 28080
echo "nginx on 127.0.0.1:28080 serves install/files.ver and $(find "$www/mirror" -type f | wc -l) mirror objects"
printf 'PARAMSv1\r\nSHORTCUT=Brevane Demo Tenant\r\nTENANT=demo\r\n' >"$SCRATCH/params.reply"
start_params_server "$SCRATCH/params.reply"

export LUMARIS_OUT
LUMARIS_OUT=$(wpath "$out/client-started.txt")
export PELLINOR_LOG="$out/pellinor-hosted.log"
hosted_dir=$(prefix_path 'C:\ProgramData\Brevane\Azure')
rm -rf "$hosted_dir"
cp "$PELLINOR_EXE" "$SCRATCH/azureEN-!demo-x.exe"
echo "azureEN-!demo-x.exe  (no arguments: the file name is the configuration)"
"$WINE_RUN" "$SCRATCH/azureEN-!demo-x.exe" >>"$out/wine.log" 2>&1 &
app=$!
track "$app"
wait_exit "$app" 300 || { echo "hosted installer did not finish in 300 s"; exit 1; }
echo "exit code: $WAITED_STATUS"
for _ in $(seq 100); do [ -s "$out/client-started.txt" ] && break; sleep 0.1; done

echo "== hosted install folder C:\ProgramData\Brevane\Azure"
(cd "$hosted_dir" && find . -type f -printf '%10s  %P\n' | sort -k2)
# The hosted preset keeps top-level files and those of its language folder.
while read -r name size stamp; do
  case "$name" in
    */*) if [ "${name%%/*}" != EN ]; then
           [ -e "$hosted_dir/$name" ] && { echo "INSTALLED despite the language filter: $name"; failures=$((failures + 1)); }
           echo "not for language EN: $name"; continue
         fi ;;
  esac
  if cmp -s "$hosted_release/$name" "$hosted_dir/$name"; then echo "ok  $name"; continue; fi
  echo "DIFFERENT OR MISSING $name"; failures=$((failures + 1))
done < <(manifest_entries "$www/install/files.ver")
echo "mirror downloads: $(grep -c 'inflated' "$PELLINOR_LOG" 2>/dev/null || echo 0) objects (log: $PELLINOR_LOG)"

echo "== shortcuts made (from linkfiles)"
while IFS= read -r line; do
  line=${line%$'\r'}
  [ -n "$line" ] || continue
  echo "$line"
  "$WINE_RUN" "$HELPERS/shelllink.exe" read "$line" 2>/dev/null | tr -d '\r' | sed 's/^/    /'
done <"$hosted_dir/linkfiles"

echo "== the client, started through its desktop shortcut at exit"
if [ -s "$out/client-started.txt" ]; then
  tr -d '\r' <"$out/client-started.txt" | sed 's/^/    /'
else
  echo "    the client was not started"; failures=$((failures + 1))
fi

if [ "$failures" -eq 0 ]; then
  echo "demo: all files installed and verified; the client started through its shortcut"
else
  echo "demo: $failures problem(s)"
  exit 1
fi
