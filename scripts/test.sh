#!/usr/bin/env bash
# Builds everything (installing what is missing, see build.sh) and runs every test.
#   scripts/test.sh                 plain build in build/
#   SANITIZE=asan scripts/test.sh   AddressSanitizer + UndefinedBehaviorSanitizer, in build-asan/
#   SANITIZE=tsan scripts/test.sh   ThreadSanitizer, in build-tsan/
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/build.sh
sanitize=${SANITIZE:-}
build=build${sanitize:+-$sanitize}
ctest --test-dir "$build" --output-on-failure -j "$(nproc)"
