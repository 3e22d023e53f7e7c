#!/usr/bin/env bash
# Developer build without installing: configures build/<name> with the extension and the
# C++ tests, builds, and lays out an importable package in build/<name>/site.
# Usage: scripts/dev-build.sh NAME [extra cmake args]
#   then: ctest --test-dir build/NAME   and   PYTHONPATH=build/NAME/site python -m pytest tests/python
set -euo pipefail
cd "$(dirname "$0")/.."
NAME=${1:?usage: dev-build.sh NAME}
shift
BUILD="build/$NAME"
PYTHON=${PYTHON:-python3}
if [ ! -f "$BUILD/build.ninja" ]; then
    cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DVELMORA_BUILD_PYTHON=ON -DVELMORA_BUILD_TESTS=ON \
        -DPython_EXECUTABLE="$(command -v "$PYTHON")" "$@" >/dev/null
fi
cmake --build "$BUILD" -j 2
SITE="$BUILD/site/velmora"
mkdir -p "$SITE"
for f in python/velmora/*; do ln -sf "$(pwd)/$f" "$SITE/"; done
ln -sf "$(pwd)/$(ls "$BUILD"/_core*.so | head -1)" "$SITE/"
if [ -f "$BUILD/_core.pyi" ]; then ln -sf "$(pwd)/$BUILD/_core.pyi" "$SITE/"; fi
echo "built: PYTHONPATH=$BUILD/site"
