#!/usr/bin/env bash
# Installs what the build, the demo and the tests need on a fresh Debian
# machine, as root or through sudo. Packages already present are left alone.
set -euo pipefail
# The compilers and CMake; Google Test for the suite and Google Benchmark for
# bench/; GNU parallel for the batch recipes; groff and man for the manual
# pages; dpkg-dev (dpkg-shlibdeps) and file for the Debian package, since CPack
# runs file to find the programs in it; pkg-config, python3 and numpy for the
# library's C and Python examples; libspng-dev for PNG files, zlib1g-dev for
# the CRC-32.
pkgs=(cmake g++ make libgtest-dev libbenchmark-dev parallel groff-base man-db dpkg-dev file gzip
      pkg-config python3 python3-numpy libspng-dev zlib1g-dev)
need=()
for pkg in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || need+=("$pkg")
done
[ ${#need[@]} -eq 0 ] && exit 0

SUDO=()
if [ "$(id -u)" -ne 0 ]; then
  if ! command -v sudo >/dev/null; then
    echo "Missing packages: ${need[*]}" >&2
    echo "Install them as root (apt-get install ${need[*]}), or install sudo, then run this again." >&2
    exit 1
  fi
  SUDO=(sudo)
fi
echo "Installing ${need[*]}..."
"${SUDO[@]}" apt-get update
# sudo drops the caller's environment, so the variable goes through env.
"${SUDO[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${need[@]}"
