"""The type stubs of the compiled module: present, complete, in sync, and usable by mypy.

The build writes _core.pyi beside the compiled module (and installs it there); these tests
find it through the module's real path, so they work for a development build and for an
installed package alike.
"""
import ast
import enum
import importlib.util
import os
import re
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import velmora
from velmora import _core

REPO = Path(__file__).resolve().parents[2]
PATTERNS = REPO / "src" / "bindings" / "stub_patterns.txt"
STUB = Path(_core.__file__).resolve().with_name("_core.pyi")


@pytest.fixture(scope="module")
def stub_text():
    assert STUB.is_file(), f"the build did not write {STUB}"
    return STUB.read_text(encoding="utf-8")


@pytest.fixture(scope="module")
def stub_tree(stub_text):
    return ast.parse(stub_text)


def defined_names(body):
    names = set()
    for node in body:
        if isinstance(node, (ast.ClassDef, ast.FunctionDef)):
            names.add(node.name)
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            names.add(node.target.id)
        elif isinstance(node, ast.Assign):
            names.update(t.id for t in node.targets if isinstance(t, ast.Name))
        elif isinstance(node, ast.ImportFrom):
            names.update(a.asname for a in node.names if a.asname)
    return names


def runtime_classes():
    return {
        name: obj
        for name, obj in vars(_core).items()
        if isinstance(obj, type) and obj.__module__ in ("velmora", "velmora._core")
    }


def test_every_public_name_of_the_package_is_in_the_stub(stub_tree):
    in_stub = defined_names(stub_tree.body)
    from_core = [n for n in velmora.__all__ if hasattr(_core, n)]
    missing = sorted(n for n in from_core if n not in in_stub and n != "__version__")
    assert missing == []
    assert "__version__" in in_stub


def test_every_member_of_every_class_is_in_the_stub(stub_tree):
    classes = {n.name: n for n in stub_tree.body if isinstance(n, ast.ClassDef)}
    missing = []
    for name, cls in runtime_classes().items():
        assert name in classes, name
        members = defined_names(classes[name].body)
        for attr in vars(cls):
            if attr.startswith("__") or (issubclass(cls, enum.Enum) and attr.startswith("_")):
                continue
            if attr not in members:
                missing.append(f"{name}.{attr}")
    assert missing == []


@pytest.mark.parametrize(
    "line",
    [
        "__version__: str",
        "class FSOEMasterException(Exception):",
        "class FSOEMasterRunningException(FSOEMasterException):",
        "class FSOEMasterMappingLockedException(FSOEMasterException):",
        "class FSoEAlreadyMappedException(FSOEMasterException):",
        "def to_svg(self) -> str:",
        "def get(self) -> bool | int | float: ...",
        "def key_map(self) -> dict[int, DictionaryItem]: ...",
        "def __iter__(self) -> Iterator[DictionaryMappedItem]: ...",
        "def _items(self) -> list[DictionaryMappedItem]: ...",
        "id: typing.ClassVar[int]",
        "def frame_from_array(cls, data: bytes | bytearray | memoryview) -> Self:",
        "def item_types_accepted(self, /) -> set[type]: ...",
        "def _last_crc0_sent(self, /) -> int | None: ...",
    ],
)
def test_stub_carries_the_precise_types(stub_text, line):
    assert line in pep604(stub_text)


def pep604(text):
    """The stub as the generator writes it on Python 3.10 and later: on 3.9 it spells the same
    unions Union[A, B] and Optional[A]."""
    if sys.version_info >= (3, 10):
        return text
    text = re.sub(r"\bOptional\[([\w.]+)\]", r"\1 | None", text)
    return re.sub(r"\bUnion\[([\w.]+(?:, [\w.]+)+)\]",
                  lambda m: m.group(1).replace(", ", " | "), text)


def test_py_typed_marker_ships_with_the_package():
    assert (Path(velmora.__file__).parent / "py.typed").is_file()


def subprocess_env():
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    return env


