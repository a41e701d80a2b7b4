#!/usr/bin/env bash
# Code signing: a throwaway CA and code-signing certificate made here (no key
# is kept anywhere), a stamped installer signed with them as PKCS#12 and as
# PEM. The signature verifies, also on a renamed copy; one flipped code byte
# and stamping after signing both break it; the stamp tool refuses a signed
# input unless asked to drop the signature; the signed program installs.
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/install_checks.sh"
keep_prefix_shortcuts
command -v osslsigncode >/dev/null || fail "osslsigncode is missing"
SIGN="$PELLINOR_SOURCE/scripts/sign-installer.sh"
stamp() { "$WINE_RUN" "$PELLINOR_BUILD/pellinor-stamp.exe" "$@"; }
pki="$SCRATCH/pki"
mkdir -p "$pki"

# 1. The CA, and a code-signing certificate it issues.
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$pki/ca.key" -out "$pki/ca.pem" -days 2 \
  -subj "/CN=Pellinor Test CA" -addext "basicConstraints=critical,CA:TRUE" \
  -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null || fail "CA"
openssl req -newkey rsa:2048 -nodes -keyout "$pki/signer.key" -out "$pki/signer.csr" \
  -subj "/CN=Pellinor Test Publisher" 2>/dev/null || fail "signer request"
printf 'basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\n' \
  >"$pki/ext"
openssl x509 -req -in "$pki/signer.csr" -CA "$pki/ca.pem" -CAkey "$pki/ca.key" -CAcreateserial \
  -days 2 -extfile "$pki/ext" -out "$pki/signer.pem" 2>/dev/null || fail "signer certificate"
echo "test-pass" >"$pki/pass"
openssl pkcs12 -export -in "$pki/signer.pem" -inkey "$pki/signer.key" -certfile "$pki/ca.pem" \
  -passout "file:$pki/pass" -out "$pki/signer.p12" || fail "PKCS#12"

verifies() { osslsigncode verify -in "$1" -CAfile "$pki/ca.pem" >"$SCRATCH/verify.out" 2>&1; }

# 2. Build, stamp, sign: both key forms verify, and so does a renamed copy.
release="$SCRATCH/release"
make_release "$release"
"$PUBLISH" "$release" >/dev/null || fail "brevane-publish failed"
start_sessiond "$release"
install="$SCRATCH/install"
stamp "$(wpath "$PELLINOR_EXE")" "$(wpath "$SCRATCH/stamped.exe")" \
  --text "host=127.0.0.1:$((SESSION_PORT + 1))&dir=$(wpath "$install")&xco=ON" 2>/dev/null ||
  fail "stamping the unsigned program failed"
"$SIGN" "$SCRATCH/stamped.exe" "$SCRATCH/signed.exe" --pkcs12 "$pki/signer.p12" \
  --pass-file "$pki/pass" --ca "$pki/ca.pem" >/dev/null || fail "signing with PKCS#12 failed"
verifies "$SCRATCH/signed.exe" || fail "the signed program does not verify: $(cat "$SCRATCH/verify.out")"
"$SIGN" "$SCRATCH/stamped.exe" "$SCRATCH/signed-pem.exe" --cert "$pki/signer.pem" \
  --key "$pki/signer.key" >/dev/null || fail "signing with PEM failed"
verifies "$SCRATCH/signed-pem.exe" || fail "the PEM-signed program does not verify"
cp "$SCRATCH/signed.exe" "$SCRATCH/azureEN-!abc-x.exe"
verifies "$SCRATCH/azureEN-!abc-x.exe" || fail "a renamed signed copy does not verify"
cmp -s "$SCRATCH/stamped.exe" "$SCRATCH/signed.exe" && fail "signing changed nothing"
added=$(($(stat -c %s "$SCRATCH/signed.exe") - $(stat -c %s "$SCRATCH/stamped.exe")))
pass "signed (PKCS#12 and PEM) and renamed copies verify; the signature adds $added bytes"

# 3. The checks can fail: another CA, a flipped byte in the code section.
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$pki/other.key" -out "$pki/other.pem" -days 2 \
  -subj "/CN=Other CA" 2>/dev/null
osslsigncode verify -in "$SCRATCH/signed.exe" -CAfile "$pki/other.pem" >/dev/null 2>&1 &&
  fail "the signature verified against a CA that did not issue it"
text_hex=$(objdump -h "$SCRATCH/signed.exe" | awk '$2 == ".text" { print $6 }')
[ -n "$text_hex" ] || fail "no .text section found"
text_offset=$((16#$text_hex))
cp "$SCRATCH/signed.exe" "$SCRATCH/flipped.exe"
at=$((text_offset + 100))
byte=$(od -An -tu1 -j "$at" -N1 "$SCRATCH/flipped.exe" | tr -d ' ')
printf "\\$(printf '%03o' $((byte ^ 1)))" | dd of="$SCRATCH/flipped.exe" bs=1 seek="$at" conv=notrunc 2>/dev/null
cmp -s "$SCRATCH/signed.exe" "$SCRATCH/flipped.exe" && fail "the byte was not flipped"
verifies "$SCRATCH/flipped.exe" && fail "a program with a flipped code byte still verifies"
pass "refused: another CA, one flipped code byte"

# 4. Stamping a signed program: refused and nothing written, unless the
# signature is dropped on purpose; then the result no longer verifies.
stamp "$(wpath "$SCRATCH/signed.exe")" "$(wpath "$SCRATCH/restamped.exe")" --text "xco=ON" \
  >/dev/null 2>&1 && fail "the stamp tool stamped a signed program"
[ ! -e "$SCRATCH/restamped.exe" ] || fail "a refused stamp left an output"
before=$(sha256sum <"$SCRATCH/signed.exe")
stamp "$(wpath "$SCRATCH/signed.exe")" --in-place --remove >/dev/null 2>&1 &&
  fail "the stamp tool changed a signed program in place"
[ "$(sha256sum <"$SCRATCH/signed.exe")" = "$before" ] || fail "a refused in-place stamp changed the file"
stamp "$(wpath "$SCRATCH/signed.exe")" "$(wpath "$SCRATCH/restamped.exe")" --text "xco=ON" \
  --strip-signature >/dev/null 2>&1 || fail "--strip-signature did not stamp"
verifies "$SCRATCH/restamped.exe" && fail "a program stamped after signing still verifies"
osslsigncode extract-signature -in "$SCRATCH/restamped.exe" -out "$SCRATCH/sig.der" >/dev/null 2>&1 &&
  fail "the stripped program still carries a signature"
[ "$(stamp "$(wpath "$SCRATCH/restamped.exe")" --show 2>/dev/null | tr -d '\r')" = "xco=ON" ] ||
  fail "the stripped program does not carry the new text"
"$SIGN" "$SCRATCH/restamped.exe" "$SCRATCH/resigned.exe" --pkcs12 "$pki/signer.p12" \
  --pass-file "$pki/pass" --ca "$pki/ca.pem" >/dev/null || fail "re-signing after the stamp failed"
pass "a signed input is refused by the stamp tool; stripped, stamped and signed again it verifies"

# 5. The signed program still installs.
run_installer "$SCRATCH/signed.exe"
[ "$INSTALLER_STATUS" -eq 0 ] || fail "the signed program exited $INSTALLER_STATUS"
check_installed "$release" "$release/files.ver" "$install"
[ "$CHECKED_COUNT" -gt 0 ] || fail "nothing was checked"
pass "the signed, stamped program installs ($CHECKED_COUNT files identical)"
