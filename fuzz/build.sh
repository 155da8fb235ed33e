#!/usr/bin/env bash
# Builds the fuzz targets with clang's libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer, apart from the project's normal g++ build.
# Usage: fuzz/build.sh [output-dir]   (default: build-libfuzzer)
# FUZZ_FLAGS adds compiler flags, e.g. FUZZ_FLAGS=-DZALFUZZ_CELDAS=1048576 for
# a run on planes up to 2^20 cells (see fuzz/targets.h).
# Needs the Debian packages clang-14, libclang-rt-14-dev and libfuzzer-14-dev,
# and libspng-dev as the normal build does. libspng itself is linked as the
# system has it, not instrumented: the target checks what ZAL makes of it.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$root/build-libfuzzer}
cxx=${CXX_FUZZ:-clang++-14}
mkdir -p "$out/obj"

# Same floating-point rules as the normal build: results must not depend on
# the compiler's contraction of multiply-adds.
flags=(-std=c++20 -O1 -g -fno-omit-frame-pointer -ffp-contract=off -fno-fast-math
       -Wall -Wextra -fno-sanitize-recover=undefined -I"$root" -I"$root/include" -I"$root/tests"
       $(pkg-config --cflags spng zlib) ${FUZZ_FLAGS:-})

objs=()
for src in "$root"/entropy/*.cpp "$root"/wavelet/*.cpp "$root"/coder/*.cpp \
           "$root"/image/*.cpp "$root"/timing/*.cpp; do
  obj="$out/obj/$(basename "${src%.cpp}").o"
  "$cxx" "${flags[@]}" -fsanitize=fuzzer-no-link,address,undefined -c "$src" -o "$obj"
  objs+=("$obj")
done

for driver in "$root"/fuzz/fuzz_*.cpp; do
  name=$(basename "${driver%.cpp}")
  "$cxx" "${flags[@]}" -fsanitize=fuzzer,address,undefined "$driver" "${objs[@]}" -pthread \
    $(pkg-config --libs spng zlib) -o "$out/$name"
  echo "built $out/$name"
done
