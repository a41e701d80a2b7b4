#!/usr/bin/env bash
# The installation steps of real installs under Wine: shortcuts on the
# prefix's all-users desktop and start menu read back through the shell, the
# link list, the uninstaller copy, the hosted preset's remote parameters and
# the client started through its desktop shortcut at exit, and the
# on-premises preset's language file.
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/shortcut_checks.sh"
keep_prefix_clean
export PELLINOR_LOG="$SCRATCH/pellinor.log"
export LUMARIS_OUT
cp "$PELLINOR_EXE" "$SCRATCH/Pellinor.exe"

release="$SCRATCH/release"
make_client_release "$release"
"$PUBLISH" "$release" >/dev/null || fail "brevane-publish failed"

# 1. A session install with xco=ON.
start_sessiond "$release"
install="$SCRATCH/session install"
winstall=$(wpath "$install")
name="E2E Session Client"
run_wine 120 "$SCRATCH/Pellinor.exe" "host=127.0.0.1:$SESSION_PORT" "dir=$winstall" xco=ON "linkname=$name"
[ "$RUN_STATUS" -eq 0 ] || fail "session install exit code $RUN_STATUS"
cmp -s "$release/Lumaris.exe" "$install/Lumaris.exe" || fail "client not installed"

args="/SXCO /HOST:127.0.0.1:$SESSION_PORT"
desk="$COMMON_DESKTOP/$name.lnk"
menu="$COMMON_MENU/Brevane/$name.lnk"
uninst="$COMMON_MENU/Brevane/Uninstall $name.lnk"
check_link "$desk" "$winstall\\Lumaris.exe" "$args" "$winstall"
check_link "$menu" "$winstall\\Lumaris.exe" "$args" "$winstall"
check_link "$uninst" "$winstall\\Pellinor.exe" "uninstall" "$winstall"
read_linkfiles "$install/linkfiles"
[ "${#LINKS[@]}" -eq 3 ] && [ "$LINKS_CRLF" -eq 3 ] || fail "linkfiles: ${#LINKS[@]} lines, $LINKS_CRLF CR LF"
[ "${LINKS[0]}" = "$COMMON_DESKTOP_WIN\\$name.lnk" ] || fail "linkfiles line 1: ${LINKS[0]}"
[ "${LINKS[1]}" = "$COMMON_MENU_WIN\\Brevane\\$name.lnk" ] || fail "linkfiles line 2: ${LINKS[1]}"
[ "${LINKS[2]}" = "$COMMON_MENU_WIN\\Brevane\\Uninstall $name.lnk" ] || fail "linkfiles line 3: ${LINKS[2]}"
cmp -s "$SCRATCH/Pellinor.exe" "$install/Pellinor.exe" || fail "Pellinor.exe in the folder differs from the program"
[ ! -e "$install/install.txt" ] || fail "install.txt written without the on-premises preset"
pass "session install: three shortcuts read back, linkfiles, uninstaller copy"
kill "$SESSIOND_PID"

# 2. The hosted preset from the file name, against the test deployment's
# manifest server (nginx on 28080, mirrors included) and remote-parameters
# service (28081, a small server that logs what it was asked).
www="$SCRATCH/www"
mkdir -p "$www/install"
"$PUBLISH" --out="$www/install" --site="http://127.0.0.1:28080/mirror=2" --mirror="$www/mirror" "$release" \
  >/dev/null || fail "brevane-publish with mirrors failed"
# nginx workers may run as another user: the tree must be readable to all.
chmod 755 "$SCRATCH"
chmod -R a+rX "$www"
start_nginx "$www" 28080
reply=$'PARAMSv1\r\nSHORTCUT=E2E Tenant Client\r\nTENANT=abc\r\n'
printf '%s' "$reply" >"$SCRATCH/params.reply"
start_params_server "$SCRATCH/params.reply" "$SCRATCH/params.log"

