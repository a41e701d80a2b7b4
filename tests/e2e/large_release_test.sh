#!/usr/bin/env bash
# A release of 20,000 files (a manifest of about 2 MB, far past the 100,000
# bytes earlier installers read) installed end to end under Wine: once over
# the session (files.ver read chunk after chunk), once from a mirror (the
# .ver beside the program read whole).
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/install_checks.sh"
export PELLINOR_LOG="$SCRATCH/pellinor.log"
trap 'cp "$PELLINOR_LOG" "$ARTIFACTS/large-release-pellinor.log" 2>/dev/null; cleanup' EXIT
COUNT=${LARGE_RELEASE_FILES:-20000}

release="$SCRATCH/release"
python3 - "$release" "$COUNT" <<'PY'
import os, random, sys
root, count = sys.argv[1], int(sys.argv[2])
rng = random.Random(20000)
for i in range(count):
    folder = os.path.join(root, "lib%02d" % (i % 40))
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "part%05d.dat" % i), "wb") as f:
        f.write(rng.randbytes(1 + rng.randrange(300)))
PY
find "$release" -type f -exec touch -d '2012-03-15 10:20:30 UTC' {} +

# verify_install MANIFEST INSTALL: every file line's file there with the
# release's bytes and the stamp's time (one process for all 20,000).
verify_install() {
  python3 - "$release" "$1" "$2" <<'PY' || fail "the installed files differ from the release"
import calendar, os, sys
release, manifest, install = sys.argv[1:4]
section, checked = None, 0
for line in open(manifest, newline="").read().split("\r\n"):
    if line.startswith("["):
        section = line.upper()
        continue
    if section != "[CLIENT]" or "=" not in line:
        continue
    name, rest = line.split("=", 1)
    size, stamp = (int(x) for x in rest.split(",")[:2])
    path = name.replace("\\", "/")
    got = open(os.path.join(install, path), "rb").read()
    want = open(os.path.join(release, path), "rb").read()
    assert got == want and len(got) == size, path
    d, t = stamp >> 16, stamp & 0xFFFF
    epoch = calendar.timegm(((d >> 9) + 1980, (d >> 5) & 15, d & 31, t >> 11, (t >> 5) & 63, (t & 31) * 2))
    assert int(os.stat(os.path.join(install, path)).st_mtime) == epoch, path
    checked += 1
print(checked)
PY
}

# 1. Over the session: a release without mirror sites.
"$PUBLISH_FAST" "$release" >"$SCRATCH/publish.out" 2>&1 || { cat "$SCRATCH/publish.out"; fail "brevane-publish failed"; }
bytes=$(stat -c %s "$release/files.ver")
[ "$bytes" -gt 1000000 ] || fail "files.ver is only $bytes bytes"
echo "files.ver: $bytes bytes for $COUNT files"
start_sessiond "$release"
cp "$PELLINOR_EXE" "$SCRATCH/Pellinor.exe"
start=$(date +%s.%N)
"$WINE_RUN" "$SCRATCH/Pellinor.exe" "host=127.0.0.1:$SESSION_PORT" "dir=$(wpath "$SCRATCH/over-session")" \
  >>"$SCRATCH/installer.out" 2>&1 &
pid=$!
track "$pid"
wait_exit "$pid" 280 || fail "the session install did not finish in 280 s"
[ "$WAITED_STATUS" -eq 0 ] || fail "session install: exit code $WAITED_STATUS"
checked=$(verify_install "$release/files.ver" "$SCRATCH/over-session")
offsets=$(sed -n 's/^[^"]*"files\.ver" offset=\([0-9]*\).*/\1/p' "$SCRATCH/sessiond.log" | sort -n | tr '\n' ' ')
expected=$(seq 0 262144 "$bytes" | tr '\n' ' ')
[ "$offsets" = "$expected" ] || fail "files.ver asked at offsets '$offsets', expected '$expected'"
pass "over the session: $checked files in $(echo "$(date +%s.%N) - $start" | bc) s, files.ver in chunks at $offsets"
kill "$SESSIOND_PID"

# 2. From the mirror, with the .ver beside the program and no session.
mport=$(free_port)
"$PUBLISH_FAST" --mirror="$SCRATCH/mirror" --site="http://127.0.0.1:$mport/=8" "$release" \
  >"$SCRATCH/publish.out" 2>&1 || { cat "$SCRATCH/publish.out"; fail "brevane-publish with a mirror failed"; }
chmod 755 "$SCRATCH"
chmod -R a+rX "$SCRATCH/mirror"
start_nginx "$SCRATCH/mirror" "$mport"
cp "$release/files.ver" "$SCRATCH/Pellinor.ver"
: >"$PELLINOR_LOG"
start=$(date +%s.%N)
"$WINE_RUN" "$SCRATCH/Pellinor.exe" "dir=$(wpath "$SCRATCH/from-mirror")" >>"$SCRATCH/installer.out" 2>&1 &
pid=$!
track "$pid"
wait_exit "$pid" 280 || fail "the mirror install did not finish in 280 s"
[ "$WAITED_STATUS" -eq 0 ] || fail "mirror install: exit code $WAITED_STATUS"
checked=$(verify_install "$release/files.ver" "$SCRATCH/from-mirror")
requests=$(nginx_access_log "$mport" | wc -l)
[ "$requests" -ge "$COUNT" ] || fail "the mirror got $requests requests for $COUNT files"
pass "from the mirror: $checked files in $(echo "$(date +%s.%N) - $start" | bc) s"
