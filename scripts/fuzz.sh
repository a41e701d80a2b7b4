#!/usr/bin/env bash
# Coverage-guided fuzzing of the parsers with libFuzzer (needs clang):
#   scripts/fuzz.sh [TARGET] [SECONDS]   TARGET: manifest protocol config inflate signature chunk_index
# Builds build/fuzz with clang, -fsanitize=fuzzer,address,undefined, and runs
# the target for SECONDS (default 60) from its seed corpus. Crashes are left
# in build/fuzz/crash-* for a regression seed.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
target=${1:-manifest} seconds=${2:-60}
command -v clang++ >/dev/null || { echo "fuzz.sh: clang++ is needed (apt-get install clang)"; exit 1; }
out="$root/build/fuzz"
mkdir -p "$out/corpus-$target"
srcs=$(ls "$root"/tinylib/text.cpp "$root"/tinylib/diaglog.cpp "$root"/tinylib/diaglog_posix.cpp \
  "$root"/tinylib/simple_strings.cpp "$root"/tinylib/tinyzip.cpp "$root"/tinylib/file_names.cpp "$root"/tinylib/sha256*.cpp "$root"/tinylib/chunker.cpp \
  "$root"/tinylib/folders_posix.cpp "$root"/runtime/*.cpp "$root"/manifest/*.cpp \
  "$root"/transfer/protocol.cpp "$root"/config/*.cpp | grep -v '_win\.cpp$')
cmake -S "$root" -B "$out/gen" -G Ninja -DPELLINOR_TESTS=OFF >/dev/null  # for generated/deployment.h
srcs="$srcs $out/gen/generated/pellinor_release_key_data.cpp"  # the key data (keyless)
clang++ -std=c++17 -g -O1 -fsanitize=fuzzer,address,undefined -I"$root" -I"$out/gen/generated" \
  "$root/tests/fuzz/fuzz_$target.cpp" $srcs -lz -lcrypto -lpthread -o "$out/fuzz_$target"
cd "$out" && "./fuzz_$target" -max_total_time="$seconds" "corpus-$target" "$root/tests/fuzz/corpus/$target"
