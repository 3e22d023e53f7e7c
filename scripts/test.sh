#!/usr/bin/env bash
# The test command: installs what the tests need on a bare machine, builds once (one CMake
# build folder for the extension and the C++ tests), runs ctest and pytest.
set -euo pipefail
cd "$(dirname "$0")/.."

PYTHON=${PYTHON:-python3}
BUILD_DIR=${BUILD_DIR:-build/dev}

scripts/install-deps.sh

"$PYTHON" -m pip install --quiet --no-build-isolation \
    -Cbuild-dir="$BUILD_DIR" \
    -Ccmake.define.VELMORA_BUILD_TESTS=ON \
    -Ccmake.build-type=RelWithDebInfo \
    .

echo "== C++ tests"
ctest --test-dir "$BUILD_DIR" --output-on-failure -j 2

echo "== Python tests"
# Run from outside the source tree so `import velmora` takes the installed package.
"$PYTHON" -m pytest -q -p no:cacheprovider --rootdir=. tests/python "$@"
