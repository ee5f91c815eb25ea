#!/usr/bin/env bash
# Builds the benchmarks optimized (Release, in build-release/) and runs them; each prints its table.
set -euo pipefail
cd "$(dirname "$0")/.."
export BUILD_TYPE=Release
scripts/build.sh link_benchmark transport_benchmark >&2
build=$(scripts/build_folder.sh)
"$build"/bench/link_benchmark
"$build"/bench/transport_benchmark
