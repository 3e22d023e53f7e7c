#!/usr/bin/env bash
# The Python tests on other interpreters than the main one: for each version, a virtual
# environment of its own (the system site-packages untouched) gets the build and test
# requirements, the package is built into build/pyXY and installed there with `pip install .`,
# and tests/python runs against it. Fails on any failure.
#
# Usage: scripts/test-pythons.sh [pytest args]
#   VELMORA_PYTHONS   the versions to test, oldest and newest supported by default ("3.9 3.13";
#                     "" tests none). Each is found with pyenv, then in $PYENV_ROOT/versions,
#                     then as pythonX.Y on the PATH.
#   An interpreter that cannot be found fails the run in CI (CI set, as .ci/run's runner does:
#   that machine kind has them), or when VELMORA_PYTHONS was given; elsewhere (a bare Debian
#   machine has one Python only) it is reported as NOT TESTED and the run goes on.
#   The whole of tests/python runs on each (about 1.5 min of tests and 1.5-2 min of build on
#   2 cores), soak and memory tests included.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ -n "${VELMORA_PYTHONS+set}" ]; then
    VERSIONS=$VELMORA_PYTHONS
    REQUIRED=1
else
    VERSIONS="3.9 3.13"
    REQUIRED=0
fi
if [ -n "${CI:-}" ] && [ "${CI}" != false ] && [ "${CI}" != 0 ]; then REQUIRED=1; fi

PYENV_ROOT=${PYENV_ROOT:-$HOME/.pyenv}

# Prints the path of a python executable of version $1 (X.Y), or nothing.
find_python() {
    local version=$1 prefix candidate
    local pyenv_bin
    pyenv_bin=$(command -v pyenv || true)
    if [ -z "$pyenv_bin" ] && [ -x "$PYENV_ROOT/bin/pyenv" ]; then pyenv_bin=$PYENV_ROOT/bin/pyenv; fi
    if [ -n "$pyenv_bin" ] && prefix=$("$pyenv_bin" prefix "$version" 2>/dev/null) \
            && [ -x "$prefix/bin/python$version" ]; then
        echo "$prefix/bin/python$version"
        return
    fi
    # The newest patch release installed under pyenv's folder.
    candidate=$(ls -d "$PYENV_ROOT/versions/$version".[0-9]*/bin/"python$version" 2>/dev/null \
        | sort -V | tail -1 || true)
    if [ -n "$candidate" ] && [ -x "$candidate" ]; then
        echo "$candidate"
        return
    fi
    candidate=$(command -v "python$version" || true)
    # A pyenv shim answers even for a version it does not have; ask it for real.
    if [ -n "$candidate" ] && "$candidate" -c "import sys" >/dev/null 2>&1; then
        echo "$candidate"
    fi
}

summary=()
failed=0
for version in $VERSIONS; do
    tag=py${version//./}
    python=$(find_python "$version")
    if [ -z "$python" ]; then
        message="Python $version: no interpreter found (pyenv, $PYENV_ROOT/versions, python$version on PATH)"
        if [ "$REQUIRED" = 1 ]; then
            echo "== ERROR: $message" >&2
            summary+=("$version: MISSING")
            failed=1
            continue
        fi
        echo "== WARNING: $message: NOT TESTED"
        summary+=("$version: NOT TESTED (no interpreter)")
        continue
    fi
    actual=$("$python" -c 'import sys; print("%d.%d.%d" % sys.version_info[:3])')
    case "$actual" in
        "$version".*) ;;
        *) echo "== ERROR: $python is Python $actual, not $version" >&2
           summary+=("$version: WRONG INTERPRETER ($actual)"); failed=1; continue ;;
    esac

    echo "== Python $actual ($python): virtual environment and requirements"
    venv=build/$tag/venv
    if ! "$venv/bin/python" -c 'import sys; assert sys.version_info[:2] == tuple(map(int, sys.argv[1].split(".")))' \
            "$version" >/dev/null 2>&1; then
        rm -rf "$venv"
        "$python" -m venv "$venv"
    fi
    venv_python=$(pwd)/$venv/bin/python
    # The same requirements as for the main interpreter, into the environment (pip picks the
    # newest release of each for that version; from the test command, the apt step of
    # install-deps.sh finds everything installed).
    if ! PYTHON=$venv_python scripts/install-deps.sh; then
        echo "== ERROR: Python $actual: the requirements could not be installed" >&2
        summary+=("$actual: REQUIREMENTS FAILED"); failed=1; continue
    fi

    echo "== Python $actual: build and install (build/$tag/cmake)"
    start=$SECONDS
    if ! "$venv_python" -m pip install --quiet --disable-pip-version-check --no-build-isolation \
            --no-deps --config-settings=build-dir="build/$tag/cmake" .; then
        echo "== ERROR: Python $actual: the build failed" >&2
        summary+=("$actual: BUILD FAILED"); failed=1; continue
    fi
    build_s=$((SECONDS - start))

    echo "== Python $actual: Python tests"
    start=$SECONDS
    # Against the installed package, as for the main interpreter (the source folder has no
    # compiled module and is not on the path).
    set +e
    "$venv_python" -m pytest -q -p no:cacheprovider --rootdir=. tests/python "$@" \
        | tee "build/$tag/pytest.log"
    status=${PIPESTATUS[0]}
    set -e
    test_s=$((SECONDS - start))
    counts=$(grep -E '^=* ?[0-9]+ (passed|failed|error)' "build/$tag/pytest.log" | tail -1 \
        | sed -E 's/^=+ //; s/ =+$//' || true)
    if [ "$status" = 0 ]; then
        summary+=("$actual: ${counts:-passed} (build ${build_s} s, tests ${test_s} s)")
    else
        summary+=("$actual: FAILED, pytest exit $status: ${counts:-no summary} (build ${build_s} s, tests ${test_s} s)")
        failed=1
    fi
done

echo "== other Python versions:"
for line in "${summary[@]}"; do echo "   $line"; done
exit "$failed"
