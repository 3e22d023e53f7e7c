"""DictionaryMap.to_svg(): the bit layout as an SVG picture, checked by parsing it."""
import random
import xml.etree.ElementTree as ET

import pytest

from velmora import DataType, Dictionary, DictionaryItemInputOutput, DictionaryItemOutput, DictionaryMap

NS = {"svg": "http://www.w3.org/2000/svg"}
OUTPUTS = {DictionaryItemOutput, DictionaryItemInputOutput}


def build(layout):
    """layout: (name, bits) per entry, name None for a padding."""
    items = [DictionaryItemOutput(i, name, DataType.UINT32) if name is not None else None
             for i, (name, _) in enumerate(layout)]
    m = DictionaryMap(Dictionary([i for i in items if i is not None]), OUTPUTS)
    for item, (_, bits) in zip(items, layout):
        m.insert(len(m), item, bits)
    return m


class Picture:
    """The parts of a rendered map that a reader of the picture relies on."""

    def __init__(self, svg_text):
        self.root = ET.fromstring(svg_text)
        self.bits_per_row = int(self.root.get("data-bits-per-row"))
        headers = self.root.findall(".//svg:text[@class='bit-number']", NS)
        # Column centres, by the bit number printed above them.
        self.column_centre = {int(t.text): float(t.get("x")) for t in headers}
        self.row_top = {
            int(g.get("data-word")): float(g.find("svg:rect[@class='word-frame']", NS).get("y"))
            for g in self.root.findall(".//svg:g[@class='word']", NS)
        }
        self.entries = self.root.findall(".//svg:g[@data-index]", NS)

    @property
    def cell(self):
        return self.column_centre[1] - self.column_centre[0]

    def segments(self, entry):
        return entry.findall("svg:rect[@class='segment']", NS)


def covered_bits(picture, entry):
    """Safe-data bits an entry's segments cover, read from the geometry alone."""
    bits = []
    for rect in picture.segments(entry):
        x, width, y = float(rect.get("x")), float(rect.get("width")), float(rect.get("y"))
        word = next(w for w, top in picture.row_top.items() if top == y)
        first = next(b for b, c in picture.column_centre.items() if c == x + picture.cell / 2)
        count = round(width / picture.cell)
        bits.extend(word * 16 + first + k for k in range(count))
    return bits


LAYOUTS = [
    [],
    [("a", 1)],
    [("a", 3), (None, 5)],
    [("mode", 8), ("speed", 16), (None, 8)],
    [("x", 14), ("straddle", 4), (None, 14)],
    [("lo", 8), ("wide", 32), (None, 8)],
    [(None, 4), (None, 24), ("end", 4)],
    [("w", 16), ("one", 1)],
]


