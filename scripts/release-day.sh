#!/usr/bin/env bash
# Release day as one command: publish a new release beside the live one,
# check every mirror, switch the session host's release link, watch the host.
#
#   release-day.sh --files=DIR --releases=ROOT --name=NAME --mirror=MIRROR \
#                  --site=URL=N [--site=...] [--sign=KEY [--expires=DAYS]] \
#                  [--metrics=URL] [--tools=DIR] [--watch=SECONDS] [--step=STEP]
#
# DIR        the new release's files as the build left them (copied, never changed)
# ROOT       holds one folder per release and the link "current" that the
#            host serves (brevane-sessiond ... ROOT/current)
# NAME       the new release's folder name under ROOT (must not exist)
# MIRROR     the mirror's document root; objects of the new release are
#            added beside the live release's, nothing is removed
# --site     the [SITES] lines of the new files.ver, as brevane-publish takes them
# --sign     sign files.ver with this key; the serial is one above the live
#            release's, so installers never see a rollback
# --metrics  the host's metrics URL: the switch is confirmed there
# --tools    where brevane-publish and brevane-check are (default: PATH,
#            then build/release)
# --step     all (default); stage: publish and check, leave the link; switch:
#            switch to the staged NAME at once (--files, --mirror and --site
#            are then not needed; run brevane-check again first if the
#            mirrors may have changed since staging)
#
# The link moves only when the publish succeeded and brevane-check passed for
# every site; otherwise the live release stays as it is and the exit code is
# 1. Installers already connected finish with the release they started on;
# new connections get the new one. Prune the mirror (brevane-publish --prune)
# only once the old release's installers are done.
set -euo pipefail

die() { echo "release-day: $*" >&2; exit 1; }
say() { echo "release-day: $*"; }

files="" releases="" name="" mirror="" sign="" expires="" metrics="" tools="" watch=30 step=all
sites=()
for arg in "$@"; do
  case $arg in
    --files=*) files=${arg#*=} ;;
    --releases=*) releases=${arg#*=} ;;
    --name=*) name=${arg#*=} ;;
    --mirror=*) mirror=${arg#*=} ;;
    --site=*) sites+=("$arg") ;;
    --sign=*) sign=${arg#*=} ;;
    --expires=*) expires=${arg#*=} ;;
    --metrics=*) metrics=${arg#*=} ;;
    --tools=*) tools=${arg#*=} ;;
    --watch=*) watch=${arg#*=} ;;
    --step=*) step=${arg#*=} ;;
    -h|--help) sed -n '2,30p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) die "unknown argument $arg (see --help)" ;;
  esac
done
case $step in all|stage|switch) ;; *) die "--step must be all, stage or switch" ;; esac
[ -d "$releases" ] || die "--releases=ROOT: no such folder '$releases'"
case $name in ''|*/*|.|..|current|current.next) die "--name must be a plain folder name" ;; esac
target="$releases/$name"
if [ "$step" = switch ]; then
  [ -f "$target/files.ver" ] || die "$target holds no published release (run --step=stage first)"
else
  [ -d "$files" ] || die "--files=DIR: no such folder '$files'"
  [ -d "$mirror" ] || die "--mirror=MIRROR: no such folder '$mirror'"
  [ ${#sites[@]} -gt 0 ] || die "give at least one --site=URL=N"
  [ ! -e "$target" ] || die "$target exists already: every release gets a folder of its own"
fi

here=$(cd "$(dirname "$0")/.." && pwd)
tool() {
  if [ -n "$tools" ]; then echo "$tools/$1"
  elif command -v "$1" >/dev/null; then command -v "$1"
  else echo "$here/build/release/$1"; fi
}
publish=$(tool brevane-publish)
check=$(tool brevane-check)
[ -x "$publish" ] && [ -x "$check" ] || die "brevane-publish or brevane-check not found (--tools=DIR)"

# metric NAME: its value at the host, empty when unreachable.
metric() {
  curl -sf --max-time 5 "$metrics" 2>/dev/null | awk -v n="$1" '$1 == n { print $2 }'
}

live=""
[ -L "$releases/current" ] && live=$(readlink "$releases/current")
say "live release: ${live:-none}"

# 1. Publish into a folder of its own. The copy is staged under a temporary
# name, so a failed day leaves no half release under its real name.
publish_release() {
staging="$releases/.$name.publishing"
rm -rf "$staging"
trap 'rm -rf "$staging"' EXIT
cp -a "$files" "$staging"
args=(--mirror="$mirror" "${sites[@]}" --quiet)
if [ -n "$sign" ]; then
  serial=0
  if [ -f "$releases/current/files.ver.sig" ]; then
    serial=$(sed -n 's/^serial \([0-9]*\)$/\1/p' "$releases/current/files.ver.sig")
    [ -n "$serial" ] || die "cannot read the live release's serial"
  fi
  args+=(--sign="$sign" --serial=$((serial + 1)))
  [ -z "$expires" ] || args+=(--expires="$expires")
fi
"$publish" "${args[@]}" "$staging" || die "publishing failed; the live release is unchanged"
mv -T "$staging" "$target"
trap - EXIT
say "published $target ($(grep -c '=' "$target/files.ver") lines${sign:+, signed serial $((serial + 1))})"
}

# 2. Every mirror must serve every object of the new release.
check_mirrors() {
  if ! "$check" "$target/files.ver"; then
    die "a mirror failed the check; the live release is unchanged (fix the mirror, then run --step=switch)"
  fi
  say "every mirror passed"
}

if [ "$step" != switch ]; then
  publish_release
  check_mirrors
fi
if [ "$step" = stage ]; then
  say "$name is staged; switch with --step=switch"
  exit 0
fi

# 3. Switch the link atomically: a new link under a temporary name, renamed
# over the old one. The host resolves it for each new connection.
before=""
[ -z "$metrics" ] || before=$(metric brevane_release_switches_total)
ln -sfn "$name" "$releases/current.next"
mv -T "$releases/current.next" "$releases/current"
say "switched $releases/current from ${live:-nothing} to $name"

# 4. The host confirms once a new connection has found the new release.
if [ -n "$metrics" ]; then
  [ -n "$before" ] || die "the host's metrics at $metrics do not answer"
  for _ in $(seq $((watch * 2))); do
    now=$(metric brevane_release_switches_total)
    if [ -n "$now" ] && [ "$now" -gt "$before" ]; then
      say "the host serves $name to new connections (sessions open: $(metric brevane_sessions_open))"
      exit 0
    fi
    sleep 0.5
  done
  say "no new connection has reached the host within ${watch} s; it will serve $name to the next one"
fi
