# Shared helpers for the end-to-end tests (sourced). Each test gets its own
# scratch folder; everything a test starts is recorded by PID and ended on exit.
set -u
: "${PELLINOR_BUILD:?set by CTest}"
WINE_RUN="$PELLINOR_BUILD/wine-run"
PELLINOR_EXE="$PELLINOR_BUILD/Pellinor.exe"
# The same program with its test seams (PELLINOR_TEST_* settings): for tests
# that shorten a bound or pause the commit.
PELLINOR_TEST_EXE="$PELLINOR_BUILD/Pellinor-test.exe"
HELPERS="$PELLINOR_BUILD/helpers"
# %ProgramFiles% as the program under test sees it: a 32-bit program gets
# the (x86) folder of the 64-bit prefix.
if [ "${PELLINOR_WIN_BITS:-32}" = 64 ]; then PROGRAM_FILES='C:\Program Files'
else PROGRAM_FILES='C:\Program Files (x86)'; fi
ARTIFACTS="$PELLINOR_BUILD/artifacts"
mkdir -p "$ARTIFACTS"

SCRATCH=$(mktemp -d "${TMPDIR:-/tmp}/pellinor-e2e.XXXXXX")
STARTED_PIDS=()

cleanup() {
  local pid
  for pid in "${STARTED_PIDS[@]}"; do kill "$pid" 2>/dev/null; done
  for pid in "${STARTED_PIDS[@]}"; do
    for _ in $(seq 30); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -9 "$pid" 2>/dev/null
  done
  rm -rf "$SCRATCH"
}
trap cleanup EXIT

fail() { echo "FAIL: $*" >&2; exit 1; }

# Wine hands a Windows exit code to Linux modulo 256: 1602 arrives as 66,
# 1603 as 67 (helpers/exitcode.exe shows the whole code where a test needs
# it). win_status CODE gives what the shell sees.
win_status() { echo $(($1 & 255)); }
pass() { echo "PASS: $*"; }

# remember PID
track() { STARTED_PIDS+=("$1"); }

# Linux path of a folder inside the test's prefix, from a Windows path.
winpath() { "$WINE_RUN" winepath -w "$1" 2>/dev/null | tr -d '\r'; }
unixpath() { "$WINE_RUN" winepath -u "$1" 2>/dev/null | tr -d '\r'; }

# Waits for a PID to exit within SECONDS; sets WAITED_STATUS.
wait_exit() {
  local pid=$1 seconds=$2
  for _ in $(seq $((seconds * 10))); do
    if ! kill -0 "$pid" 2>/dev/null; then
      wait "$pid"; WAITED_STATUS=$?; return 0
    fi
    sleep 0.1
  done
  return 1
}

# Starts Xvfb on a free display and exports DISPLAY.
start_xvfb() {
  local n
  for n in $(seq 90 130); do
    [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ] && continue
    Xvfb ":$n" -screen 0 800x600x24 -nolisten tcp >/dev/null 2>&1 &
    local pid=$!
    track "$pid"
    for _ in $(seq 50); do
      [ -e "/tmp/.X11-unix/X$n" ] && { export DISPLAY=":$n"; return 0; }
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.1
    done
  done
  fail "could not start Xvfb"
}

NATIVE="${PELLINOR_NATIVE_BUILD:-${PELLINOR_SOURCE:-$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)}/build/native}"
SESSIOND="$NATIVE/brevane-sessiond"
PUBLISH="$NATIVE/brevane-publish"
# The optimised publisher of build/release (scripts/build.sh makes it), for
# releases of tens of thousands of files, where the sanitizer build takes
# minutes; the sanitizer build where there is none.
PUBLISH_FAST="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)/build/release/brevane-publish"
[ -x "$PUBLISH_FAST" ] || PUBLISH_FAST=$PUBLISH

# Prints a TCP port that is free on loopback right now.
free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1]); s.close()'
}

