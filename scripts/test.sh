#!/usr/bin/env bash
# Builds everything (installing what is missing, see build.sh) and runs every test.
#   scripts/test.sh                 plain build in build/
#   SANITIZE=asan scripts/test.sh   AddressSanitizer + UndefinedBehaviorSanitizer, in build-asan/
#   SANITIZE=tsan scripts/test.sh   ThreadSanitizer, in build-tsan/
#   BUILD_TYPE=Release scripts/test.sh   optimized, in build-release/
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/build.sh
build=$(scripts/build_folder.sh)
ctest --test-dir "$build" --output-on-failure -j "$(nproc)"
