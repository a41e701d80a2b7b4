#!/usr/bin/env bash
# Builds three trees: build/native (server tools and portable tests, with the
# sanitizers), build/release (the server tools as operators run them:
# optimised, no sanitizers, no tests; `cmake --install build/release` installs
# them) and build/win (Pellinor.exe, the stamp tool and the Wine tests, with
# loopback deployment values). Packages are installed first if missing.
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
cmake --build "$root/build/win" -j"$jobs"
