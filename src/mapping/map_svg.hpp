#pragma once
// A picture of a dictionary map's bit layout as an SVG document, for configuration front ends.
//
// The safe data is drawn as rows of 16-bit words, bit 0 of each word on the left, so that the
// bits read in transfer order and an entry that crosses a word boundary continues at the start
// of the next row. A map of 8 bits or fewer is one row of 8 bits (the size such a map is
// completed to). Every entry is a <g class="entry item"> or <g class="entry padding"> carrying
// data-index, data-name (items only), data-position-bits and data-bits, with one
// <rect class="segment"> per word it touches (data-word, data-first-bit, data-bits) and, for
// an item, a text label per segment. Items are coloured; paddings are hatched.
#include <string>
#include <string_view>

namespace velmora {

class DictionaryMap;

struct MapSvgGeometry {
    static constexpr int kCellWidth = 40;  // one bit
    static constexpr int kRowHeight = 36;  // one word
    static constexpr int kRowPitch = 44;   // row height plus the gap between rows
    static constexpr int kLeft = 72;       // room for the word labels
    static constexpr int kTop = 48;        // room for the caption and the bit numbers
    static constexpr int kMargin = 12;     // right and bottom
    static constexpr int kCharWidth = 7;   // estimate for the 12-pixel label font
};

std::string map_to_svg(const DictionaryMap& map);

// Text made safe for XML character data or attribute values: markup characters escaped,
// characters that XML 1.0 cannot carry and malformed UTF-8 replaced by U+FFFD.
std::string xml_escape(std::string_view text);

}  // namespace velmora
