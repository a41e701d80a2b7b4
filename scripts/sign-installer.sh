#!/usr/bin/env bash
# Code-signs an installer (Authenticode, SHA-256) with the operator's
# certificate and key. Sign last: stamping INSTDATA after signing breaks the
# signature, which is why pellinor-stamp refuses a signed input.
#
#   sign-installer.sh IN.exe OUT.exe --pkcs12 FILE [--pass-file FILE]
#   sign-installer.sh IN.exe OUT.exe --cert CERT.pem --key KEY.pem [--pass-file FILE]
#   options: [--timestamp URL] [--name TEXT] [--url URL] [--ca CA.pem]
#
# --timestamp asks an RFC 3161 server to countersign, so the signature stays
# valid after the certificate expires. --ca verifies the result against that
# chain. OUT is written whole or not at all; IN is never changed.
set -euo pipefail

usage() { sed -n '2,13p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 2; }
die() { echo "sign-installer: $*" >&2; exit 1; }

[ $# -ge 2 ] || usage
in=$1 out=$2
shift 2
pkcs12="" cert="" key="" pass="" timestamp="" name="Brevane installer" url="" ca=""
while [ $# -gt 0 ]; do
  case $1 in
    --pkcs12) pkcs12=${2:?}; shift 2 ;;
    --cert) cert=${2:?}; shift 2 ;;
    --key) key=${2:?}; shift 2 ;;
    --pass-file) pass=${2:?}; shift 2 ;;
    --timestamp) timestamp=${2:?}; shift 2 ;;
    --name) name=${2:?}; shift 2 ;;
    --url) url=${2:?}; shift 2 ;;
    --ca) ca=${2:?}; shift 2 ;;
    *) usage ;;
  esac
done
command -v osslsigncode >/dev/null || die "osslsigncode is missing (apt-get install osslsigncode)"
[ -f "$in" ] || die "cannot find $in"
if [ -n "$pkcs12" ]; then
  [ -z "$cert$key" ] || die "give --pkcs12 or --cert with --key, not both"
  [ -f "$pkcs12" ] || die "cannot find $pkcs12"
  what=(-pkcs12 "$pkcs12")
else
  [ -n "$cert" ] && [ -n "$key" ] || die "give --pkcs12 FILE, or --cert and --key"
  [ -f "$cert" ] && [ -f "$key" ] || die "cannot find $cert or $key"
  what=(-certs "$cert" -key "$key")
fi
[ -z "$pass" ] || what+=(-readpass "$pass")
[ -z "$url" ] || what+=(-i "$url")
[ -z "$timestamp" ] || what+=(-ts "$timestamp")

# A signed input would get a second, nested signature: sign the unsigned build.
if osslsigncode extract-signature -in "$in" -out /dev/null >/dev/null 2>&1; then
  die "$in is signed already; sign the unsigned (stamped) program"
fi

tmp=$(mktemp "$(dirname "$out")/.sign.XXXXXX")
trap 'rm -f "$tmp"' EXIT
rm -f "$tmp"  # osslsigncode will not write over a file
osslsigncode sign "${what[@]}" -h sha256 -n "$name" -in "$in" -out "$tmp" >/dev/null ||
  die "signing failed"

# The PE checksum covers the signature too; osslsigncode sets it, and a
# wrong one makes some policy checks refuse the program.
report=$(osslsigncode verify -in "$tmp" ${ca:+-CAfile "$ca"} 2>&1) && verified=1 || verified=0
# osslsigncode prints one "PE checksum" line when the stored value is right,
# and a "Current"/"Calculated" pair with a warning when it is not.
checksum=$(sed -n 's/^PE checksum *: *\([0-9A-Fa-f]*\).*/\1/p' <<<"$report")
[ -n "$checksum" ] && [ "$checksum" != 00000000 ] ||
  die "the PE checksum of the signed file is not set right: $(grep -i -m2 'checksum' <<<"$report")"
if [ -n "$ca" ] && [ $verified -ne 1 ]; then
  die "the signed file does not verify against $ca: $(grep -i -m3 'fail\|error' <<<"$report")"
fi
mv -f "$tmp" "$out"
trap - EXIT
echo "sign-installer: signed $out ($(($(stat -c %s "$out") - $(stat -c %s "$in"))) bytes of signature)"
