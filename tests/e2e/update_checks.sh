# Helpers of the update tests (sourced after lib.sh and install_checks.sh):
# two versions of a release, and checks that an installed file is wholly one
# of them and that nothing staged complete is fetched again.

# make_versions V1 V2 [MIB]: V1 is the sample release plus four files of
# MIB MiB (default 5); V2
# changes every file's bytes and stamp except EN/help.txt and the empty file
# (an empty entry is up to date whatever its stamp), and adds one.
make_versions() {
  local v1=$1 v2=$2 mib=${3:-5} f
  make_release "$v1"
  for f in 1 2 3 4; do head -c $((mib * 1048576)) /dev/urandom >"$v1/data/big$f.dat"; done
  find "$v1" -type f -exec touch -d '2012-03-15 10:20:30 UTC' {} +
  cp -a "$v1" "$v2"
  (cd "$v2" && find . -type f -size +0 ! -path ./EN/help.txt ! -name files.ver) | while read -r f; do
    head -c "$(stat -c %s "$v2/$f")" /dev/urandom >"$v2/$f"
    touch -d '2014-07-01 09:00:00 UTC' "$v2/$f"
  done
  head -c 700000 /dev/urandom >"$v2/data/added.dat"
  touch -d '2014-07-01 09:00:00 UTC' "$v2/data/added.dat"
}

# check_old_or_new INSTALL V1 V2: every file of either version is, in
# INSTALL, byte for byte its V1 or its V2 version (a file V1 lacks may also
# be missing). Sets OLD_COUNT and NEW_COUNT.
check_old_or_new() {
  local install=$1 v1=$2 v2=$3 name size stamp
  OLD_COUNT=0 NEW_COUNT=0
  while read -r name size stamp; do
    if [ ! -e "$install/$name" ]; then
      [ -e "$v1/$name" ] && fail "$name is missing (neither old nor new)"
      continue
    fi
    if cmp -s "$install/$name" "$v2/$name"; then
      NEW_COUNT=$((NEW_COUNT + 1))
    elif [ -e "$v1/$name" ] && cmp -s "$install/$name" "$v1/$name"; then
      OLD_COUNT=$((OLD_COUNT + 1))
    else
      fail "$name is neither its old nor its new version ($(stat -c %s "$install/$name") bytes)"
    fi
  done < <(manifest_entries "$v2/files.ver")
}

# staged_complete INSTALL MANIFEST: names whose staged file has the listed
# size and the listed stamp as its time (complete by the installer's rule).
staged_complete() {
  local install=$1 manifest=$2 name size stamp facts
  while read -r name size stamp; do
    local staged="$install/Pellinor.staging/new/$name"
    [ -f "$staged" ] || continue
    facts=$(stat -c '%s %Y' "$staged")
    [ "$facts" = "$size $(dos_stamp_to_epoch "$stamp")" ] && echo "$name"
  done < <(manifest_entries "$manifest")
}

# kill_installer PID: ends the installer at once, as a power cut would
# (no shutdown of its own), and waits until it is gone.
kill_installer() {
  kill -9 "$1" 2>/dev/null
  wait_exit "$1" 10 || fail "the installer did not end after SIGKILL"
}
