#!/usr/bin/env bash
# The C++ tests under AddressSanitizer + UndefinedBehaviorSanitizer (LeakSanitizer included),
# and the threading tests under ThreadSanitizer, built with clang.
set -euo pipefail
cd "$(dirname "$0")/.."

build_and_test() {
    local dir=$1 sanitize=$2 filter=$3
    cmake -S . -B "$dir" -G Ninja -DCMAKE_CXX_COMPILER=clang++-14 -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DVELMORA_SANITIZE="$sanitize" -DVELMORA_BUILD_TESTS=ON -DVELMORA_BUILD_PYTHON=OFF >/dev/null
    # Quiet unless it fails: then the compiler's messages are what matters.
    if ! cmake --build "$dir" -j 2 --target velmora_tests >"$dir/build.log" 2>&1; then
        tail -n 60 "$dir/build.log"
        echo "sanitize.sh: the $sanitize build failed" >&2
        exit 1
    fi
    echo "== C++ tests under $sanitize ($filter)"
    "$dir/velmora_tests" --gtest_brief=1 --gtest_filter="$filter"
}

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
build_and_test build/asan address,undefined "*"
build_and_test build/tsan thread "*Thread*:*Watchdog*:*Concurren*:*HandlerLock*:*Notification*:*HostCallFromASubscriber*"
