#!/usr/bin/env bash
# Installs what the build and the tests need (Debian packages, when missing and running as root),
# configures and builds. Arguments are build targets (all when none).
#   scripts/build.sh                 plain build in build/
#   SANITIZE=asan scripts/build.sh   AddressSanitizer + UndefinedBehaviorSanitizer, in build-asan/
#   SANITIZE=tsan scripts/build.sh   ThreadSanitizer, in build-tsan/
#   BUILD_TYPE=Release scripts/build.sh   optimized (-O3), in build-release/ (the benchmarks' build)
set -euo pipefail
cd "$(dirname "$0")/.."

# tshark reads the USB captures back; vsmartcard-vpicc and python3-pycryptodome give the vicc
# card emulator behind the vpcd bridge test; the MinGW-w64 compilers build the Windows driver
# (scripts/windows.sh); pcsc-lite's headers build the pcscd reader handler (pcsc/), which the
# tests and the benchmark run in Debian's pcscd with opensc-tool and pyscard, beside vpcd (pcsc_scan,
# which README shows with scripts/pcscd.sh, comes with pcsc-tools); clang and its runtime
# (libFuzzer, the sanitizers) build the fuzz targets (scripts/fuzz.sh); usbip lists zarq7-usbip's
# converters as a USB/IP client sees them (tools.usbip_list); wine64 runs the real x64 image in
# the Wine route's session (windows.wine_route, scripts/wine.sh).
packages=(cmake ninja-build g++ libgtest-dev libgmock-dev libbenchmark-dev tshark vsmartcard-vpicc
          python3-pycryptodome g++-mingw-w64-x86-64 g++-mingw-w64-i686 libpcsclite-dev pcscd opensc
          python3-pyscard vsmartcard-vpcd pcsc-tools clang libclang-rt-dev usbip wine64)
source scripts/packages.sh
install_packages "${packages[@]}"

build=$(scripts/build_folder.sh)
cmake -S . -B "$build" -G Ninja -DSANITIZE="${SANITIZE:-}" -DCMAKE_BUILD_TYPE="${BUILD_TYPE:-Debug}" \
  >/dev/null
targets=()
for t in "$@"; do targets+=(--target "$t"); done
cmake --build "$build" "${targets[@]}"
