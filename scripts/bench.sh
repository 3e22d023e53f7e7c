#!/usr/bin/env bash
# The benchmarks: builds the core, the extension and the C++ benchmark program in Release
# (its own build folder; nothing is installed), then runs the C++ benchmark and the
# host-level script. Both print their figures and the performance targets with PASS/FAIL,
# and write JSON into the build folder. No figure fails the run.
#
# Usage: scripts/bench.sh [--quick]
#   --quick              fewer repetitions (a rough look in about a minute)
#   BENCH_DIR=path       build folder (default build/bench-release)
#   VELMORA_SKIP_DEPS=1  do not run scripts/install-deps.sh first
set -euo pipefail
cd "$(dirname "$0")/.."

PYTHON=${PYTHON:-python3}
BUILD=${BENCH_DIR:-build/bench-release}
CORE_ARGS=()
HOST_ARGS=()
if [ "${1:-}" = "--quick" ]; then
    CORE_ARGS=(--benchmark_repetitions=3 --benchmark_min_time=0.05
               --benchmark_enable_random_interleaving=true
               --benchmark_display_aggregates_only=true)
    HOST_ARGS=(--reps 5 --rounds 9 --cycles 1000)
fi

if [ "${VELMORA_SKIP_DEPS:-0}" != 1 ]; then scripts/install-deps.sh; fi

echo "== build (Release) in $BUILD"
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DVELMORA_BUILD_PYTHON=ON -DVELMORA_BUILD_BENCH=ON -DVELMORA_BUILD_STUBS=OFF \
    -DPython_EXECUTABLE="$(command -v "$PYTHON")" >/dev/null
cmake --build "$BUILD" --target velmora_bench _core
SITE="$BUILD/site/velmora"
mkdir -p "$SITE"
for f in python/velmora/*.py; do ln -sf "$(pwd)/$f" "$SITE/"; done
ln -sf "$(pwd)/$(ls "$BUILD"/_core*.so | head -1)" "$SITE/"

echo "== machine: $(nproc) CPUs, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ //')"
echo "== C++ core (bench/velmora_bench)"
"$BUILD/bench/velmora_bench" --json="$BUILD/bench_core.json" \
    --benchmark_out="$BUILD/bench_core_gbench.json" --benchmark_out_format=json \
    "${CORE_ARGS[@]}"

echo
echo "== host level (bench/bench_host.py)"
PYTHONPATH="$BUILD/site" "$PYTHON" bench/bench_host.py --json "$BUILD/bench_host.json" \
    "${HOST_ARGS[@]}"
