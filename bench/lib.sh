# Shared by the benchmarks (sourced): the release build's tools, a scratch
# folder whose servers end with the script, a free port, a plain nginx, and
# readers of CPU time and of the load client's key=value lines. Expects
# $build where bench_tools is used.

# Sets sessiond, publish and client; stops when one is not built.
bench_tools() {
  sessiond="$build/brevane-sessiond"
  publish="$build/brevane-publish"
  client="$build/bench/load_client"
  local f
  for f in "$sessiond" "$publish" "$client"; do
    [ -x "$f" ] || { echo "missing $f (scripts/build.sh builds the release tree)" >&2; exit 1; }
  done
}

# bench_work NAME: a new scratch folder in $work; every PID put in pids is
# ended, and the folder removed, when the script exits.
bench_work() {
  work=$(mktemp -d "${TMPDIR:-/tmp}/pellinor-$1.XXXXXX")
  pids=()
  trap bench_cleanup EXIT
}
bench_cleanup() {
  local pid
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
  wait 2>/dev/null
  rm -rf "$work"
}

# CPU seconds (user and system) the given PIDs have used, summed.
cpu_of() {
  local total=0 pid
  for pid in "$@"; do
    total=$(awk -v t="$total" -v hz="$(getconf CLK_TCK)" '{ sub(/.*\) /, ""); split($0, f, " "); print t + (f[12] + f[13]) / hz }' "/proc/$pid/stat")
  done
  echo "$total"
}

# field LINE KEY: the value of KEY=value in a line of the load client.
field() { tr ' ' '\n' <<<"$1" | awk -F= -v k="$2" '$1 == k { print $2 }'; }

# A TCP port free on loopback right now.
free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }

# bench_nginx ROOT PORT: nginx serving ROOT on 127.0.0.1:PORT from
# $work/nginx-PORT, its access log there as access.log; it ends with the
# script. Returns once it answers (at most 5 s).
bench_nginx() {
  local dir="$work/nginx-$2"
  mkdir -p "$dir/tmp"
  chmod 755 "$work"  # nginx's workers run as another user
  cat >"$dir/nginx.conf" <<CONF
worker_processes 2;
pid $dir/nginx.pid;
error_log $dir/error.log warn;
events { worker_connections 256; }
http {
  access_log $dir/access.log;
  client_body_temp_path $dir/tmp;
  proxy_temp_path $dir/tmp;
  fastcgi_temp_path $dir/tmp;
  uwsgi_temp_path $dir/tmp;
  scgi_temp_path $dir/tmp;
  default_type application/octet-stream;
  server { listen 127.0.0.1:$2; root $1; }
}
CONF
  nginx -c "$dir/nginx.conf" -p "$dir" -g 'daemon off;' >/dev/null 2>&1 &
  pids+=($!)
  for _ in $(seq 50); do
    (exec 3<>"/dev/tcp/127.0.0.1/$2") 2>/dev/null && return 0
    sleep 0.1
  done
  echo "nginx did not start on $2" >&2
  return 1
}