@pytest.mark.parametrize("layout", LAYOUTS)
def test_entries_cover_their_bits_in_order(layout):
    m = build(layout)
    picture = Picture(m.to_svg())
    total = m.safety_bits
    assert picture.bits_per_row == (8 if total <= 8 else 16)
    assert sorted(picture.column_centre) == list(range(picture.bits_per_row))
    # bit 0 on the left: column centres grow with the bit number
    centres = [picture.column_centre[b] for b in range(picture.bits_per_row)]
    assert centres == sorted(centres)
    assert len(picture.row_top) == max(1, -(-total // picture.bits_per_row))
    assert len(picture.entries) == len(m)
    for index, (g, entry) in enumerate(zip(picture.entries, m)):
        assert int(g.get("data-index")) == index
        assert int(g.get("data-position-bits")) == entry.position_bits
        assert int(g.get("data-bits")) == entry.bits
        start = entry.position_bits
        assert covered_bits(picture, g) == list(range(start, start + entry.bits))


@pytest.mark.parametrize("seed", range(12))
def test_random_layouts_tile_the_safe_data_without_overlap(seed):
    rng = random.Random(seed)
    layout, total = [], 0
    while total < rng.randint(1, 120):
        bits = rng.choice([1, 2, 3, 4, 7, 8, 12, 16, 24, 32])
        layout.append((f"i{len(layout)}" if rng.random() < 0.7 else None, bits))
        total += bits
    m = build(layout)
    picture = Picture(m.to_svg())
    covered = [bit for g in picture.entries for bit in covered_bits(picture, g)]
    assert covered == list(range(m.safety_bits))


def test_items_are_labelled_and_coloured_paddings_hatched():
    m = build([("mode", 8), (None, 4), ("flag", 4), ("speed", 16)])
    svg = m.to_svg()
    picture = Picture(svg)
    pattern_ids = {p.get("id") for p in picture.root.findall(".//svg:defs/svg:pattern", NS)}
    fills = []
    for g, entry in zip(picture.entries, m):
        rects = picture.segments(g)
        fill = rects[0].get("fill")
        if entry.item is None:
            assert "padding" in g.get("class").split()
            assert g.get("data-name") is None
            assert fill.startswith("url(#") and fill[5:-1] in pattern_ids
            assert g.findall("svg:text", NS) == []
        else:
            assert "item" in g.get("class").split()
            assert g.get("data-name") == entry.item.name
            assert [t.text for t in g.findall("svg:text[@class='label']", NS)] == [entry.item.name]
            assert g.find("svg:title", NS).text.startswith(entry.item.name + ": bits ")
            assert fill.startswith("#")
            fills.append(fill)
    assert len(set(fills)) == len(fills)  # neighbouring items are told apart


def test_item_across_a_word_boundary_is_labelled_in_both_rows():
    m = build([("x", 14), ("straddling_item", 4), (None, 14)])
    picture = Picture(m.to_svg())
    g = picture.entries[1]
    rects = picture.segments(g)
    assert [(r.get("data-word"), r.get("data-first-bit"), r.get("data-bits")) for r in rects] == [
        ("0", "14", "2"),
        ("1", "0", "2"),
    ]
    # Two cells are too narrow for the whole name: cut, with the full name in the title.
    labels = [t.text for t in g.findall("svg:text[@class='label']", NS)]
    assert len(labels) == 2 and all(label.endswith("\u2026") for label in labels)
    assert all("straddling_item".startswith(label[:-1]) for label in labels)
    assert g.find("svg:title", NS).text == "straddling_item: bits 14..17 (4 bits)"


@pytest.mark.parametrize(
    "name, shown",
    [
        ("<&>", "<&>"),
        ("a\"b'c", "a\"b'c"),
        ("</svg><script>", "</svg><script>"),
        ("tab\there", "tab\there"),
        ("nul\x00bell\x07", "nul\ufffdbell\ufffd"),  # XML cannot carry these at all
        ("\u00e9\u20ac\U0001F600", "\u00e9\u20ac\U0001F600"),
    ],
)
def test_names_survive_escaping(name, shown):
    m = build([(name, 32)])
    picture = Picture(m.to_svg())  # parses: nothing in a name can break the document
    (g,) = picture.entries
    assert g.get("data-name") == shown
    assert g.find("svg:title", NS).text == shown + ": bits 0..31 (32 bits)"
    assert picture.root.findall(".//svg:script", NS) == []


def test_orientation_and_size_are_stated():
    m = build([("mode", 8), (None, 16)])
    picture = Picture(m.to_svg())
    assert picture.root.get("data-bit0") == "left"
    caption = picture.root.find("svg:text[@class='caption']", NS).text
    assert caption == "24 bits (3 bytes), bit 0 of each word on the left"
    assert picture.root.find("svg:title", NS).text == "Dictionary map: 24 bits (3 bytes)"
    width, height = float(picture.root.get("width")), float(picture.root.get("height"))
    for rect in picture.root.iter(f"{{{NS['svg']}}}rect"):
        if rect.get("x") is not None:
            assert 0 <= float(rect.get("x")) and float(rect.get("x")) + float(rect.get("width")) <= width
            assert float(rect.get("y")) + float(rect.get("height")) <= height


def test_svg_reflects_later_edits_and_jupyter_hook():
    m = build([("a", 8)])
    before = m.to_svg()
    m.add_padding(8)
    after = m.to_svg()
    assert len(Picture(after).entries) == 2 and len(Picture(before).entries) == 1
    assert m._repr_svg_() == after
