#!/usr/bin/env bash
# Builds the libFuzzer targets with clang under ASan+UBSan and runs each for a while.
# Usage: scripts/fuzz.sh [seconds per target, default 20]
# A longer campaign: scripts/fuzz.sh 3600
set -euo pipefail
cd "$(dirname "$0")/.."
SECONDS_PER_TARGET=${1:-20}
BUILD=build/fuzz
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_CXX_COMPILER=clang++-14 -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DVELMORA_SANITIZE=address,undefined -DVELMORA_BUILD_FUZZ=ON >/dev/null
# Quiet unless it fails: then the compiler's messages are what matters.
if ! cmake --build "$BUILD" -j 2 >"$BUILD/build.log" 2>&1; then
    tail -n 60 "$BUILD/build.log"
    echo "fuzz.sh: the fuzzer build failed" >&2
    exit 1
fi
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
for target in "$BUILD"/fuzz/fuzz_*; do
    [ -x "$target" ] || continue
    name=$(basename "$target")
    corpus="fuzz/corpus/${name#fuzz_}"
    mkdir -p "$corpus"
    work=$(mktemp -d)
    echo "== $name for ${SECONDS_PER_TARGET}s"
    # New inputs go to a scratch folder; the committed corpus is only read. Crash
    # reproducers land in build/fuzz/artifacts.
    mkdir -p "$BUILD/artifacts"
    if ! "$target" -max_total_time="$SECONDS_PER_TARGET" -max_len=256 -print_final_stats=1 \
        -artifact_prefix="$BUILD/artifacts/$name-" "$work" "$corpus" >"$work.log" 2>&1; then
        tail -40 "$work.log"
        echo "fuzzer $name failed"
        exit 1
    fi
    grep -E "stat::number_of_executed_units" "$work.log" || true
    rm -rf "$work" "$work.log"
done
