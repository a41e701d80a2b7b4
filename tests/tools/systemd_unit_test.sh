#!/usr/bin/env bash
# The service unit of brevane-sessiond: systemd-analyze verify accepts it
# (in a scratch root that holds the installed binary where the unit expects
# it), its hardening scores as low exposure, its descriptor limit fits its
# connection cap, and its command line, run as the unit would run it,
# starts the session host and stops it cleanly on SIGTERM.
# Usage: systemd_unit_test.sh SOURCE_DIR NATIVE_BUILD_DIR
set -u
SOURCE=$1
NATIVE=$2
UNIT="$SOURCE/packaging/brevane-sessiond.service"
SCRATCH=$(mktemp -d "${TMPDIR:-/tmp}/pellinor-unit.XXXXXX")
SERVER_PID=
cleanup() {
  [ -n "$SERVER_PID" ] && kill "$SERVER_PID" 2>/dev/null
  rm -rf "$SCRATCH"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
pass() { echo "PASS: $*"; }

if ! command -v systemd-analyze >/dev/null 2>&1; then
  echo "SKIP: systemd-analyze is not installed (scripts/install-deps.sh installs systemd)"
  exit 77
fi

# A root with systemd's own units (the unit is wanted by multi-user.target)
# and the binary at the path ExecStart names.
binary=$(sed -n 's/^ExecStart=\([^ ]*\).*/\1/p' "$UNIT")
[ "$binary" = /usr/local/bin/brevane-sessiond ] || fail "ExecStart runs '$binary'"
root="$SCRATCH/root"
mkdir -p "$root/usr/lib/systemd" "$root/etc/systemd/system" "$root/usr/local/bin"
cp -a "$(readlink -f /usr/lib/systemd/system)" "$root/usr/lib/systemd/system"
cp "$UNIT" "$root/etc/systemd/system/"
verify() {
  systemd-analyze verify --root="$root" /etc/systemd/system/brevane-sessiond.service \
    >"$SCRATCH/verify.out" 2>&1
}

# Without the binary verify must complain, or it proves nothing here.
verify && fail "systemd-analyze verify accepts a unit whose binary is missing"
grep -q 'brevane-sessiond' "$SCRATCH/verify.out" || fail "verify: $(cat "$SCRATCH/verify.out")"
cp "$NATIVE/brevane-sessiond" "$root/usr/local/bin/"
verify || fail "systemd-analyze verify: $(cat "$SCRATCH/verify.out")"
[ -s "$SCRATCH/verify.out" ] && fail "systemd-analyze verify warns: $(cat "$SCRATCH/verify.out")"
pass "systemd-analyze verify accepts the unit without a warning"

systemd-analyze security --offline=yes --root="$root" brevane-sessiond.service \
  >"$SCRATCH/security.out" 2>&1 || fail "systemd-analyze security: $(tail -3 "$SCRATCH/security.out")"
exposure=$(sed -n 's/.*Overall exposure level for brevane-sessiond.service: \([0-9.]*\).*/\1/p' \
  "$SCRATCH/security.out")
[ -n "$exposure" ] || fail "no exposure level: $(tail -3 "$SCRATCH/security.out")"
awk -v e="$exposure" 'BEGIN { exit !(e <= 2.0) }' || fail "exposure level $exposure above 2.0"
for setting in DynamicUser=yes ProtectSystem=strict NoNewPrivileges=yes PrivateTmp=yes; do
  grep -qx "$setting" "$UNIT" || fail "$setting missing"
done
pass "hardening: exposure level $exposure"

# Descriptors: a socket per connection, files and the rest well inside.
setting() { sed -n "s/^Environment=$1=//p" "$UNIT"; }
cap=$(setting SESSIOND_MAX_CONNECTIONS)
nofile=$(sed -n 's/^LimitNOFILE=//p' "$UNIT")
[ -n "$cap" ] && [ -n "$nofile" ] || fail "no connection cap or LimitNOFILE"
[ "$nofile" -ge $((2 * cap)) ] || fail "LimitNOFILE $nofile does not fit $cap connections"
pass "LimitNOFILE $nofile fits $cap connections"

# The command line as systemd expands it, with this build's binary, a free
# port and a scratch release.
release="$SCRATCH/release"
mkdir -p "$release"
printf '[CLIENT]\r\na.txt=1,1\r\n' >"$release/files.ver"
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
command=$(sed -n 's/^ExecStart=//p' "$UNIT")
command=${command//\$\{SESSIOND_ADDRESS\}/127.0.0.1}
command=${command//\$\{SESSIOND_PORT\}/$port}
command=${command//\$\{SESSIOND_MAX_CONNECTIONS\}/$cap}
command=${command//\$\{SESSIOND_RELEASE\}/$release}
mport=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
command=${command//\$\{SESSIOND_METRICS\}/127.0.0.1:$mport}
command=${command/\/usr\/local\/bin\/brevane-sessiond/$NATIVE/brevane-sessiond}
case $command in *'${'*) fail "unexpanded setting in: $command" ;; esac
# shellcheck disable=SC2086
$command >"$SCRATCH/server.out" 2>&1 &
SERVER_PID=$!
for _ in $(seq 100); do
  (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
  kill -0 "$SERVER_PID" 2>/dev/null || fail "the unit's command ended: $(cat "$SCRATCH/server.out")"
  sleep 0.1
done
(exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null || fail "nothing listens on $port"
curl -sf --max-time 5 "http://127.0.0.1:$mport/metrics" | grep -q '^brevane_sessions_open 0$' ||
  fail "the unit's metrics endpoint does not answer"
kill -TERM "$SERVER_PID"
wait "$SERVER_PID"
status=$?
SERVER_PID=
[ "$status" -eq 0 ] || fail "SIGTERM: exit status $status"
pass "the unit's command line serves the release and stops cleanly on SIGTERM"