@pytest.mark.skipif(importlib.util.find_spec("nanobind") is None, reason="nanobind is not installed")
@pytest.mark.skipif(not PATTERNS.is_file(), reason="not run from a source tree")
def test_stub_matches_a_fresh_generation(stub_text, tmp_path):
    out = tmp_path / "_core.pyi"
    subprocess.run(
        [sys.executable, "-m", "nanobind.stubgen", "-q", "-m", "velmora._core", "-P",
         "-p", str(PATTERNS), "-o", str(out)],
        check=True, env=subprocess_env(), cwd=tmp_path,
    )
    assert out.read_text(encoding="utf-8") == stub_text, "stale stub: rebuild the extension"


MYPY_GOOD = """
from velmora import (DataType, Dictionary, DictionaryItemInput, DictionaryItemOutput,
                     DictionaryMap, DictionaryMappedItem, FSOEMasterException,
                     FSOEMasterMappingLockedException)

speed = DictionaryItemOutput(1, "speed", DataType.UINT16)
state = DictionaryItemInput(2, "state", DataType.UINT8, 0)
dictionary = Dictionary([speed, state])
layout = DictionaryMap(dictionary, {DictionaryItemOutput})
entry: DictionaryMappedItem = layout.add(speed)
entries: list[DictionaryMappedItem] = list(layout)
value: bool | int | float = dictionary.get("state")
svg: str = layout.to_svg()
bits: int = layout.safety_bits
try:
    layout.add_padding(8)
except FSOEMasterMappingLockedException as error:
    base: FSOEMasterException = error
"""

# A host written against the documented interface: states by id, frames decoded from the
# wire, the simulator's event log, a node's chain and a map's accepted types.
MYPY_TYPED_HOST = """
import velmora
from velmora.sim import SlaveSimulator

def on_state(state: type[velmora.State]) -> None:
    number: int = state.id
    print(state.__name__, number)

speed = velmora.DictionaryItemOutput(0x7000, "speed", velmora.DataType.UINT16)
handler = velmora.MasterHandler(velmora.Dictionary([speed]), 5, 7, 0.1,
                                state_change_callback=on_state)
frame = velmora.FSOEFrame.frame_from_array(handler.get_request())
first_crc: int = frame.crcs[0]
command: velmora.FSOECommand = frame.control.command
last: int | None = handler.master._last_crc0_sent
accepted: set[type] = handler.master.dictionary_map.item_types_accepted
current: int = handler.state.id
slave = SlaveSimulator(5, 7, 2, 2, 100)
for event in slave.events:
    received: str | None = event.command
    replied: str | None = event.reply
    code: int | None = event.error
    fault: str | None = event.fault
"""

MYPY_BAD = """
from velmora import DataType, DictionaryItemOutput
speed = DictionaryItemOutput(1, "speed", DataType.UINT16)
wrong: bytes = speed.get()
"""


@pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="mypy is not installed")
@pytest.mark.parametrize("source, ok",
                         [(MYPY_GOOD, True), (MYPY_TYPED_HOST, True), (MYPY_BAD, False)])
def test_mypy_strict_reads_the_stub(tmp_path, source, ok):
    # A package laid out as installed: the Python files, the marker and the stub.
    package = tmp_path / "velmora"
    package.mkdir()
    for f in Path(velmora.__file__).resolve().parent.iterdir():
        if f.suffix == ".py" or f.name == "py.typed":
            (package / f.name).write_bytes(f.read_bytes())
    (package / "py.typed").touch()
    (package / "_core.pyi").write_bytes(STUB.read_bytes())
    # The future import makes the hosts' `X | None` annotations valid on Python 3.9 too.
    (tmp_path / "host.py").write_text("from __future__ import annotations\n"
                                      + textwrap.dedent(source))
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--follow-imports=silent",
         "--no-incremental", "host.py"],
        cwd=tmp_path, capture_output=True, text=True,
    )
    # Only the host's lines count: mypy does not report an installed package's own stub.
    host_errors = [line for line in result.stdout.splitlines() if line.startswith("host.py:")]
    assert result.returncode in (0, 1), result.stdout + result.stderr
    if ok:
        assert host_errors == []
    else:
        assert len(host_errors) == 1 and "incompatible types in assignment" in host_errors[0].lower()
