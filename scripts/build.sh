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
# card emulator behind the vpcd bridge test.
packages=(cmake ninja-build g++ libgtest-dev libgmock-dev libbenchmark-dev tshark vsmartcard-vpicc
          python3-pycryptodome)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  if [[ $(id -u) -eq 0 ]]; then
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >&2
  else
    echo "missing Debian packages (run as root to install them): ${missing[*]}" >&2
    exit 1
  fi
fi

build=$(scripts/build_folder.sh)
cmake -S . -B "$build" -G Ninja -DSANITIZE="${SANITIZE:-}" -DCMAKE_BUILD_TYPE="${BUILD_TYPE:-Debug}" \
  >/dev/null
targets=()
for t in "$@"; do targets+=(--target "$t"); done
cmake --build "$build" "${targets[@]}"
