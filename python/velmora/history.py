"""Connection histories as files: one JSON object per line, frames as hex.

A recording can be attached to a bug report and read back into the same
``velmora.HistoryEvent`` values; ``python -m velmora.decode --history FILE`` explains it.
"""
from __future__ import annotations

import json
import os
from typing import IO, Iterable, Union

from ._core import HistoryEvent

PathOrFile = Union[str, "os.PathLike[str]", IO[str]]


def write_history(events: Iterable[HistoryEvent], file: PathOrFile) -> None:
    """Write ``events`` to ``file`` (a path or an open text file), one JSON object per line."""
    lines = []
    for index, event in enumerate(events):
        if not isinstance(event, HistoryEvent):
            raise TypeError(
                f"history events must be HistoryEvent objects, not {type(event).__name__} "
                f"(item {index})"
            )
        lines.append(json.dumps(event.to_dict(), ensure_ascii=False) + "\n")
    # Every event is converted before anything is written: no half-written file.
    text = "".join(lines)
    if isinstance(file, (str, os.PathLike)):
        with open(file, "w", encoding="utf-8") as out:
            out.write(text)
    else:
        file.write(text)


def read_history(file: PathOrFile) -> list[HistoryEvent]:
    """Read a file written by ``write_history`` (a path or an open text file)."""
    if isinstance(file, (str, os.PathLike)):
        with open(file, encoding="utf-8") as source:
            return _read(source, os.fspath(file))
    return _read(file, str(getattr(file, "name", "history")))


def _read(source: IO[str], name: str) -> list[HistoryEvent]:
    events = []
    for number, line in enumerate(source, start=1):
        if not line.strip():
            continue
        try:
            fields = json.loads(line)
        except json.JSONDecodeError as error:
            cut = "" if line.endswith("\n") else " (the line is cut off: is the file truncated?)"
            raise ValueError(f"{name}, line {number}: not a JSON object: {error.msg}{cut}") from None
        try:
            events.append(HistoryEvent.from_dict(fields))
        except (TypeError, ValueError, OverflowError) as error:
            raise ValueError(f"{name}, line {number}: {error}") from None
    return events
