# Shared helpers for the end-to-end tests (sourced). Each test gets its own
# scratch folder; everything a test starts is recorded by PID and ended on exit.
set -u
: "${PELLINOR_BUILD:?set by CTest}"
WINE_RUN="$PELLINOR_BUILD/wine-run"
PELLINOR_EXE="$PELLINOR_BUILD/Pellinor.exe"
HELPERS="$PELLINOR_BUILD/helpers"
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
