#!/usr/bin/env bash
# brevane-check against real nginx sites on loopback: a good site, a site
# missing objects, a site with corrupt objects, a slow object, a site that
# is down, and a manifest read from a URL with its own SITES.
# Usage: check_test.sh NATIVE_BUILD_DIR
set -u
NATIVE=$1
CHECK="$NATIVE/brevane-check"
PUBLISH="$NATIVE/brevane-publish"
SCRATCH=$(mktemp -d "${TMPDIR:-/tmp}/pellinor-check.XXXXXX")
PIDS=()
cleanup() {
  local pid
  for pid in "${PIDS[@]}"; do kill "$pid" 2>/dev/null; done
  for pid in "${PIDS[@]}"; do wait "$pid" 2>/dev/null; done
  rm -rf "$SCRATCH"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; [ -f "$SCRATCH/out" ] && cat "$SCRATCH/out" >&2; exit 1; }
pass() { echo "PASS: $*"; }

free_ports() {
  python3 -c 'import socket, sys
held = [socket.socket() for _ in range(int(sys.argv[1]))]
for s in held: s.bind(("127.0.0.1", 0))
print(" ".join(str(s.getsockname()[1]) for s in held))' "$1"
}

# serve ROOT PORT [directives]: nginx with its own config and logs.
serve() {
  local root=$1 port=$2 extra=${3:-} dir="$SCRATCH/nginx-$2"
  mkdir -p "$dir/tmp"
  chmod 755 "$SCRATCH"
  cat >"$dir/nginx.conf" <<CONF
worker_processes 1;
pid $dir/nginx.pid;
error_log $dir/error.log warn;
events { worker_connections 256; }
http {
  access_log off;
  client_body_temp_path $dir/tmp; proxy_temp_path $dir/tmp; fastcgi_temp_path $dir/tmp;
  uwsgi_temp_path $dir/tmp; scgi_temp_path $dir/tmp;
  server { listen 127.0.0.1:$port; root $root; $extra }
}
CONF
  nginx -c "$dir/nginx.conf" -p "$dir" -g 'daemon off;' >"$dir/stdout" 2>&1 &
  PIDS+=($!)
  for _ in $(seq 100); do
    (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && return 0
    sleep 0.1
  done
  cat "$dir/error.log" >&2
  fail "nginx did not start on $port"
}

# run_check ARGS...: runs the check into $SCRATCH/out; sets STATUS.
run_check() {
  "$CHECK" "$@" >"$SCRATCH/out" 2>&1
  STATUS=$?
}
# row URL: "objects ok missing wrong failed slow result" of that site's row.
row() { awk -v url="$1" '$1 == url { print $2, $3, $4, $5, $6, $7, $8 }' "$SCRATCH/out"; }
expect_row() {
  local got
  got=$(row "$1")
  [ "$got" = "$2" ] || fail "site $1: '$got', expected '$2'"
}

read -r pgood pmiss pbad pslow pdown predir < <(free_ports 6)
release="$SCRATCH/release"
mkdir -p "$release/bin" "$release/data dir"
for i in $(seq 1 12); do head -c $((i * 1500)) /dev/urandom >"$release/bin/f$i.dll"; done
head -c 300000 /dev/urandom >"$release/data dir/big 100%.dat"
: >"$release/empty.txt"
find "$release" -type f -exec touch -d '2012-03-15 10:20:30 UTC' {} +
"$PUBLISH" --mirror="$SCRATCH/good" --site="http://127.0.0.1:$pgood/" "$release" >/dev/null ||
  fail "brevane-publish failed"
files=14

# The same manifest with the SHA-256 of every file after its stamp (added
# here whether or not the publisher writes it already).
python3 - "$release" <<'PY'
import hashlib, os, sys
root = sys.argv[1]
lines, section = [], None
for line in open(os.path.join(root, "files.ver"), newline="").read().split("\r\n"):
    if line.startswith("["):
        section = line
    elif line and section != "[SITES]" and line.count(",") == 1:
        name = line.split("=")[0]
        data = open(os.path.join(root, *name.split("\\")), "rb").read()
        line += "," + hashlib.sha256(data).hexdigest()
    lines.append(line)
open(os.path.join(root, "hashed.ver"), "w", newline="").write("\r\n".join(lines))
PY
grep -q ",1081037455,[0-9a-f]\{64\}" "$release/hashed.ver" || fail "no hashes added"

cp -a "$SCRATCH/good" "$SCRATCH/missing"
rm "$SCRATCH/missing/1203/1081037455_3000_bin_f2.dll" "$SCRATCH/missing/1081037455_4500_bin_f3.dll"
cp -a "$SCRATCH/good" "$SCRATCH/bad"
# f1: other bytes of the right size; f4: cut short; f5: one byte more;
# f6 (flat): an object followed by junk. The publisher links the flat names
# to the month-folder objects, so each is removed before it is rewritten.
rm "$SCRATCH/bad/1203/1081037455_1500_bin_f1.dll" "$SCRATCH/bad/1203/1081037455_7500_bin_f5.dll"
head -c 1500 /dev/urandom | python3 -c 'import sys, zlib; sys.stdout.buffer.write(zlib.compress(sys.stdin.buffer.read()))' \
  >"$SCRATCH/bad/1203/1081037455_1500_bin_f1.dll"
obj="$SCRATCH/bad/1203/1081037455_6000_bin_f4.dll"
head -c $(($(stat -c %s "$obj") - 20)) "$obj" >"$obj.cut" && mv "$obj.cut" "$obj"
{ cat "$release/bin/f5.dll"; printf x; } | python3 -c 'import sys, zlib; sys.stdout.buffer.write(zlib.compress(sys.stdin.buffer.read()))' \
  >"$SCRATCH/bad/1203/1081037455_7500_bin_f5.dll"
rm "$SCRATCH/bad/1081037455_9000_bin_f6.dll"
{ cat "$SCRATCH/good/1081037455_9000_bin_f6.dll"; printf junk; } >"$SCRATCH/bad/1081037455_9000_bin_f6.dll"

serve "$SCRATCH/good" "$pgood"
serve "$SCRATCH/missing" "$pmiss"
serve "$SCRATCH/bad" "$pbad"
serve "$SCRATCH/good" "$pslow" 'location ~ big { limit_rate 100k; }'
serve "$SCRATCH/good" "$predir" "location / { return 302 http://127.0.0.1:$pgood\$request_uri; }"
good="http://127.0.0.1:$pgood/" miss="http://127.0.0.1:$pmiss" bad="http://127.0.0.1:$pbad/"
slow="http://127.0.0.1:$pslow/" down="http://127.0.0.1:$pdown/"

run_check --jobs=4 "$release/hashed.ver" "$good"
[ "$STATUS" -eq 0 ] || fail "a good site: exit $STATUS"
expect_row "$good" "$((2 * files)) $((2 * files)) 0 0 0 0 pass"
grep -q 'and SHA-256' "$SCRATCH/out" || fail "hashes not reported as checked"
pass "a good site passes: every object of both layouts, sizes and hashes"

run_check --jobs=8 "$release/hashed.ver" "$good" "$miss" "$bad" "$down"
[ "$STATUS" -eq 1 ] || fail "broken sites: exit $STATUS"
expect_row "$good" "$((2 * files)) $((2 * files)) 0 0 0 0 pass"
expect_row "$miss" "$((2 * files)) $((2 * files - 2)) 2 0 0 0 FAIL"
expect_row "$bad" "$((2 * files)) $((2 * files - 4)) 0 4 0 0 FAIL"
expect_row "$down" "$((2 * files)) 0 0 0 $((2 * files)) 0 FAIL"
grep -q "missing  $miss/1203/1081037455_3000_bin_f2.dll: HTTP 404" "$SCRATCH/out" ||
  fail "the missing object is not named"
grep -q "wrong  ${bad}1203/1081037455_1500_bin_f1.dll: SHA-256 [0-9a-f]\{64\}, expected" "$SCRATCH/out" ||
  fail "the object with other bytes is not named with its hash"
grep -q "1081037455_6000_bin_f4.dll: zlib stream cut short" "$SCRATCH/out" || fail "the cut object is not named"
grep -q "1081037455_7500_bin_f5.dll: inflates to more than 7500 bytes" "$SCRATCH/out" ||
  fail "the long object is not named"
grep -q "1081037455_9000_bin_f6.dll: 4 bytes after the end" "$SCRATCH/out" || fail "trailing junk is not named"
pass "missing, corrupt and unreachable sites fail, each problem named; the good one passes"

# Without hashes (a manifest of the earlier kind: the publisher's lines cut
# after the stamp), other bytes of the right size cannot be seen.
sed -E 's/^([^=]*=[0-9]+,[0-9]+),[0-9a-f]{64}\r$/\1\r/' "$release/files.ver" >"$release/plain.ver"
grep -q '[0-9a-f]\{64\}' "$release/plain.ver" && fail "hashes left in plain.ver"
run_check "$release/plain.ver" "$bad"
[ "$STATUS" -eq 1 ] || fail "no hashes: exit $STATUS"
expect_row "$bad" "$((2 * files)) $((2 * files - 3)) 0 3 0 0 FAIL"
grep -q 'sizes only' "$SCRATCH/out" || fail "a manifest without hashes is not reported as such"
pass "without hashes only the size faults are found"

# Names with '%' and blanks are asked for encoded; a slow object passes but
# is counted.
run_check --layout=month --slow=1 "$release/hashed.ver" "$slow"
[ "$STATUS" -eq 0 ] || fail "slow site: exit $STATUS"
expect_row "$slow" "$files $files 0 0 0 1 pass"
grep -q "slow  ${slow}1203/1081037455_300000_data%20dir_big%20100%25.dat" "$SCRATCH/out" ||
  fail "the slow object is not named"
pass "a slow object is counted and named without failing its site"

# Installers follow redirects, and so does the check.
run_check --layout=flat "$release/hashed.ver" "http://127.0.0.1:$predir/"
[ "$STATUS" -eq 0 ] || fail "redirecting site: exit $STATUS"
expect_row "http://127.0.0.1:$predir/" "$files $files 0 0 0 0 pass"
pass "a site that redirects to another passes"

# The manifest from a URL, with the sites of its SITES section.
cp "$release/hashed.ver" "$SCRATCH/good/files.ver"
run_check --layout=flat "http://127.0.0.1:$pgood/files.ver"
[ "$STATUS" -eq 0 ] || fail "manifest by URL: exit $STATUS"
expect_row "http://127.0.0.1:$pgood/" "$files $files 0 0 0 0 pass"
run_check "http://127.0.0.1:$pgood/nothing.ver"
[ "$STATUS" -eq 2 ] || fail "a manifest URL answering 404: exit $STATUS"
grep -q 'HTTP 404' "$SCRATCH/out" || fail "the manifest's 404 is not reported"
pass "manifest read from a URL with its own sites; a missing manifest is an error"

# A file line that installers refuse fails the check although every site
# serves every object it can name.
{ cat "$release/hashed.ver"; printf '[CLIENT]\r\nbad.dll=5,1081037455,%s\r\n..\\up.dll=5,1081037455\r\n' \
    "$(printf 'A%.0s' $(seq 64))"; } >"$SCRATCH/refused.ver"
run_check "$SCRATCH/refused.ver" "$good"
[ "$STATUS" -eq 1 ] || fail "refused lines: exit $STATUS"
expect_row "$good" "$((2 * files)) $((2 * files)) 0 0 0 0 pass"
grep -q "hash field not 64 lowercase hex digits: bad.dll=" "$SCRATCH/out" || fail "the bad hash is not named"
grep -q "name not a plain relative path: ..\\\\up.dll" "$SCRATCH/out" || fail "the unsafe name is not named"
pass "file lines that installers refuse fail the check"

# Parallel and bounded: a server that answers slowly records how many
# requests it held at once.
pbusy=$(free_ports 1)
python3 - "$SCRATCH/good" "$pbusy" "$SCRATCH/busy" <<'PY' &
import http.server, os, sys, threading, time, urllib.parse
root, port, record = sys.argv[1], int(sys.argv[2]), sys.argv[3]
lock, state = threading.Lock(), {"now": 0, "most": 0}
class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    def do_GET(self):
        with lock:
            state["now"] += 1
            state["most"] = max(state["most"], state["now"])
            open(record, "w").write(str(state["most"]))
        time.sleep(0.2)
        path = os.path.join(root, urllib.parse.unquote(self.path.lstrip("/")))
        body = open(path, "rb").read() if os.path.isfile(path) else None
        with lock:
            state["now"] -= 1
        self.send_response(200 if body is not None else 404)
        self.send_header("Content-Length", str(len(body or b"")))
        self.end_headers()
        self.wfile.write(body or b"")
    def log_message(self, *args):
        pass
http.server.ThreadingHTTPServer(("127.0.0.1", port), Handler).serve_forever()
PY
PIDS+=($!)
for _ in $(seq 100); do (exec 3<>"/dev/tcp/127.0.0.1/$pbusy") 2>/dev/null && break; sleep 0.1; done
run_check --jobs=3 "$release/hashed.ver" "http://127.0.0.1:$pbusy/"
[ "$STATUS" -eq 0 ] || fail "slow-answering site: exit $STATUS"
[ "$(cat "$SCRATCH/busy")" -eq 3 ] || fail "--jobs=3: at most $(cat "$SCRATCH/busy") requests at once"
pass "--jobs=3 fetches three objects at once, never more"

# What is not a manifest fails: an HTML page, an empty body, a manifest with
# sites but no file line; each from a URL with a site given.
read -r pnot pftp pftpredir < <(free_ports 3)
mkdir -p "$SCRATCH/not"
printf '<html><body><h1>Welcome</h1></body></html>\n' >"$SCRATCH/not/index.html"
: >"$SCRATCH/not/empty.ver"
printf '[SITES]\r\n%s=1\r\n[CLIENT]\r\n' "$good" >"$SCRATCH/not/nofiles.ver"
serve "$SCRATCH/not" "$pnot"
for page in index.html empty.ver nofiles.ver; do
  run_check "http://127.0.0.1:$pnot/$page" "$good"
  [ "$STATUS" -eq 2 ] || fail "manifest $page: exit $STATUS"
  row "$good" | grep -q . && fail "manifest $page: a site row was printed"
done
pass "an HTML page, an empty body and a manifest without file lines are errors (exit 2)"

# Redirects lead to http:// and https:// only. A minimal FTP server (enough
# for libcurl's anonymous RETR, logging each command) serves the good
# objects and the manifest; a site that redirects there fails every object,
# a manifest URL that redirects there is an error, and neither reaches it.
cp "$release/hashed.ver" "$SCRATCH/good/files.ver"
python3 - "$SCRATCH/good" "$pftp" "$SCRATCH/ftp.log" <<'PY' &
import os, socket, sys, threading
root, port, log = sys.argv[1], int(sys.argv[2]), open(sys.argv[3], "a", buffering=1)
listener = socket.socket(); listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
listener.bind(("127.0.0.1", port)); listener.listen(16)
def session(c):
    say = lambda text: c.sendall((text + "\r\n").encode())
    lines, here, passive = c.makefile("rb"), root, None
    say("220 ready")
    for raw in lines:
        verb, _, arg = raw.decode().strip().partition(" ")
        log.write(verb + "\n")
        verb, path = verb.upper(), os.path.join(here, arg.lstrip("/"))
        if verb in ("USER", "PASS", "TYPE"): say("230 ok" if verb == "PASS" else "200 ok" if verb == "TYPE" else "331 ok")
        elif verb == "PWD": say('257 "/"')
        elif verb == "CWD" and os.path.isdir(path): here = path; say("250 ok")
        elif verb == "EPSV":
            passive = socket.socket(); passive.bind(("127.0.0.1", 0)); passive.listen(1)
            say("229 passive (|||%d|)" % passive.getsockname()[1])
        elif verb == "SIZE" and os.path.isfile(path): say("213 %d" % os.path.getsize(path))
        elif verb == "RETR" and os.path.isfile(path) and passive:
            say("150 sending"); data, _ = passive.accept()
            data.sendall(open(path, "rb").read()); data.close(); say("226 done")
        elif verb == "QUIT": say("221 bye"); break
        else: say("550 no")
    c.close()
while True:
    conn, _ = listener.accept()
    threading.Thread(target=session, args=(conn,), daemon=True).start()
PY
PIDS+=($!)
for _ in $(seq 100); do (exec 3<>"/dev/tcp/127.0.0.1/$pftp") 2>/dev/null && break; sleep 0.1; done
# The FTP server does serve both, so only the scheme rule can refuse them.
curl -s "ftp://127.0.0.1:$pftp/files.ver" | cmp -s - "$release/hashed.ver" || fail "the FTP server does not serve"
grep -qx RETR "$SCRATCH/ftp.log" || fail "the FTP server logs no RETR"
: >"$SCRATCH/ftp.log"
serve "$SCRATCH/good" "$pftpredir" "location / { return 302 ftp://127.0.0.1:$pftp\$request_uri; }"
ftpredir="http://127.0.0.1:$pftpredir/"
run_check --layout=flat "$release/hashed.ver" "$ftpredir"
[ "$STATUS" -eq 1 ] || fail "a site redirecting to ftp: exit $STATUS"
expect_row "$ftpredir" "$files 0 0 0 $files 0 FAIL"
run_check --layout=flat "${ftpredir}files.ver" "$good"
[ "$STATUS" -eq 2 ] || fail "a manifest URL redirecting to ftp: exit $STATUS"
[ -s "$SCRATCH/ftp.log" ] && fail "the check reached the FTP server: $(sort "$SCRATCH/ftp.log" | uniq -c | tr '\n' ' ')"
pass "redirects to ftp:// are not followed, for objects or the manifest"
