#!/bin/sh
# The configure-time conversion of PELLINOR_RELEASE_KEY: a P-256 public key
# becomes its 64-byte point; anything else stops the configuration with a
# message that names the problem. Keys are made here and thrown away.
#   release-key-cmake-test.sh CMAKE RELEASE_KEY_CMAKE
set -u
cmake=$1 script=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

convert() {  # key file -> source; prints cmake's output
  "$cmake" -DPELLINOR_RELEASE_KEY="$1" -DRELEASE_KEY_SOURCE="$work/out.cpp" -P "$script" 2>&1
}

openssl ecparam -name prime256v1 -genkey -noout | openssl pkcs8 -topk8 -nocrypt -out private.pem
openssl pkey -in private.pem -pubout -out public.pem

# The genuine key: the source holds exactly the point's 64 bytes.
rm -f out.cpp
convert public.pem >log || { cat log; fail "a P-256 public key was refused"; }
expected=$(openssl pkey -pubin -in public.pem -outform DER | tail -c 64 | od -An -v -tx1 | tr -d ' \n')
got=$(sed -n 's/.*kReleaseKey\[64\] = {\(.*\)};/\1/p' out.cpp | sed 's/0x//g; s/,//g')
[ "$got" = "$expected" ] || fail "key bytes: got '$got', expected '$expected'"
grep -q 'kHaveReleaseKey = true' out.cpp || fail "keyed source without kHaveReleaseKey = true"

# Keyless.
convert "" >log || { cat log; fail "an empty key was refused"; }
grep -q 'kHaveReleaseKey = false' out.cpp || fail "keyless source without kHaveReleaseKey = false"

# Each of these must stop with its message, leaving no keyed source behind.
openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:1024 2>/dev/null | openssl pkey -pubout -out rsa.pem
openssl ecparam -name secp384r1 -genkey -noout | openssl pkey -pubout -out p384.pem
echo "not a key" > junk.pem
mkdir folder.pem
for c in "missing.pem:no such file" "folder.pem:no such file" "junk.pem:is not a PEM public key" \
         "private.pem:is not a PEM public key" "rsa.pem:is not an ECDSA P-256 public key" \
         "p384.pem:is not an ECDSA P-256 public key"; do
  file=${c%%:*} message=${c#*:}
  rm -f out.cpp
  if convert "$file" >log; then
    fail "$file was accepted"
  else
    tr '\n' ' ' <log | tr -s ' ' | grep -q "PELLINOR_RELEASE_KEY: .*$message" || { cat log; fail "$file: no message '$message'"; }
  fi
  [ ! -e out.cpp ] || fail "$file left a source"
done

[ $failures -eq 0 ] && echo "release key conversion: all cases pass"
exit $failures
