#!/usr/bin/env bash
# A large update over the session, killed at about 80 %, goes on where its
# last checkpoint left it: the next run asks the host only for the rest of
# the file (offsets from the checkpoint on, each chunk once) and the result
# is byte-identical with its stamp. PELLINOR_RESUME_MIB sets the size
# (default 48; the demonstration of a few hundred MiB takes minutes).
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/install_checks.sh"
trap 'cleanup' EXIT

release="$SCRATCH/release"
mkdir -p "$release"
size=$((${PELLINOR_RESUME_MIB:-48} * 1048576))
head -c "$size" /dev/urandom >"$release/huge.dat"
touch -d '2015-05-05 05:05:06 UTC' "$release/huge.dat"
"$PUBLISH" "$release" >/dev/null || fail "brevane-publish failed"
start_sessiond "$release" --compress=never
cp "$PELLINOR_EXE" "$SCRATCH/Pellinor.exe"
install="$SCRATCH/install"
offsets() { sed -n 's/^[^"]*"huge.dat" offset=\([0-9]*\).*/\1/p' "$SCRATCH/sessiond.log"; }

PELLINOR_LOG="$SCRATCH/first.log" "$WINE_RUN" "$SCRATCH/Pellinor.exe" "host=127.0.0.1:$SESSION_PORT" \
  "dir=$(wpath "$install")" quiet >/dev/null 2>&1 &
app=$!
track "$app"
eighty=$((size * 8 / 10))
for _ in $(seq 12000); do
  [ "$(offsets | tail -1)" -ge "$eighty" ] 2>/dev/null && break
  kill -0 "$app" 2>/dev/null || fail "the download ended before 80 %"
  sleep 0.05
done
kill -9 "$app"
wait_exit "$app" 10 || fail "the installer did not end after SIGKILL"
reached=$(offsets | tail -1)
[ "$reached" -ge "$eighty" ] || fail "killed at offset $reached, before 80 %"
[ ! -e "$install/huge.dat" ] || fail "a cut file was installed"
before=$(offsets | wc -l)

PELLINOR_LOG="$SCRATCH/second.log" "$WINE_RUN" "$SCRATCH/Pellinor.exe" "host=127.0.0.1:$SESSION_PORT" \
  "dir=$(wpath "$install")" quiet >/dev/null 2>&1 &
app=$!
track "$app"
wait_exit "$app" 600 || fail "the second run did not finish"
[ "$WAITED_STATUS" -eq 0 ] || fail "the second run: exit code $WAITED_STATUS"
check_installed "$release" "$release/files.ver" "$install"
second=$(offsets | tail -n +$((before + 1)))
first_offset=$(echo "$second" | head -1)
checkpoint=$((4 * 1048576))
# The checkpoint lies at most 4 MiB (plus the chunk in flight) before the kill.
[ "$first_offset" -ge $((reached - checkpoint - 262144)) ] && [ "$first_offset" -gt 0 ] ||
  fail "the second run began at $first_offset, killed at $reached"
[ "$(echo "$second" | sort -n | uniq -d | wc -l)" -eq 0 ] || fail "a chunk was asked for twice"
fetched=$((size - first_offset))
pass "killed at $((reached * 100 / size)) %; the next run fetched $((fetched / 1048576)) of $((size / 1048576)) MiB, from offset $first_offset"
