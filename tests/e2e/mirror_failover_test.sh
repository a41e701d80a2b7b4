#!/usr/bin/env bash
# Failover between mirror sites and the session, with the real installer
# under Wine. Site A (nginx) lacks a third of the objects; site B (a fault
# server of ours) serves some objects corrupt, cut, one byte too long or too
# short, empty, or hangs up without a reply; site C is down. Every file still
# arrives byte-identical with its stamp: from the other site when one site
# fails it, over the session when every site did — and only those files go
# over the session.
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/install_checks.sh"
export PELLINOR_LOG="$SCRATCH/pellinor.log"
trap 'cp "$PELLINOR_LOG" "$ARTIFACTS/mirror-failover-pellinor.log" 2>/dev/null; cleanup' EXIT

# free_ports N: N distinct loopback ports that are free right now (held
# together while chosen, so no two are the same).
free_ports() {
  python3 -c 'import socket, sys
held = [socket.socket() for _ in range(int(sys.argv[1]))]
for s in held: s.bind(("127.0.0.1", 0))
print(" ".join(str(s.getsockname()[1]) for s in held))' "$1"
}

release="$SCRATCH/release"
mirror="$SCRATCH/mirror"
make_release "$release"
mkdir -p "$release/lib"
for i in $(seq 1 40); do head -c $((i * 517)) /dev/urandom >"$release/lib/m$i.dll"; done
find "$release" -type f -exec touch -d '2012-03-15 10:20:30 UTC' {} +

read -r pa pb pc < <(free_ports 3)
"$PUBLISH" --mirror="$mirror" --site="http://127.0.0.1:$pa/=2" --site="http://127.0.0.1:$pb/=2" \
  --site="http://127.0.0.1:$pc/=1" "$release" >/dev/null || fail "brevane-publish failed"

# Decide each file's fate: "<A> <B> <expected source> <name>", A being
# "has" or "lacks" and B a fault mode (or "serve").
python3 - "$release/files.ver" "$mirror" "$SCRATCH" <<'PY'
import os, shutil, sys
manifest, mirror, scratch = sys.argv[1:4]
entries = []
section = None
for line in open(manifest, newline="").read().split("\r\n"):
    if line.startswith("["):
        section = line
    elif section == "[CLIENT]" and "=" in line:
        name, rest = line.split("=", 1)
        size, stamp = (int(x) for x in rest.split(",")[:2])  # the hash follows
        entries.append((name, size, stamp))
fates = {  # name -> (A, B); everything else: A has it, B serves it
    "empty.txt": ("lacks", "empty"),
    "one.bin": ("lacks", "plus1"),
    "bin\\odd.dll": ("lacks", "minus1"),
    "bin\\exact.dll": ("has", "corrupt"),
    "data\\text.dat": ("lacks", "cut"),
    "data\\sub\\random.dat": ("lacks", "corrupt"),
    "EN\\help.txt": ("lacks", "drop"),
    "DE\\help.txt": ("lacks", "serve"),
}
for i in range(1, 41):
    name = "lib\\m%d.dll" % i
    fates[name] = [("has", "serve"), ("lacks", "serve"), ("has", "missing"),
                   ("has", "cut"), ("lacks", "minus1")][i % 5]
# Site B must meet a request for an object it lacks whichever site's workers
# pick first: A lacks this one too, so B is always asked.
fates["lib\\m40.dll"] = ("lacks", "missing")
site_a = os.path.join(scratch, "site-a")
os.makedirs(site_a)
with open(os.path.join(scratch, "rules.txt"), "w") as rules, \
     open(os.path.join(scratch, "fates.txt"), "w") as out:
    for name, size, stamp in entries:
        year, month = (stamp >> 25) - 20, (stamp >> 21) & 15
        folder = "0800" if year < 9 else "%02d%02d" % (year, month)
        obj = "%s/%d_%d_%s" % (folder, stamp, size, name.replace("\\", "_"))
        a, b = fates.get(name, ("has", "serve"))
        if a == "has":
            os.makedirs(os.path.join(site_a, folder), exist_ok=True)
            shutil.copy(os.path.join(mirror, obj), os.path.join(site_a, obj))
        if b != "serve":
            rules.write("/%s %s\n" % (obj, b))
        delivered = a == "has" or b == "serve"
        out.write("%s %s %s %s\n" % (a, b, "mirror" if delivered else "session", name))
PY

start_nginx "$SCRATCH/site-a" "$pa"
python3 "$(dirname "$0")/fault_mirror.py" "$pb" "$mirror" "$SCRATCH/rules.txt" "$SCRATCH/site-b.log" \
  >"$SCRATCH/site-b.out" 2>&1 &
track $!
wait_port "$pb" 10 || fail "the fault server did not start"
# Site C: nothing listens on $pc.
start_sessiond "$release"

cp "$PELLINOR_EXE" "$SCRATCH/Pellinor.exe"
cp "$release/files.ver" "$SCRATCH/Pellinor.ver"
install="$SCRATCH/install"
run_installer "$SCRATCH/Pellinor.exe" "host=127.0.0.1:$SESSION_PORT" "dir=$(wpath "$install")"
[ "$INSTALLER_STATUS" -eq 0 ] || fail "exit code $INSTALLER_STATUS"
check_installed "$release" "$release/files.ver" "$install"
[ "$CHECKED_COUNT" -eq 48 ] || fail "checked $CHECKED_COUNT of 48 files"
pass "every one of 48 files arrived identical with its stamp"

# Exactly the files every site failed went over the session.
sed -n 's/^[^"]*"\([^"]*\)" offset=.*/\1/p' "$SCRATCH/sessiond.log" | sort -u >"$SCRATCH/session-got.txt"
awk '$3 == "session" { print $4 }' "$SCRATCH/fates.txt" | sort -u >"$SCRATCH/session-want.txt"
diff "$SCRATCH/session-want.txt" "$SCRATCH/session-got.txt" >"$SCRATCH/session-diff.txt" ||
  fail "session fetched other files than those every site failed: $(cat "$SCRATCH/session-diff.txt")"
pass "over the session: exactly the $(wc -l <"$SCRATCH/session-want.txt") files every mirror failed"

# Each fault was met and refused; the down site was tried and failed.
for mode in empty plus1 minus1 corrupt cut drop missing; do
  grep -q " $mode\$" "$SCRATCH/site-b.log" || fail "site B never served a $mode object"
done
# A refused object shows in the session list above; a site that is down
# leaves no trace but the log.
grep -q "cannot open http://127.0.0.1:$pc/" "$PELLINOR_LOG" || fail "the down site was never tried"
pass "corrupt, cut, one byte more or less, empty and dropped replies and a down site all failed over"