# Waits until something accepts on 127.0.0.1:PORT (at most SECONDS).
wait_port() {
  local port=$1 seconds=${2:-10}
  for _ in $(seq $((seconds * 10))); do
    (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && return 0
    sleep 0.1
  done
  return 1
}

# start_sessiond ROOT [options...]: serves ROOT on a free loopback port and
# sets SESSION_PORT. Its log goes to $SCRATCH/sessiond.log.
start_sessiond() {
  local root=$1; shift
  "$SESSIOND" --port=0 --log="$SCRATCH/sessiond.log" "$@" "$root" >"$SCRATCH/sessiond.out" 2>&1 &
  local pid=$!
  track "$pid"
  SESSIOND_PID=$pid
  for _ in $(seq 100); do
    SESSION_PORT=$(sed -n 's/^listening [0-9.]*:\([0-9]*\).*/\1/p' "$SCRATCH/sessiond.out")
    [ -n "$SESSION_PORT" ] && return 0
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  cat "$SCRATCH/sessiond.out" >&2
  fail "brevane-sessiond did not start"
}

# start_nginx ROOT PORT [extra server-block directives]: a real nginx with its
# own config, pid file and logs under $SCRATCH, serving ROOT on PORT.
start_nginx() {
  local root=$1 port=$2 extra=${3:-}
  local dir="$SCRATCH/nginx-$port"
  mkdir -p "$dir/logs" "$dir/tmp"
  # nginx's workers run as another user: let them through the scratch folder.
  chmod 755 "$SCRATCH"
  cat >"$dir/nginx.conf" <<CONF
worker_processes 1;
pid $dir/nginx.pid;
error_log $dir/logs/error.log warn;
events { worker_connections 256; }
http {
  access_log $dir/logs/access.log;
  client_body_temp_path $dir/tmp;
  proxy_temp_path $dir/tmp;
  fastcgi_temp_path $dir/tmp;
  uwsgi_temp_path $dir/tmp;
  scgi_temp_path $dir/tmp;
  default_type application/octet-stream;
  sendfile on;
  server {
    listen 127.0.0.1:$port;
    root $root;
    $extra
  }
}
CONF
  nginx -c "$dir/nginx.conf" -p "$dir" -g 'daemon off;' >"$dir/logs/stdout.log" 2>&1 &
  local pid=$!
  track "$pid"
  wait_port "$port" 10 || { cat "$dir/logs/error.log" >&2; fail "nginx did not start on $port"; }
}

# Access log of the nginx on PORT (one line per request).
nginx_access_log() { cat "$SCRATCH/nginx-$1/logs/access.log" 2>/dev/null; }

# Makes a small client release under DIR with sub-folders, fixed contents
# (text and random) and last-write times in the past.
make_release() {
  local dir=$1
  mkdir -p "$dir/bin" "$dir/EN" "$dir/DE" "$dir/data/sub"
  head -c 1 /dev/urandom >"$dir/one.bin"
  : >"$dir/empty.txt"
  head -c 262144 /dev/urandom >"$dir/bin/exact.dll"
  head -c 600000 /dev/urandom >"$dir/bin/odd.dll"
  yes "Brevane client library line" | head -c 3000000 >"$dir/data/text.dat"
  head -c 2500000 /dev/urandom >"$dir/data/sub/random.dat"
  echo "english help" >"$dir/EN/help.txt"
  echo "german help" >"$dir/DE/help.txt"
  find "$dir" -type f -exec touch -d '2012-03-15 10:20:30 UTC' {} +
}

# Windows form of a Linux path, through Wine's Z: drive (no Wine call needed).
wpath() { printf 'Z:%s' "$(printf '%s' "$1" | tr / '\\')"; }

# start_silent_host: a session host that reads requests, logs them (one repr
# a line) to $SCRATCH/requests and never answers (hangs up after 60 s). Sets
# SILENT_PORT.
start_silent_host() {
  SILENT_PORT=$(free_port)
  python3 - "$SILENT_PORT" "$SCRATCH/requests" <<'PY' &
import socket, sys
s = socket.socket(); s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind(("127.0.0.1", int(sys.argv[1]))); s.listen(4)
open(sys.argv[2] + ".ready", "w").close()
c, _ = s.accept(); c.settimeout(60)
log = open(sys.argv[2], "a", buffering=1)
try:
    while True:
        data = c.recv(4096)
        if not data: break
        log.write(repr(data) + "\n")
except OSError:
    pass
PY
  track $!
  for _ in $(seq 100); do [ -e "$SCRATCH/requests.ready" ] && return 0; sleep 0.1; done
  fail "silent session host did not start"
}

# start_params_server REPLY_FILE [LOG_FILE]: the remote-parameters service on
# the test deployment's 127.0.0.1:28081, answering every GET with the file's
# bytes and logging each asked path to LOG_FILE (default /dev/null).
start_params_server() {
  python3 - "$1" "${2:-/dev/null}" <<'PY' >/dev/null 2>&1 &
import http.server, sys
body = open(sys.argv[1], "rb").read()
class Handler(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        with open(sys.argv[2], "a") as log:
            log.write(self.path + "\n")
        self.send_response(200)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)
    def log_message(self, *args):
        pass
http.server.HTTPServer(("127.0.0.1", 28081), Handler).serve_forever()
PY
  track $!
  wait_port 28081 10 || fail "remote-parameters server did not start"
}

# start_sessiond_as TAG PORT ROOT [options...]: one of several session hosts
# in a test, on PORT (0: a free one; a port given again after a stop is
# taken again). Log in $SCRATCH/sessiond-TAG.log; sets SESSIOND_PID and
# SESSION_PORT.
start_sessiond_as() {
  local tag=$1 port=$2 root=$3; shift 3
  local out="$SCRATCH/sessiond-$tag.out"
  : >"$out"
  "$SESSIOND" --port="$port" --log="$SCRATCH/sessiond-$tag.log" "$@" "$root" >"$out" 2>&1 &
  local pid=$!
  track "$pid"
  SESSIOND_PID=$pid
  for _ in $(seq 100); do
    SESSION_PORT=$(sed -n 's/^listening [0-9.]*:\([0-9]*\).*/\1/p' "$out")
    [ -n "$SESSION_PORT" ] && return 0
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  cat "$out" >&2
  fail "brevane-sessiond $tag did not start"
}

# start_stalling_server PORT LOG: accepts every connection on PORT, reads
# what comes and never answers (holds each connection for 300 s). LOG gets
# "SECONDS accept" per connection and "SECONDS data REPR" per piece read,
# SECONDS on the machine's monotonic clock (python3 time.monotonic()).
start_stalling_server() {
  python3 - "$1" "$2" <<'PY' &
import socket, sys, threading, time
s = socket.socket(); s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind(("127.0.0.1", int(sys.argv[1]))); s.listen(64)
log = open(sys.argv[2], "a", buffering=1)
lock = threading.Lock()
def note(text):
    with lock:
        log.write("%.3f %s\n" % (time.monotonic(), text))
def hold(c):
    c.settimeout(300)
    try:
        while True:
            data = c.recv(4096)
            if not data: break
            note("data " + repr(data))
    except OSError:
        pass
    c.close()
note("ready")
while True:
    c, _ = s.accept()
    note("accept")
    threading.Thread(target=hold, args=(c,), daemon=True).start()
PY
  track $!
  for _ in $(seq 100); do grep -q ' ready$' "$2" 2>/dev/null && return 0; sleep 0.1; done
  fail "stalling server on $1 did not start"
}

# start_paced_relay PORT TARGET_PORT BYTES SECONDS LOG: a TCP relay on PORT
# to 127.0.0.1:TARGET_PORT that passes what the client sends at once and what
# the server sends at BYTES every SECONDS (a trickling host, or a slow line).
# LOG gets "SECONDS accept" per connection (clock of monotonic_now).
start_paced_relay() {
  python3 - "$@" <<'PY' &
import socket, sys, threading, time
port, target, step, pause, log_path = int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3]), float(sys.argv[4]), sys.argv[5]
s = socket.socket(); s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind(("127.0.0.1", port)); s.listen(64)
log = open(log_path, "a", buffering=1)
lock = threading.Lock()
def note(text):
    with lock:
        log.write("%.3f %s\n" % (time.monotonic(), text))
