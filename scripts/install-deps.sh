#!/usr/bin/env bash
# Installs the build and test dependencies: apt packages (GoogleTest, Google Benchmark, clang 14
# with its sanitizer and libFuzzer runtimes, rsvg-convert to check that pictures render) and
# PyPI packages. Safe to run again.
set -euo pipefail
PYTHON=${PYTHON:-python3}

SUDO=""
if [ "$(id -u)" != 0 ]; then SUDO="sudo"; fi

packages=(libgtest-dev googletest libbenchmark-dev clang-14 libclang-rt-14-dev librsvg2-bin)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "== apt: ${missing[*]}"
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends \
        "${missing[@]}" >/dev/null
fi

echo "== pip: build and test requirements"
"$PYTHON" -m pip install --quiet --disable-pip-version-check --root-user-action=ignore \
    "scikit-build-core>=0.10" "nanobind>=2.4" cmake ninja pytest hypothesis mypy
