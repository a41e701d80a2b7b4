# Shared by the session-host benchmarks (sourced): the release build's tools,
# a scratch folder whose servers end with the script, and readers of CPU time
# and of the load client's key=value lines. Expects $build.

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
