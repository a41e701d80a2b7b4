#!/usr/bin/env bash
# The shipped program: PE32 GUI for i386, system DLLs only, administrator
# manifest with Vista and 7 compatibility, version resource.
. "$(dirname "$0")/lib.sh"
# The shipped build is the 32-bit one: a 64-bit test tree (for hosts that
# cannot run 32-bit programs) names it in PELLINOR_PRODUCT_BUILD.
product=${PELLINOR_PRODUCT_BUILD:-$PELLINOR_BUILD}
PELLINOR_EXE="$product/Pellinor.exe"
PELLINOR_TEST_EXE="$product/Pellinor-test.exe"

info=$(file "$PELLINOR_EXE")
echo "$info"
echo "$info" | grep -q "PE32 executable (GUI) Intel 80386" || fail "not a PE32 GUI i386 program"

# bcrypt.dll: the system's own SHA-256 and signature check (CNG, Vista and later).
allowed="kernel32.dll user32.dll gdi32.dll ws2_32.dll wsock32.dll wininet.dll shell32.dll ole32.dll advapi32.dll msvcrt.dll bcrypt.dll"
dlls=$(i686-w64-mingw32-objdump -p "$PELLINOR_EXE" | sed -n 's/^\s*DLL Name: //p' | tr 'A-Z' 'a-z')
[ -n "$dlls" ] || fail "no import table found"
for dll in $dlls; do
  case " $allowed " in *" $dll "*) ;; *) fail "imports $dll, which is not a system DLL of the allowed set" ;; esac
done
echo "imports: $(echo $dlls)"

# Resources: the manifest and the version block, read from the file itself.
strings -n 8 "$PELLINOR_EXE" > "$SCRATCH/strings.txt"
grep -q 'requestedExecutionLevel level="requireAdministrator"' "$SCRATCH/strings.txt" || fail "no requireAdministrator manifest"
grep -q 'e2011457-1546-43c5-a5fe-008deee3d3f0' "$SCRATCH/strings.txt" || fail "no Vista supportedOS"
grep -q '35138b9a-5d96-4fbd-8e2d-a2440225f93a' "$SCRATCH/strings.txt" || fail "no Windows 7 supportedOS"
strings -n 4 -e l "$PELLINOR_EXE" | grep -qx "Brevane" || fail "no version resource with product name Brevane"

# The program has its own entry point and runs no static constructors: an
# object with one would silently start uninitialised.
libs=("$product"/*/libpellinor_*.a)
[ ${#libs[@]} -ge 7 ] && [ -f "${libs[0]}" ] || fail "module libraries not found: ${libs[*]}"
ctors=$(i686-w64-mingw32-objdump -h "${libs[@]}" | grep -cE '\.ctors|\.init_array')
[ "$ctors" -eq 0 ] || fail "product objects with static constructors: $ctors"

# The test seams are set only by the entry of the program's test build, so
# the shipped file holds none of their settings: the names the test build
# reads must all be there, and none of them (nor any of the prefix) in the
# product.
hooks="PELLINOR_TEST_STALL_MS PELLINOR_TEST_RATE_WINDOW_MS PELLINOR_TEST_COMMIT_PAUSE_MS"
for name in $hooks; do
  grep -qa "$name" "$PELLINOR_TEST_EXE" || fail "the test build does not read $name"
done
for exe in "$PELLINOR_EXE" "$product/Pellinor-testkey.exe"; do
  ! grep -qa 'PELLINOR_TEST' "$exe" || fail "$(basename "$exe") holds a test setting's name"
done
echo "test settings only in the test build: $hooks"

# The product and the test-key program (the same modules, another key),
# each at most 96 KiB; the headroom left is printed.
for exe in "$PELLINOR_EXE" "$product/Pellinor-testkey.exe"; do
  size=$(stat -c %s "$exe")
  echo "size of $(basename "$exe"): $size bytes, headroom $((98304 - size)) bytes under 96 KiB"
  [ "$size" -le 98304 ] || fail "$(basename "$exe") is over 96 KiB by $((size - 98304)) bytes"
done
pass "binary checks"
