#!/usr/bin/env bash
# Builds and runs the benchmarks; each prints its table.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/build.sh link_benchmark transport_benchmark >&2
build/bench/link_benchmark
build/bench/transport_benchmark
