# Checks shared by the installing end-to-end tests (sourced after lib.sh).
#
# An install with xco=ON or a hosted preset writes shortcuts into the Wine
# prefix's all-users Desktop and Start Menu; keep_prefix_shortcuts removes
# whatever a test added there when it exits, so tests leave the prefix as
# they found it.

keep_prefix_shortcuts() {
  # Linux paths of the all-users Desktop and Start Menu of the prefix.
  COMMON_DESKTOP=$(unixpath 'C:\users\Public\Desktop')
  COMMON_MENU=$(unixpath 'C:\ProgramData\Microsoft\Windows\Start Menu')
  find "$COMMON_DESKTOP" "$COMMON_MENU" 2>/dev/null | sort >"$SCRATCH/prefix-before.txt"
  trap 'remove_new_shortcuts; cleanup' EXIT
}
remove_new_shortcuts() {
  find "$COMMON_DESKTOP" "$COMMON_MENU" 2>/dev/null | sort >"$SCRATCH/prefix-after.txt"
  comm -13 "$SCRATCH/prefix-before.txt" "$SCRATCH/prefix-after.txt" | sort -r |
    while IFS= read -r added; do rm -rf -- "$added"; done
}

# run_installer EXE ARGS...: runs a copy of the installer under Wine with its
# diagnostic log in $PELLINOR_LOG; sets INSTALLER_STATUS. Gives it 120 s.
run_installer() {
  "$WINE_RUN" "$@" >>"$SCRATCH/installer.out" 2>&1 &
  local pid=$!
  track "$pid"
  wait_exit "$pid" 120 || fail "installer $1 did not finish in 120 s"
  INSTALLER_STATUS=$WAITED_STATUS
}

# manifest_entries MANIFEST [SECTION]: "name size stamp" of each file line of
# the section (default CLIENT), names with '/' between folders.
manifest_entries() {
  local section=${2:-CLIENT}
  tr -d '\r' <"$1" | awk -v want="[$section]" '
    /^\[/ { current = toupper($0); next }
    current == want && /=/ {
      split($0, kv, "="); split(kv[2], ss, ",")
      name = kv[1]; gsub(/\\/, "/", name)
      print name, ss[1], ss[2]
    }'
}

# Last-write time of a DOS stamp (UTC, as the installer sets it), in seconds
# since 1970.
dos_stamp_to_epoch() {
  local s=$1
  date -u -d "$(printf '%04d-%02d-%02d %02d:%02d:%02d' \
    $(((s >> 25) + 1980)) $(((s >> 21) & 15)) $(((s >> 16) & 31)) \
    $(((s >> 11) & 31)) $(((s >> 5) & 63)) $(((s & 31) * 2)))" +%s
}

# check_installed RELEASE MANIFEST INSTALL: every entry of MANIFEST (lines on
# stdin if MANIFEST is -) is in INSTALL, byte-identical to RELEASE, with its
# stamp as last-write time. Sets CHECKED_COUNT to the number checked.
check_installed() {
  local release=$1 manifest=$2 install=$3 name size stamp count=0 facts
  local -A epoch_of=()
  while read -r name size stamp; do
    [ -f "$install/$name" ] || fail "$name was not installed"
    cmp -s "$release/$name" "$install/$name" || fail "$name differs from the release"
    [ -n "${epoch_of[$stamp]:-}" ] || epoch_of[$stamp]=$(dos_stamp_to_epoch "$stamp")
    facts=$(stat -c '%s %Y' "$install/$name")
    [ "$facts" = "$size ${epoch_of[$stamp]}" ] ||
      fail "$name: size and time $facts, expected $size and stamp $stamp (${epoch_of[$stamp]})"
    count=$((count + 1))
  done < <(if [ "$manifest" = - ]; then cat; else manifest_entries "$manifest"; fi)
  CHECKED_COUNT=$count
}
