#!/usr/bin/env bash
# Builds the programs (Release, into build/), then codes and decodes the
# sample image and prints the rate of the compressed file and the PSNR of the
# decoded image. Outputs go to build/demo/; the programs stay in build/apps/,
# and the last lines say how to put them on the PATH.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/setup.sh

log=build/demo-build.log
mkdir -p build
echo "Building (log in $log)..."
if ! { cmake -S . -B build -DCMAKE_BUILD_TYPE=Release &&
       cmake --build build -j"$(nproc)" --target ZALcod ZALdecod Bppquest; } >"$log" 2>&1; then
  tail -n 30 "$log"
  echo "Build failed: see $log" >&2
  exit 1
fi

bin=build/apps
image=data/camera_256x256.pgm
out=build/demo
mkdir -p "$out"

echo
echo "Sample image: $image ($(stat -c %s "$image") bytes)"

echo
echo "Encoding with the default parameters: $out/camera.zal"
"$bin/ZALcod" -i "$image" -o "$out/camera.zal" --verbose | grep -E '^- (Output image size|Final bit rate)'

echo
echo "Decoding: $out/camera.pgm"
"$bin/ZALdecod" -i "$out/camera.zal" -o "$out/camera.pgm" --compare "$image" | grep PSNR

echo
echo "Searching the quantization for 0.5 bpp: $out/camera_0.5bpp.zal"
"$bin/Bppquest" -i "$image" -o "$out/camera_0.5bpp.zal" -b 0.5 --verbose |
  grep -E '^- (Final bit rate|finer quantization)'
"$bin/ZALdecod" -i "$out/camera_0.5bpp.zal" -c "$image" | grep PSNR

# The programs stay in the build folder: nothing is installed.
echo
echo "The programs are in $PWD/$bin. To run them by name, as the README's tour does:"
echo "  export PATH=\"$PWD/$bin:\$PATH\""
