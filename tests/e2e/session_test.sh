#!/usr/bin/env bash
# The session client against the real session host on loopback: files of
# every awkward size arrive byte for byte with their stamps whether the host
# compresses or scrambles; the installer sends its notice and installs a
# whole release; a host that is not there, or a name that does not resolve,
# gives "Server Unavailable"; an address without a reverse name still works.
. "$(dirname "$0")/lib.sh"

[ -x "$SESSIOND" ] || fail "no session host at $SESSIOND"
make_release "$SCRATCH/rel"
"$PUBLISH" "$SCRATCH/rel" >/dev/null || fail "brevane-publish failed"
# NAME=SIZE,STAMP items for session_fetch: the file lines without their hash.
mapfile -t items < <(sed -n '/^\[CLIENT\]/,/^\[/{/=/p}' "$SCRATCH/rel/files.ver" | tr -d '\r' |
  sed -E 's/^([^=]*=[0-9]+,[0-9]+),[0-9a-f]{64}$/\1/')
[ "${#items[@]}" -ge 8 ] || fail "release lists ${#items[@]} files"
stamp_time=$(date -u -d '2012-03-15 10:20:30 UTC' +%s)
cp "$PELLINOR_EXE" "$SCRATCH/Pellinor.exe"

# check_tree DIR WHAT: every listed file of the release is in DIR, identical,
# with the release's last-write time.
check_tree() {
  local dir=$1 what=$2 item name
  for item in "${items[@]}"; do
    name=${item%%=*}
    name=${name//\\//}
    cmp -s "$SCRATCH/rel/$name" "$dir/$name" || fail "$what: $name differs or is missing"
    [ "$(stat -c %Y "$dir/$name")" = "$stamp_time" ] \
      || fail "$what: $name has time $(stat -c %Y "$dir/$name"), not $stamp_time"
  done
}

stop_sessiond() {
  kill "$SESSIOND_PID" 2>/dev/null
  wait "$SESSIOND_PID" 2>/dev/null
  mv "$SCRATCH/sessiond.log" "$SCRATCH/sessiond-$1.log"
}

# The session client alone, with every chunk compressed, then every chunk
# scrambled.
for mode in always never; do
  start_sessiond "$SCRATCH/rel" --compress=$mode
  "$WINE_RUN" "$HELPERS/session_fetch.exe" "127.0.0.1:$SESSION_PORT" "$(wpath "$SCRATCH/fetch-$mode")" \
    "${items[@]}" >"$SCRATCH/fetch-$mode.out" 2>&1 \
    || fail "session_fetch --compress=$mode: $(cat "$SCRATCH/fetch-$mode.out")"
  stop_sessiond "fetch-$mode"
  check_tree "$SCRATCH/fetch-$mode" "--compress=$mode"
  kind=$([ $mode = always ] && echo compressed || echo scrambled)
  other=$([ $mode = always ] && echo scrambled || echo compressed)
  grep -q " $kind chunk=" "$SCRATCH/sessiond-fetch-$mode.log" || fail "--compress=$mode sent no $kind chunk"
  ! grep -q " $other chunk=" "$SCRATCH/sessiond-fetch-$mode.log" || fail "--compress=$mode sent a $other chunk"
  # 262144 bytes: a full chunk, then an empty one that ends the file.
  grep -q '"bin\\exact.dll" offset=262144 end chunk=0' "$SCRATCH/sessiond-fetch-$mode.log" \
    || fail "--compress=$mode: exact.dll did not end with an empty chunk"
  pass "--compress=$mode: ${#items[@]} files identical with their stamps ($(tail -1 "$SCRATCH/fetch-$mode.out" | tr -d '\r'))"
done

# The installer itself: notice, manifest and every [CLIENT] file.
start_sessiond "$SCRATCH/rel"
PELLINOR_LOG="$SCRATCH/install.log" "$WINE_RUN" "$SCRATCH/Pellinor.exe" "host=127.0.0.1:$SESSION_PORT" \
  "dir=$(wpath "$SCRATCH/install")" xco=ON >/dev/null 2>&1 &
app=$!
track "$app"
wait_exit "$app" 120 || fail "installer did not finish within 120 s"
[ "$WAITED_STATUS" -eq 0 ] || fail "installer exit code $WAITED_STATUS"
stop_sessiond install
grep -q '#UPDVER notice' "$SCRATCH/sessiond-install.log" || fail "no #UPDVER notice reached the host"
[ "$(grep -c '#UPDVER notice' "$SCRATCH/sessiond-install.log")" = 1 ] || fail "more than one notice"
grep -q '"files.ver" offset=0' "$SCRATCH/sessiond-install.log" || fail "manifest not asked for"
check_tree "$SCRATCH/install" "installer"
pass "installer: notice sent, ${#items[@]} files installed with their stamps"

# Refusals: nothing listens on the port, or the name does not resolve. A
# message box, no progress window, nothing installed, exit code 1603; with
# the keyword quiet, no box at all.
refused_port=$(free_port)
for host in "127.0.0.1:$refused_port" "no-such-host.invalid:7000"; do
  "$WINE_RUN" "$SCRATCH/Pellinor.exe" "host=$host" "dir=$(wpath "$SCRATCH/refused")" >/dev/null 2>&1 &
  app=$!
  track "$app"
  "$WINE_RUN" "$HELPERS/winprobe.exe" box 30000 >"$SCRATCH/box.txt" 2>/dev/null \
    || fail "$host: no message box"
  grep -q "text=Server Unavailable" "$SCRATCH/box.txt" || fail "$host: box reads $(cat "$SCRATCH/box.txt")"
  ! "$WINE_RUN" "$HELPERS/winprobe.exe" wait "Brevane Downloader" 300 >/dev/null 2>&1 \
    || fail "$host: the progress window was shown"
  "$WINE_RUN" "$HELPERS/winprobe.exe" ok || fail "$host: could not press OK"
  wait_exit "$app" 20 || fail "$host: installer did not end after OK"
  [ "$WAITED_STATUS" -eq "$(win_status 1603)" ] || fail "$host: exit code $WAITED_STATUS"
  [ ! -e "$SCRATCH/refused" ] || fail "$host: install folder made"
  pass "$host: Server Unavailable, no window, exit code 1603"
done
"$WINE_RUN" "$HELPERS/exitcode.exe" "$(wpath "$SCRATCH/Pellinor.exe")" "host=127.0.0.1:$refused_port" \
  "dir=$(wpath "$SCRATCH/refused")" quiet >"$SCRATCH/exit.txt" 2>&1 &
app=$!
track "$app"
wait_exit "$app" 30 || { "$WINE_RUN" "$HELPERS/winprobe.exe" ok; fail "quiet: the installer waited (for a box?)"; }
grep -q '^exit=1603' "$SCRATCH/exit.txt" || fail "quiet: $(cat "$SCRATCH/exit.txt")"
[ ! -e "$SCRATCH/refused" ] || fail "quiet: install folder made"
pass "quiet: no box, exit code 1603"

# 127.0.0.2 has no reverse name: the installer connects to the address as
# given. The watcher starts first so that it cannot miss the window.
start_sessiond "$SCRATCH/rel" --address=127.0.0.2
"$WINE_RUN" "$HELPERS/winprobe.exe" wait "Brevane Downloader" 60000 >"$SCRATCH/window.txt" 2>&1 &
watcher=$!
track "$watcher"
PELLINOR_LOG="$SCRATCH/second.log" "$WINE_RUN" "$SCRATCH/Pellinor.exe" "host=127.0.0.2:$SESSION_PORT" \
  "dir=$(wpath "$SCRATCH/second")" >/dev/null 2>&1 &
app=$!
track "$app"
wait_exit "$watcher" 70 && [ "$WAITED_STATUS" -eq 0 ] || fail "127.0.0.2: no progress window"
wait_exit "$app" 120 || fail "127.0.0.2: installer did not finish"
[ "$WAITED_STATUS" -eq 0 ] || fail "127.0.0.2: exit code $WAITED_STATUS"
stop_sessiond second
grep -q '#UPDVER notice' "$SCRATCH/sessiond-second.log" || fail "127.0.0.2: no notice reached the host"
grep -q 'no reverse name' "$SCRATCH/second.log" || fail "127.0.0.2: the reverse lookup was not bypassed"
check_tree "$SCRATCH/second" "127.0.0.2"
pass "127.0.0.2: window shown, notice sent, release installed"
