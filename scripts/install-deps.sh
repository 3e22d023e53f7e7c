#!/usr/bin/env bash
# Installs the build and test dependencies: apt packages (GoogleTest, clang for the
# fuzzers and sanitizers) and PyPI packages. Safe to run again.
set -euo pipefail
PYTHON=${PYTHON:-python3}

SUDO=""
if [ "$(id -u)" != 0 ]; then SUDO="sudo"; fi

need_apt=()
[ -f /usr/lib/x86_64-linux-gnu/cmake/GTest/GTestConfig.cmake ] || \
    [ -n "$(find /usr/lib -name GTestConfig.cmake 2>/dev/null | head -1)" ] || need_apt+=(libgtest-dev googletest)
if [ ${#need_apt[@]} -gt 0 ]; then
    echo "== apt: ${need_apt[*]}"
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${need_apt[@]}" >/dev/null
fi

echo "== pip: build and test requirements"
"$PYTHON" -m pip install --quiet --disable-pip-version-check \
    "scikit-build-core>=0.10" "nanobind>=2.4" cmake ninja pytest hypothesis
