#!/usr/bin/env bash
# start|stop BUILD: one long-lived Wine process for the duration of a CTest
# run (see tests/win/CMakeLists.txt). Ended by its own PID.
set -u
action=$1 build=$2
pidfile="$build/wine-warm.pid"
case "$action" in
  start)
    setsid "$build/wine-run" "$build/helpers/keepwarm.exe" </dev/null >/dev/null 2>&1 &
    echo $! > "$pidfile"
    # Wait until Wine's server is up, started with no tie to CTest's pipes: the
    # first test would otherwise start it holding its output pipe, and CTest
    # would wait for that server for as long as it lives.
    "$build/wine-run" cmd /c exit </dev/null >/dev/null 2>&1
    echo "warm Wine started, pid $(cat "$pidfile")"
    ;;
  stop)
    if [ -f "$pidfile" ]; then
      pid=$(cat "$pidfile")
      kill "$pid" 2>/dev/null
      for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
      kill -9 "$pid" 2>/dev/null
      rm -f "$pidfile"
    fi
    # Let Wine's services end so nothing outlives the test run.
    for prefix in "$build/wineprefix" "$build/wineprefix-x11"; do
      [ -d "$prefix" ] && WINEPREFIX="$prefix" timeout 30 wineserver -w
    done
    echo "warm Wine stopped"
    ;;
esac
exit 0