def upstream(c, u):
    try:
        while True:
            data = c.recv(65536)
            if not data: break
            u.sendall(data)
    except OSError:
        pass
    for x in (c, u):
        try: x.shutdown(socket.SHUT_RDWR)
        except OSError: pass
def downstream(c, u):
    try:
        while True:
            data = u.recv(step)
            if not data: break
            c.sendall(data)
            time.sleep(pause)
    except OSError:
        pass
    for x in (c, u):
        try: x.shutdown(socket.SHUT_RDWR)
        except OSError: pass
note("ready")
while True:
    c, _ = s.accept()
    note("accept")
    u = socket.create_connection(("127.0.0.1", target))
    threading.Thread(target=upstream, args=(c, u), daemon=True).start()
    threading.Thread(target=downstream, args=(c, u), daemon=True).start()
PY
  track $!
  for _ in $(seq 100); do grep -q ' ready$' "$5" 2>/dev/null && return 0; sleep 0.1; done
  fail "relay on $1 did not start"
}

# Seconds on the clock start_stalling_server writes.
monotonic_now() { python3 -c 'import time; print("%.3f" % time.monotonic())'; }

# start_stream_balancer PORT HOST:PORT...: nginx's stream module on PORT,
# spreading TCP connections over the given session hosts (the configuration
# the README shows). A host that refuses is skipped for the next.
start_stream_balancer() {
  local port=$1; shift
  local dir="$SCRATCH/balancer-$port" upstreams="" host
  mkdir -p "$dir/logs"
  for host in "$@"; do upstreams+="    server $host max_fails=1 fail_timeout=10s;"$'\n'; done
  cat >"$dir/nginx.conf" <<CONF
load_module /usr/lib/nginx/modules/ngx_stream_module.so;
worker_processes 1;
pid $dir/nginx.pid;
error_log $dir/logs/error.log notice;
events { worker_connections 256; }
stream {
  upstream brevane_sessions {
$upstreams  }
  server {
    listen 127.0.0.1:$port;
    proxy_pass brevane_sessions;
    proxy_connect_timeout 5s;
    proxy_timeout 3600s;
    proxy_next_upstream on;
  }
}
CONF
  nginx -c "$dir/nginx.conf" -p "$dir" -g 'daemon off;' >"$dir/logs/stdout.log" 2>&1 &
  track $!
  wait_port "$port" 10 || { cat "$dir/logs/error.log" "$dir/logs/stdout.log" >&2; fail "balancer did not start on $port"; }
}
