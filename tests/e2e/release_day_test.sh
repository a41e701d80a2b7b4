#!/usr/bin/env bash
# Release day through scripts/release-day.sh, as an operator runs it: release
# A is live behind the host's release link with its objects on an nginx
# mirror; B is published beside it (objects to the same mirror, manifest
# signed with the next serial), every mirror checked, the link switched while
# installers (the keyed program) run. Each installer ends with exit 0 and a
# folder byte-identical to exactly one release: those connected before the
# switch to A, those started after it to B. The host's metrics show the
# switch. A release whose mirror fails the check never goes live.
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/install_checks.sh"
keep_prefix_shortcuts
DAY="$PELLINOR_SOURCE/scripts/release-day.sh"
KEYED="$PELLINOR_BUILD/Pellinor-testkey.exe"
KEY="$PELLINOR_BUILD/test-release-key/release-private.pem"
EARLY=${EARLY:-5}
LATE=${LATE:-5}

# Two releases of the same names with other bytes and stamps.
make_files() {
  local dir=$1 when=$2 i
  mkdir -p "$dir/bin" "$dir/data"
  for i in $(seq 1 6); do head -c 700000 /dev/urandom >"$dir/data/part$i.dat"; done
  head -c 300000 /dev/urandom >"$dir/bin/app.dll"
  yes "Brevane $when" | head -c 500000 >"$dir/data/notes.txt"
  find "$dir" -type f -exec touch -d "$when" {} +
}
make_files "$SCRATCH/build-a" '2012-03-15 10:20:30 UTC'
make_files "$SCRATCH/build-b" '2013-04-16 11:22:32 UTC'
releases="$SCRATCH/releases"
mirror="$SCRATCH/mirror"
mkdir -p "$releases" "$mirror"
mport=$(free_port)
# A slow mirror keeps the early installers downloading through the switch.
start_nginx "$mirror" "$mport" "limit_rate 400k;"
site="--site=http://127.0.0.1:$mport/=4"

# Release A goes live the same way, onto an empty release root.
"$DAY" --files="$SCRATCH/build-a" --releases="$releases" --name=A --mirror="$mirror" "$site" \
  --sign="$KEY" --tools="$NATIVE" >"$SCRATCH/day-a.out" 2>&1 || fail "release A: $(cat "$SCRATCH/day-a.out")"
[ "$(readlink "$releases/current")" = A ] || fail "current does not point at A"
start_sessiond "$releases/current" --metrics=0
metrics_port=$(sed -n 's/^metrics [0-9.]*:\([0-9]*\)$/\1/p' "$SCRATCH/sessiond.out")
[ -n "$metrics_port" ] || fail "the host did not start its metrics endpoint"
metrics="http://127.0.0.1:$metrics_port/metrics"
metric() { curl -sf --max-time 5 "$metrics" | awk -v n="$1" '$1 == n { print $2 }'; }

# run_batch FIRST COUNT: COUNT installers in the background, each into its own folder.
installers=()
run_batch() {
  local i
  for i in $(seq "$1" $(($1 + $2 - 1))); do
    "$WINE_RUN" "$KEYED" "host=127.0.0.1:$SESSION_PORT" "dir=$(wpath "$SCRATCH/install-$i")" \
      >>"$SCRATCH/installer-$i.out" 2>&1 &
    track $!
    installers[$i]=$!
  done
}
# 1. Release B is staged (published and checked), the early installers
# connect to A.
"$DAY" --files="$SCRATCH/build-b" --releases="$releases" --name=B --mirror="$mirror" "$site" \
  --sign="$KEY" --tools="$NATIVE" --step=stage >"$SCRATCH/day-b.out" 2>&1 ||
  fail "staging release B: $(cat "$SCRATCH/day-b.out")"
[ "$(readlink "$releases/current")" = A ] || fail "staging B moved the link"
run_batch 1 "$EARLY"
for _ in $(seq 600); do
  [ "${accepted:=0}" -ge "$EARLY" ] && break
  accepted=$(metric brevane_sessions_accepted_total); accepted=${accepted:-0}
  sleep 0.1
done
[ "$accepted" -ge "$EARLY" ] || fail "only $accepted of $EARLY installers reached the host"

# 2. The switch to B while they download.
running() { local n=0 i; for i in $(seq 1 "$EARLY"); do kill -0 "${installers[$i]}" 2>/dev/null && n=$((n + 1)); done; echo $n; }
"$DAY" --releases="$releases" --name=B --tools="$NATIVE" --metrics="$metrics" --watch=0 \
  --step=switch >>"$SCRATCH/day-b.out" 2>&1 || fail "switching to B: $(cat "$SCRATCH/day-b.out")"
[ "$(readlink "$releases/current")" = B ] || fail "current does not point at B"
grep -q '^serial 2$' "$releases/B/files.ver.sig" || fail "B was not signed with the next serial"
during=$(running)
[ "$during" -ge 1 ] || fail "every early installer had finished before the switch: nothing was tested"

# 3. The late installers connect after the switch.
run_batch $((EARLY + 1)) "$LATE"
a=0 b=0
for i in $(seq 1 $((EARLY + LATE))); do
  wait_exit "${installers[$i]}" 240 || fail "installer $i did not finish"
  [ "$WAITED_STATUS" -eq 0 ] || fail "installer $i exited $WAITED_STATUS: $(tail -3 "$SCRATCH/installer-$i.out")"
  if (check_installed "$releases/A" "$releases/A/files.ver" "$SCRATCH/install-$i") 2>/dev/null; then
    [ "$i" -le "$EARLY" ] || fail "installer $i started after the switch but got A"
    a=$((a + 1))
  elif (check_installed "$releases/B" "$releases/B/files.ver" "$SCRATCH/install-$i") 2>/dev/null; then
    [ "$i" -gt "$EARLY" ] || fail "installer $i started on A but got B"
    b=$((b + 1))
  else
    fail "installer $i holds neither release whole"
  fi
done
[ "$(metric brevane_release_switches_total)" = 1 ] || fail "the host's metrics do not show one switch"
[ "$(metric brevane_sessions_accepted_total)" -ge $((EARLY + LATE)) ] || fail "accepted sessions missing"
pass "$a installers finished with A ($during still downloading at the switch) and $b with B, all exit 0; the host counted 1 switch"

# 4. A release whose second site lacks the objects stops at the check.
"$DAY" --files="$SCRATCH/build-a" --releases="$releases" --name=C --mirror="$mirror" "$site" \
  "--site=http://127.0.0.1:$mport/nowhere/=1" --sign="$KEY" --tools="$NATIVE" \
  >"$SCRATCH/day-c.out" 2>&1 && fail "a release with a failing mirror went through"
[ "$(readlink "$releases/current")" = B ] || fail "a failed release day moved the link"
pass "a mirror failing the check stops the release; B stays live"
