#!/usr/bin/env bash
# The test command: installs what the tests need on a bare machine, builds once (one CMake
# build folder for the extension and the C++ tests), runs ctest and pytest, then the C++
# tests under sanitizers and each fuzzer for a short time; the Python tests also run on the
# oldest and the newest supported Python (scripts/test-pythons.sh). Fails on any failure.
# VELMORA_QUICK=1 skips the other Pythons, sanitizer and fuzz stages (for a fast local loop).
set -euo pipefail
cd "$(dirname "$0")/.."

PYTHON=${PYTHON:-python3}
BUILD_DIR=${BUILD_DIR:-build/dev}

scripts/install-deps.sh

echo "== build and install"
"$PYTHON" -m pip install --quiet --no-build-isolation --root-user-action=ignore \
    -Cbuild-dir="$BUILD_DIR" \
    -Ccmake.define.VELMORA_BUILD_TESTS=ON \
    -Ccmake.build-type=RelWithDebInfo \
    .

echo "== C++ tests"
ctest --test-dir "$BUILD_DIR" --output-on-failure -j 2 --timeout 300

echo "== Python tests"
# Run against the installed package (the source folder has no compiled module).
"$PYTHON" -m pytest -q -p no:cacheprovider --rootdir=. tests/python "$@"

if [ "${VELMORA_QUICK:-0}" != 1 ]; then
    # The oldest and the newest supported Python: build, install and the Python tests again.
    scripts/test-pythons.sh "$@"
    scripts/sanitize.sh
    scripts/fuzz.sh "${VELMORA_FUZZ_SECONDS:-20}"
fi
echo "== all tests passed"
