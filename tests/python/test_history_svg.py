"""velmora.history_to_svg(): the connection history as an SVG timeline, parsed and rasterised."""
import os
import shutil
import struct
import subprocess
import xml.etree.ElementTree as ET
import zlib

import pytest

import velmora
from velmora.sim import SlaveSimulator

NS = {"svg": "http://www.w3.org/2000/svg"}
MS = 1_000_000
STATES = ["StateReset", "StateSession", "StateConnection", "StateParameter", "StateData"]


def event(number, time_ns, kind="reply", before="StateData", after="StateData", **fields):
    return velmora.HistoryEvent(number=number, time_ns=time_ns, kind=kind, state_before=before,
                                state_after=after, **fields)


def story():
    """A start, the climb to Data, a switch of fail-safe data, a stall in the replies, a bad
    reply, an expiry, a stop."""
    events = [event(0, 0, "start", "StateReset", "StateSession")]
    for k, (a, b) in enumerate(zip(STATES[1:], STATES[2:])):
        events.append(event(len(events), (k + 1) * 2 * MS, before=a, after=b))
    events.append(event(len(events), 7 * MS, "fail_safe", fail_safe=False))
    t = 7 * MS
    for k in range(40):
        t += 60 * MS if k == 20 else 2 * MS
        events.append(event(len(events), t))
    events.append(event(len(events), t + MS, after="StateReset", transition="DATA_FAIL1",
                        error="Invalid slave CRC"))
    events.append(event(len(events), t + 20 * MS, "expiry", "StateReset", "StateReset",
                        transition="RESET_WD", error="The watchdog of the master expired"))
    events.append(event(len(events), t + 30 * MS, "stop", "StateReset", "StateReset"))
    return events


def parse(svg):
    root = ET.fromstring(svg)
    assert root.tag == "{http://www.w3.org/2000/svg}svg"
    return root


def markers(root):
    return root.findall(".//svg:g[@data-time-ns]", NS)


def lane_centres(root):
    centres = {}
    for lane in root.findall(".//svg:g[@class='lane']", NS):
        rect = lane.find("svg:rect", NS)
        centres[lane.get("data-state")] = float(rect.get("y")) + float(rect.get("height")) / 2
    return centres


def test_every_event_is_a_marker_with_its_data_on_its_state():
    events = story()
    root = parse(velmora.history_to_svg(events))
    assert root.get("data-events") == str(len(events)) and root.get("data-errors") == "2"
    centres = lane_centres(root)
    assert list(centres) == STATES[::-1]  # Data on top
    drawn = markers(root)
    assert len(drawn) == len(events)
    for g, e in zip(drawn, events):
        assert g.get("class").split()[:2] == ["event", e.kind]
        assert (int(g.get("data-number")), int(g.get("data-time-ns"))) == (e.number, e.time_ns)
        assert (g.get("data-kind"), g.get("data-state-before"), g.get("data-state-after")) == (
            e.kind, e.state_before, e.state_after)
        title = g.find("svg:title", NS).text
        assert f"#{e.number} {e.kind}" in title
        assert f"{e.state_before} \u2192 {e.state_after}" in title
        assert float(g.find("svg:circle", NS).get("cy")) == centres[e.state_after]
    errors = [g for g in drawn if "error" in g.get("class").split()]
    assert [g.get("data-transition") for g in errors] == ["DATA_FAIL1", "RESET_WD"]
    for g, e in zip(errors, [e for e in events if e.transition]):
        assert g.find("svg:text[@class='error-label']", NS).text == e.transition
        assert e.error in g.find("svg:title", NS).text
    marks = [(g.get("data-kind"), g.find("svg:text", NS).text)
             for g in root.findall(".//svg:g[@data-count]", NS)]
    assert marks == [("start", "start"), ("fail_safe", "fail-safe"), ("expiry", "expiry"),
                     ("stop", "stop")]
    switch = next(g for g in drawn if g.get("data-kind") == "fail_safe")
    assert switch.find("svg:title", NS).text.endswith("fail-safe data off")
    # The 60 ms stall among 2 ms replies is the one long gap, labelled and highlighted.
    gaps = root.findall(".//svg:g[@data-from]", NS)
    assert [(g.get("class"), int(g.get("data-ns"))) for g in gaps] == [
        ("gap long longest", 60 * MS)]
    assert gaps[0].find("svg:text", NS).text == "60.0 ms"


@pytest.mark.parametrize("text", [
    "</title><script>\"&'</script>", "tab\tnew\nline\rend ]]>",
    "\x00\x01\x1f\ufffe \u00e9\u4e2d\U0001F600",
])
def test_hostile_transition_and_error_text_stays_text(text):
    svg = velmora.history_to_svg([event(0, 0, transition=text, error=text)])
    g = markers(parse(svg))[0]
    clean = "".join(c if c in "\t\n\r" or (" " <= c and c not in "\ufffe\uffff") else "\ufffd"
                    for c in text)
    assert g.get("data-transition") == clean
    assert g.find("svg:title", NS).text.endswith(f"error in {clean}: {clean}")
    assert "<script>" not in svg