hosted=$(prefix_path 'C:\ProgramData\Brevane\Azure')
whosted='C:\ProgramData\Brevane\Azure'
LUMARIS_OUT=$(wpath "$SCRATCH/lumaris-hosted.out")
cp "$PELLINOR_EXE" "$SCRATCH/azureEN-!abc-x.exe"
# The client is already in place (same size and stamp), so that the test
# rests on the installation steps, not on the mirror download.
mkdir -p "$hosted"
cp -p "$release/Lumaris.exe" "$hosted/Lumaris.exe"
: >"$PELLINOR_LOG"
run_wine 120 "$SCRATCH/azureEN-!abc-x.exe"
[ "$RUN_STATUS" -eq 0 ] || fail "hosted install exit code $RUN_STATUS"
[ "$(cat "$SCRATCH/params.log")" = "/status/azservice.ashx?op=getparams&code=abc" ] ||
  fail "remote parameters asked as: $(cat "$SCRATCH/params.log")"
cmp -s "$SCRATCH/params.reply" "$hosted/PARAMS.CFG" || fail "PARAMS.CFG differs from the reply"

name="E2E Tenant Client"
args="/XEXTUI /SAAS:127.0.0.1 /LANG:EN"
check_link "$COMMON_DESKTOP/$name.lnk" "$whosted\\Lumaris.exe" "$args" "$whosted"
check_link "$COMMON_MENU/Brevane/$name.lnk" "$whosted\\Lumaris.exe" "$args" "$whosted"
check_link "$COMMON_MENU/Brevane/Uninstall $name.lnk" "$whosted\\Pellinor.exe" "uninstall" "$whosted"
cmp -s "$SCRATCH/azureEN-!abc-x.exe" "$hosted/Pellinor.exe" || fail "hosted uninstaller copy differs"
pass "hosted preset: PARAMS.CFG, shortcuts named from the reply with the SaaS arguments"

# The shutdown opened the desktop shortcut, which started the client.
for _ in $(seq 200); do [ -s "$SCRATCH/lumaris-hosted.out" ] && break; sleep 0.1; done
[ -s "$SCRATCH/lumaris-hosted.out" ] || fail "the client was not started at exit"
echo "client started as: $(tr -d "\r" <"$SCRATCH/lumaris-hosted.out" | tr "\n" " ")"
started=$(tr -d '\r' <"$SCRATCH/lumaris-hosted.out")
case "$started" in
  *"Lumaris.exe"*" $args"*) ;;
  *) fail "client command line: $started" ;;
esac
grep -qx "cwd=$(printf '%s' "$whosted" | sed 's/[\\]/\\\\/g')" <<<"$started" || fail "client working folder: $started"
pass "at exit the desktop shortcut started the client with its arguments"

# 3. The on-premises preset: "/XEXTUI" and the language file.
erp=$(prefix_path 'C:\ProgramData\Brevane\Brevane')
werp='C:\ProgramData\Brevane\Brevane'
LUMARIS_OUT=$(wpath "$SCRATCH/lumaris-erp.out")
cp "$PELLINOR_EXE" "$SCRATCH/q9lot-EN-x.exe"
mkdir -p "$erp"
cp -p "$release/Lumaris.exe" "$erp/Lumaris.exe"
run_wine 120 "$SCRATCH/q9lot-EN-x.exe"
[ "$RUN_STATUS" -eq 0 ] || fail "on-premises install exit code $RUN_STATUS"
[ "$(cat "$erp/install.txt")" = $'LANGUAGE=EN\r' ] || fail "install.txt: $(od -c "$erp/install.txt" | head -3)"
check_link "$COMMON_DESKTOP/Brevane ERP.lnk" "$werp\\Lumaris.exe" "/XEXTUI" "$werp"
for _ in $(seq 200); do [ -s "$SCRATCH/lumaris-erp.out" ] && break; sleep 0.1; done
grep -q "Lumaris.exe.* /XEXTUI"$'\r'"\?$" "$SCRATCH/lumaris-erp.out" ||
  fail "on-premises client start: $(cat "$SCRATCH/lumaris-erp.out" 2>/dev/null)"
pass "on-premises preset: /XEXTUI shortcuts, install.txt LANGUAGE=EN"
