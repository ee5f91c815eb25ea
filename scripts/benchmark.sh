#!/usr/bin/env bash
# Builds the benchmarks optimized (Release, in build-release/) and runs them; each prints its table.
set -euo pipefail
cd "$(dirname "$0")/.."
export BUILD_TYPE=Release
scripts/build.sh link_benchmark transport_benchmark zarq7_ifd >&2
build=$(scripts/build_folder.sh)
"$build"/bench/link_benchmark
"$build"/bench/transport_benchmark
# APDU latency through Debian's pcscd, in real time (skips when pcscd, pyscard or vpcd are missing).
/usr/bin/python3 bench/pcscd_latency.py "$build"/pcsc/libzarq7_ifd.so
