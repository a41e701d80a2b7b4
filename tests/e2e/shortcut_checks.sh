# Shortcut checks shared by the install and uninstall end-to-end tests
# (sourced after lib.sh).
#
# Installs write shortcuts into the Wine prefix's all-users Desktop and Start
# Menu, and the hosted presets install below its ProgramData; everything a
# test adds there is removed when it exits.

COMMON_DESKTOP_WIN='C:\users\Public\Desktop'
COMMON_MENU_WIN='C:\ProgramData\Microsoft\Windows\Start Menu'
# Real paths: winepath answers through dosdevices/c:, whose colon would not
# survive the way back to a Windows path.
prefix_path() { realpath -m "$(unixpath "$1")"; }
COMMON_DESKTOP=$(prefix_path "$COMMON_DESKTOP_WIN")
COMMON_MENU=$(prefix_path "$COMMON_MENU_WIN")
PROGRAM_DATA=$(prefix_path 'C:\ProgramData')
TEMP_COPY=$(prefix_path 'C:\users\root\Temp')/Pellinor.exe
[ -n "$COMMON_DESKTOP" ] && [ -n "$COMMON_MENU" ] || fail "prefix folders not found"
mkdir -p "$COMMON_DESKTOP" "$COMMON_MENU"

prefix_entries() {
  find "$COMMON_DESKTOP" "$COMMON_MENU" "$PROGRAM_DATA/Brevane" "$TEMP_COPY" 2>/dev/null | sort
}
keep_prefix_clean() {
  prefix_entries >"$SCRATCH/prefix-before.txt"
  trap 'remove_prefix_additions; cleanup' EXIT
}
remove_prefix_additions() {
  prefix_entries >"$SCRATCH/prefix-after.txt"
  comm -13 "$SCRATCH/prefix-before.txt" "$SCRATCH/prefix-after.txt" | sort -r |
    while IFS= read -r added; do rm -rf -- "$added"; done
}

# run_wine TIMEOUT PROGRAM ARGS...: runs a Windows program; sets RUN_STATUS.
run_wine() {
  local seconds=$1; shift
  "$WINE_RUN" "$@" >>"$SCRATCH/wine.out" 2>&1 &
  local pid=$!
  track "$pid"
  wait_exit "$pid" "$seconds" || fail "$(basename "$1") did not finish in $seconds s"
  RUN_STATUS=$WAITED_STATUS
}

# link_field LINUX_LNK FIELD: target, args or cwd of a shortcut, read back
# through the shell's IPersistFile::Load.
link_field() {
  "$WINE_RUN" "$HELPERS/shelllink.exe" read "$(wpath "$1")" 2>/dev/null | tr -d '\r' |
    sed -n "s/^$2=//p"
}

# check_link LINUX_LNK TARGET ARGS CWD (Windows texts): fails on a difference.
check_link() {
  [ -f "$1" ] || fail "shortcut $1 missing"
  local got
  got=$(link_field "$1" target); [ "$got" = "$2" ] || fail "$1: target [$got], expected [$2]"
  got=$(link_field "$1" args); [ "$got" = "$3" ] || fail "$1: arguments [$got], expected [$3]"
  got=$(link_field "$1" cwd); [ "$got" = "$4" ] || fail "$1: working folder [$got], expected [$4]"
}

# The link list as Linux text lines, CR removed; LINKS_CRLF counts CR LF ends.
read_linkfiles() {
  LINKS_CRLF=$(grep -c $'\r$' "$1")
  mapfile -t LINKS < <(tr -d '\r' <"$1")
}

# wait_for_log PATTERN SECONDS: polls the diagnostic log.
wait_for_log() {
  local pattern=$1 seconds=$2
  for _ in $(seq $((seconds * 10))); do
    grep -q -- "$pattern" "$PELLINOR_LOG" 2>/dev/null && return 0
    sleep 0.1
  done
  return 1
}

# A flat test release: the stand-in client and two small files.
make_client_release() {
  local dir=$1
  mkdir -p "$dir"
  cp "$HELPERS/lumaris.exe" "$dir/Lumaris.exe"
  head -c 70000 /dev/urandom >"$dir/client.dll"
  echo "client settings" >"$dir/client.cfg"
  find "$dir" -type f -exec touch -d '2012-03-15 10:20:30 UTC' {} +
}
