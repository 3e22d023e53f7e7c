"""The Python versions the package claims are the ones the test command tests: the
classifiers in pyproject.toml, requires-python, the versions scripts/test-pythons.sh builds
and the README's line agree."""
import re
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
PYPROJECT = ROOT / "pyproject.toml"
SCRIPT = ROOT / "scripts" / "test-pythons.sh"

pytestmark = pytest.mark.skipif(not SCRIPT.is_file(), reason="not run from a source tree")


def version(text):
    return tuple(int(part) for part in text.split("."))


def classified():
    text = PYPROJECT.read_text(encoding="utf-8")
    return sorted({version(v) for v in
                   re.findall(r'"Programming Language :: Python :: (3\.\d+)"', text)})


def script_versions():
    found = re.search(r'^\s*VERSIONS="([\d. ]+)"$', SCRIPT.read_text(encoding="utf-8"),
                      re.MULTILINE)
    assert found, "no default VERSIONS in scripts/test-pythons.sh"
    return sorted(version(v) for v in found.group(1).split())


def test_the_oldest_tested_python_is_the_oldest_allowed():
    text = PYPROJECT.read_text(encoding="utf-8")
    minimum = re.search(r'^requires-python = ">=(3\.\d+)"$', text, re.MULTILINE)
    assert minimum, "requires-python is not of the form >=3.X"
    assert classified()[0] == script_versions()[0] == version(minimum.group(1))


def test_every_version_the_script_tests_is_classified():
    assert set(script_versions()) <= set(classified())
    # The newest claimed is one the script tests (the main interpreter lies in between).
    assert classified()[-1] == script_versions()[-1]


def test_the_readme_names_the_classified_versions():
    line = re.search(r"^Tested on Python ([\d., and]+):", (ROOT / "README.md").read_text(
        encoding="utf-8"), re.MULTILINE)
    assert line, "the README has no 'Tested on Python ...' line"
    named = sorted(version(v) for v in re.findall(r"3\.\d+", line.group(1)))
    assert named == classified()