@pytest.mark.parametrize("bad, error", [(None, TypeError), ([1], TypeError),
                                        ([event(0, 0), "reply"], TypeError)])
def test_not_a_list_of_events_is_a_type_error(bad, error):
    with pytest.raises(error):
        velmora.history_to_svg(bad)


def test_a_real_connection_draws_its_failure():
    speed = velmora.DictionaryItemOutput(0x7000, "speed", velmora.DataType.UINT16)
    status = velmora.DictionaryItemInput(0x6000, "status", velmora.DataType.UINT16, 0)
    slave = SlaveSimulator(slave_address=5, connection_id=7, input_bytes=2, output_bytes=2,
                           watchdog_ms=1000)
    master = velmora.MasterHandler(velmora.Dictionary([speed, status]), 5, 7, 1.0)
    try:
        master.master.dictionary_map.add(speed)
        master.slave.dictionary_map.add(status)
        master.start()
        for _ in range(30):
            master.set_reply(slave.process(master.get_request()))
        slave.inject("corrupt_crc")
        master.set_reply(slave.process(master.get_request()))
        events = master.history()
    finally:
        master.delete()
    root = parse(velmora.history_to_svg(events))
    drawn = markers(root)
    assert [int(g.get("data-number")) for g in drawn] == [e.number for e in events]
    assert {g.get("data-state-after") for g in drawn} >= {"StateData", "StateReset"}
    labels = [t.text for t in root.findall(".//svg:text[@class='error-label']", NS)]
    assert labels == [e.transition for e in events if e.transition]


# ---- rasterised ----

def png_pixels(data):
    """(width, height, rows of RGBA tuples) of an 8-bit RGB or RGBA PNG."""
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    pos, chunks = 8, {}
    while pos < len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        chunks.setdefault(kind, []).append(data[pos + 8:pos + 8 + length])
        pos += 12 + length
    width, height, depth, colour = struct.unpack(">IIBB", chunks[b"IHDR"][0][:10])
    assert depth == 8 and colour in (2, 6)
    channels = 4 if colour == 6 else 3
    raw = zlib.decompress(b"".join(chunks[b"IDAT"]))
    stride = width * channels
    rows, previous = [], bytearray(stride)
    for y in range(height):
        start = y * (stride + 1)
        kind, line = raw[start], bytearray(raw[start + 1:start + 1 + stride])
        for i in range(stride):
            a = line[i - channels] if i >= channels else 0
            b = previous[i]
            c = previous[i - channels] if i >= channels else 0
            if kind == 1:
                line[i] = (line[i] + a) & 0xFF
            elif kind == 2:
                line[i] = (line[i] + b) & 0xFF
            elif kind == 3:
                line[i] = (line[i] + (a + b) // 2) & 0xFF
            elif kind == 4:
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                line[i] = (line[i] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 0xFF
        rows.append([tuple(line[x:x + channels]) for x in range(0, stride, channels)])
        previous = line
    return width, height, rows


@pytest.fixture(scope="module")
def rsvg():
    path = shutil.which("rsvg-convert")
    if path is None:
        if os.environ.get("CI"):
            pytest.fail("rsvg-convert is missing (apt package librsvg2-bin)")
        pytest.skip("rsvg-convert is not installed (apt package librsvg2-bin)")
    return path


def red(pixel):
    r, g, b = pixel[:3]
    return r > 180 and g < 80 and b < 80


@pytest.mark.parametrize("name, events, errors", [
    ("empty", [], False),
    ("story", story(), True),
    ("no_errors", [e for e in story() if e.transition is None], False),
    ("many", [event(k, k * MS, "expiry" if k % 7 == 0 else "reply",
                    transition="DATA_FAIL1" if k % 50 == 0 else None) for k in range(3000)], True),
])
def test_the_picture_renders(rsvg, tmp_path, name, events, errors):
    svg = velmora.history_to_svg(events)
    root = parse(svg)
    source, target = tmp_path / f"{name}.svg", tmp_path / f"{name}.png"
    source.write_text(svg, encoding="utf-8")
    subprocess.run([rsvg, "-o", str(target), str(source)], check=True, capture_output=True,
                   timeout=60)
    width, height, rows = png_pixels(target.read_bytes())
    assert (width, height) == (int(root.get("width")), int(root.get("height")))
    colours = {p for row in rows for p in row}
    assert len(colours) > 2  # background and text at least: not blank
    assert any(red(p) for row in rows for p in row) == errors
