#!/usr/bin/env bash
# Builds a wheel with `pip wheel .`, installs it into a fresh virtual environment (without
# the system site-packages) and runs a smoke test with that environment's Python: frames,
# a dictionary, a map and its picture, the stubs, and a master exchanging process data with
# velmora.sim. Slow: a full release build of the extension. pip may fetch the build
# requirements from the package index.
# Usage: scripts/wheel-smoke.sh [WORKDIR]   (default: a new temporary folder, removed after)
set -euo pipefail
cd "$(dirname "$0")/.."
PYTHON=${PYTHON:-python3}

if [ $# -ge 1 ]; then
    WORK=$1
    mkdir -p "$WORK"
else
    WORK=$(mktemp -d)
    trap 'rm -rf "$WORK"' EXIT
fi
WORK=$(cd "$WORK" && pwd)

echo "== wheel"
# A build folder of its own, so the wheel never reuses a development build.
"$PYTHON" -m pip wheel . --no-deps --disable-pip-version-check -q -w "$WORK/wheels" \
    -Cbuild-dir="$WORK/build"
WHEEL=$(ls "$WORK"/wheels/velmora-*.whl)
echo "built $(basename "$WHEEL")"

echo "== fresh virtual environment"
rm -rf "$WORK/venv"
"$PYTHON" -m venv "$WORK/venv"
VENV_PYTHON="$WORK/venv/bin/python"
"$VENV_PYTHON" -m pip install --disable-pip-version-check -q "$WHEEL"

echo "== smoke test"
# Run from the work folder, so nothing of the source tree can be imported by accident.
cd "$WORK"
"$VENV_PYTHON" - "$WORK/venv" <<'EOF'
import os
import sys
import xml.etree.ElementTree as ET
from pathlib import Path

venv = Path(sys.argv[1]).resolve()
assert sys.prefix != sys.base_prefix, "not running inside the virtual environment"

import velmora as v
from velmora.sim import SlaveSimulator

package = Path(v.__file__).resolve().parent
assert venv in package.parents, f"velmora imported from {package}, not from the environment"
for name in ("py.typed", "_core.pyi"):
    assert (package / name).is_file(), f"{name} is not installed"

# A frame: encode, decode, check its CRCs.
frame = v.FSOEFrame(7)
frame.control.command = v.FSOECommand.RESET
frame.control.sequence_number = 1
frame.set_safe_data_bytes(bytes([v.BaseError.RESET, 0]))
frame.generate_crcs()
decoded = v.FSOEFrame.frame_from_array(frame.frame_to_array())
decoded.control.sequence_number = 1
assert decoded.control.command is v.FSOECommand.RESET and decoded.check_crcs()

# A dictionary and a map: pack a frame and read it back, draw the map.
speed = v.DictionaryItemOutput(1, "speed", v.DataType.UINT16)
mode = v.DictionaryItemOutput(2, "mode", v.DataType.UINT8)
echo_speed = v.DictionaryItemInput(3, "echo_speed", v.DataType.UINT16, 0)
echo_mode = v.DictionaryItemInput(4, "echo_mode", v.DataType.UINT8, 0)
dictionary = v.Dictionary([speed, mode, echo_speed, echo_mode])
out_map = v.DictionaryMap(dictionary, {v.DictionaryItemOutput})
out_map.add(mode)
out_map.add(speed, align_to_bits=8)
out_map.complete_with_padding()
in_map = v.DictionaryMap(dictionary, {v.DictionaryItemInput})
in_map.add(echo_mode)
in_map.add(echo_speed, align_to_bits=8)
in_map.complete_with_padding()
dictionary.set("speed", 0x1234)
dictionary.set("mode", 7)
pdu = v.FSOEFrame()
pdu.safe_data_size_bytes = out_map.safety_bytes
out_map._set_data_to_frame(pdu)
in_map._get_data_from_frame(pdu)
assert (echo_speed.get(), echo_mode.get()) == (0x1234, 7)
svg = ET.fromstring(out_map.to_svg())
assert len(svg.findall(".//{http://www.w3.org/2000/svg}g[@data-index]")) == len(out_map)
assert "speed" in repr(out_map)

# A master against the simulated slave, into the Data state and back with process data.
inputs = [v.DictionaryItemInput(10 + i, f"in{i}", v.DataType.UINT8, 0) for i in range(2)]
outputs = [v.DictionaryItemOutput(20 + i, f"out{i}", v.DataType.UINT8) for i in range(2)]
handler = v.MasterHandler(v.Dictionary(inputs + outputs), 0x42, 0x1234, 1.0)
for item in outputs:
    handler.master.dictionary_map.add(item)
for item in inputs:
    handler.slave.dictionary_map.add(item)
sim = SlaveSimulator(0x42, 0x1234, 2, 2, 1000, seed=1)
handler.start()
try:
    for _ in range(200):
        handler.set_reply(sim.process(handler.get_request()))
        if handler.state is v.StateData:
            break
    assert handler.state is v.StateData, handler.state
    outputs[0].set(0x5A)
    for _ in range(4):
        handler.set_reply(sim.process(handler.get_request()))
    assert handler.state is v.StateData
finally:
    handler.stop()
    handler.delete()

print(f"velmora {v.__version__} from {package}: smoke test passed")
EOF
