#!/usr/bin/env bash
# Builds three trees: build/native (server tools and portable tests, with the
# sanitizers), build/release (the server tools as operators run them:
# optimised, no sanitizers, no tests; `cmake --install build/release` installs
# them) and build/win (Pellinor.exe, the stamp tool and the Wine tests, with
# loopback deployment values); on a host that cannot execute 32-bit programs
# also build/win64, the Windows tests built for 64-bit Windows. Packages are
# installed first if missing.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
jobs=${PELLINOR_JOBS:-2}

bash "$root/scripts/install-deps.sh"

cmake -S "$root" -B "$root/build/native" -G Ninja -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build "$root/build/native" -j"$jobs"

cmake -S "$root" -B "$root/build/release" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DPELLINOR_SANITIZE=OFF -DPELLINOR_TESTS=OFF >/dev/null
cmake --build "$root/build/release" -j"$jobs"

cmake -S "$root" -B "$root/build/win" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-mingw-i686.cmake" \
  -C "$root/cmake/test-deployment.cmake" \
  -DPELLINOR_NATIVE_BUILD="$root/build/native" >/dev/null
# A host that cannot execute 32-bit programs cannot run the 32-bit build
# under Wine: there the 32-bit tree builds only the programs e2e.binary
# examines, and the tests run the same sources built for 64-bit Windows.
if [ "$(bash "$root/scripts/wine-bits.sh")" = 32 ]; then
  cmake --build "$root/build/win" -j"$jobs"
else
  cmake --build "$root/build/win" -j"$jobs" --target Pellinor PellinorTest PellinorTestKey pellinor-stamp
  cmake -S "$root" -B "$root/build/win64" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-mingw-x86_64.cmake" \
    -C "$root/cmake/test-deployment.cmake" \
    -DPELLINOR_NATIVE_BUILD="$root/build/native" -DPELLINOR_PRODUCT_BUILD="$root/build/win" >/dev/null
  cmake --build "$root/build/win64" -j"$jobs"
fi
