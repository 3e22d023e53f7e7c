"""The README's Python examples are the checked example files, word for word."""
import pathlib
import re

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]


def _readme_blocks() -> list[str]:
    text = (ROOT / "README.md").read_text(encoding="utf-8")
    return [block.rstrip() for block in re.findall(r"```python\n(.*?)```", text, re.S)]


@pytest.mark.parametrize("name", ["readme_quickstart.py", "readme_map_picture.py",
                                  "readme_history.py"])
def test_readme_shows_the_example_file(name: str) -> None:
    example = (ROOT / "examples" / name).read_text(encoding="utf-8").rstrip()
    assert example in _readme_blocks()


def test_every_readme_block_is_an_example_file() -> None:
    examples = {p.read_text(encoding="utf-8").rstrip() for p in (ROOT / "examples").glob("readme_*.py")}
    assert set(_readme_blocks()) <= examples
