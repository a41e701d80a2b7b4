#!/usr/bin/env bash
# pellinor-stamp on copies of the installer, and the configuration read back
# by a stamped or renamed copy of the config probe (the installer's
# configuration sequence without its window).
. "$(dirname "$0")/lib.sh"
stamp="$PELLINOR_BUILD/pellinor-stamp.exe"
probe="$HELPERS/config_probe.exe"
installer="$PELLINOR_EXE"
for f in "$WINE_RUN" "$stamp" "$probe" "$installer"; do
  [ -e "$f" ] || fail "missing $f (build the cross build first)"
done
run="$WINE_RUN"
work="$SCRATCH"
check() { if [ "$2" = "$3" ]; then pass "$1"; else fail "$1: expected [$3], got [$2]"; fi; }

# Runs the stamp tool; output on stdout without Windows line ends, status in $rc.
stamp() {
  "$run" "$stamp" "$@" >"$work/stdout" 2>"$work/stderr"
  rc=$?
  out=$(tr -d '\r' <"$work/stdout")
}
# Runs a probe copy; its Field=value lines go to $work/probe.out.
probe_run() { "$run" "$@" 2>/dev/null | tr -d '\r' >"$work/probe.out"; }
field() { sed -n "s/^$1=//p" "$work/probe.out"; }

cp "$installer" "$work/in.exe"

# --help
stamp --help
check "--help exits 0" "$rc" 0
case "$out" in *"--in-place"*) pass "--help shows usage" ;; *) fail "--help shows usage" ;; esac

# Write, show, replace, remove.
text='host=srv:81&dir=%AppData%\X&xco=ON'
stamp "$work/in.exe" "$work/a.exe" --text "$text"
check "write exits 0" "$rc" 0
stamp "$work/a.exe" --show
check "show prints the text" "$out" "$text"
cmp -s "$installer" "$work/in.exe" && pass "input unchanged" || fail "input unchanged"
stamp "$work/in.exe" --show
check "show without INSTDATA exits 2" "$rc" 2

stamp "$work/a.exe" "$work/b.exe" --text 'dir=C:\Y&linkname=B'
stamp "$work/b.exe" --show
check "replace" "$out" 'dir=C:\Y&linkname=B'
stamp "$work/b.exe" "$work/c.exe" --remove
check "remove exits 0" "$rc" 0
stamp "$work/c.exe" --show
check "removed INSTDATA is gone" "$rc" 2

# Size limit: 1023 bytes are written, 1024 refused with no output file.
long1023=$(printf 'linkname=%01014d' 0)
stamp "$work/in.exe" "$work/d.exe" --text "$long1023"
check "1023 bytes accepted" "$rc" 0
stamp "$work/d.exe" --show
check "1023 bytes read back" "${#out}" 1023
stamp "$work/in.exe" "$work/e.exe" --text "${long1023}x"
check "1024 bytes refused" "$rc" 1
[ ! -e "$work/e.exe" ] && pass "no output after refusal" || fail "no output after refusal"

# --file drops the line end an editor leaves.
printf 'dir=C:\\F\\&xco=ON\r\n' >"$work/text.txt"
stamp "$work/in.exe" "$work/f.exe" --file "$work/text.txt"
stamp "$work/f.exe" --show
check "--file without line end" "$out" 'dir=C:\F\&xco=ON'

# The input is changed only with --in-place.
cp "$work/in.exe" "$work/g.exe"
stamp "$work/g.exe" "$work/g.exe" --text 'xco=ON'
check "same file refused" "$rc" 1
cmp -s "$installer" "$work/g.exe" && pass "refused file unchanged" || fail "refused file unchanged"
stamp "$work/g.exe" --in-place --text 'xco=ON'
stamp "$work/g.exe" --show
check "--in-place" "$out" 'xco=ON'

# Failures exit 1 (not a crash, not "no INSTDATA"), say something, and
# write no output file.
for args in "$work/missing.exe $work/h.exe --text x" "$work/text.txt $work/h.exe --text x" \
            "$work/in.exe $work/h.exe" "$work/in.exe $work/h.exe --text" \
            "$work/in.exe $work/h.exe --text x --remove" "$work/in.exe $work/h.exe --text ''"; do
  rm -f "$work/h.exe"
  eval "stamp $args"
  if [ "$rc" -eq 1 ] && [ -s "$work/stderr" ] && [ ! -e "$work/h.exe" ]; then
    pass "fails: $args"
  else
    fail "fails: $args (exit $rc$([ -e "$work/h.exe" ] && echo ', output written'))"
  fi
done

# The configuration the program reads from a stamped copy.
stamp "$probe" "$work/probe.exe" --text 'host=srv:81&dir=C:\Stamped&xco=ON&linkname=Stamped Client'
probe_run "$work/probe.exe"
check "INSTDATA source" "$(field Source)" INSTDATA
check "INSTDATA host" "$(field HostName)" srv
check "INSTDATA port one lower" "$(field Port)" 80
check "INSTDATA folder" "$(field InstallDir)" 'C:\Stamped\'
check "INSTDATA xco" "$(field FinalizeInstall)" 1
check "INSTDATA display name with blank" "$(field DisplayName)" 'Stamped Client'

# Any argument on the command line wins over INSTDATA.
probe_run "$work/probe.exe" host=other:81
check "command line source" "$(field Source)" "command line"
check "command line port as given" "$(field Port)" 81
check "INSTDATA unused" "$(field InstallDir)" ""
# Settings the command line leaves alone keep their defaults: the record is
# zero until the configuration sequence puts them in.
check "default display name" "$(field DisplayName)" "Brevane Client"
check "default sections" "$(field SectionSet)" 2
check "default mode" "$(field InstallMode)" 0

# A %AppData% folder is expanded through the environment.
stamp "$probe" "$work/probe2.exe" --text 'dir=%AppData%\Brevane\Stamped'
probe_run "$work/probe2.exe"
case "$(field InstallDir)" in
  [A-Za-z]:\\*\\Brevane\\Stamped\\) pass "%AppData% expanded: $(field InstallDir)" ;;
  *) fail "%AppData% expanded: [$(field InstallDir)]" ;;
esac

# An embedded uninstall only sets the flag; one on the command line ends the
# program before it prints anything.
stamp "$probe" "$work/probe3.exe" --text 'uninstall:C:\Old'
probe_run "$work/probe3.exe"
check "embedded uninstall sets the flag" "$(field UninstallRequested)" 1
check "embedded uninstall folder" "$(field InstallDir)" 'C:\Old\'
probe_run "$work/probe.exe" uninstall
check "command-line uninstall ends the program" "$(cat "$work/probe.out")" ""

# The file name, when there is neither an argument nor INSTDATA.
cp "$probe" "$work/azureEN-!abc-x.exe"
probe_run "$work/azureEN-!abc-x.exe"
check "name source" "$(field Source)" "file name"
check "name hosted preset" "$(field InstallMode)" 2
check "name language" "$(field Language)" EN
check "name parameters code" "$(field ParamsCode)" abc
check "name folder" "$(field InstallDir)" 'C:\ProgramData\Brevane\Azure\'
cp "$probe" "$work/acme-900-My_Office-x.exe"
probe_run "$work/acme-900-My_Office-x.exe"
check "tenant port" "$(field Port)" 900
check "tenant display name" "$(field DisplayName)" "My Office"

# The opt-in log is written where PELLINOR_LOG says.
PELLINOR_LOG="$work/config.log" probe_run "$work/probe.exe"
[ -s "$work/config.log" ] && pass "log written when asked for" || fail "log written when asked for"

pass "configuration and stamping"
