#include "mapping/map_svg.hpp"

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "mapping/dictionary_map.hpp"

namespace velmora {
namespace {

using G = MapSvgGeometry;

constexpr char32_t kReplacement = 0xFFFD;
constexpr const char* kHatchId = "velmora-padding-hatch";
// Light enough for black labels, distinct enough for neighbours.
constexpr const char* kPalette[] = {"#8ecae6", "#ffc857", "#a7c957", "#f4a261",
                                    "#cdb4db", "#e9c46a", "#a8dadc", "#f28482"};

// One code point from s at i (advancing i); malformed or overlong sequences and surrogates
// give U+FFFD and consume one byte, so decoding always makes progress.
char32_t next_code_point(std::string_view s, std::size_t& i) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char lead = byte(i);
    int length = 0;
    char32_t cp = 0;
    char32_t min = 0;
    if (lead < 0x80) {
        ++i;
        return lead;
    } else if ((lead & 0xE0) == 0xC0) {
        length = 2, cp = lead & 0x1F, min = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3, cp = lead & 0x0F, min = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4, cp = lead & 0x07, min = 0x10000;
    } else {
        ++i;
        return kReplacement;
    }
    if (i + static_cast<std::size_t>(length) > s.size()) {
        ++i;
        return kReplacement;
    }
    for (int k = 1; k < length; ++k) {
        const unsigned char c = byte(i + static_cast<std::size_t>(k));
        if ((c & 0xC0) != 0x80) {
            ++i;
            return kReplacement;
        }
        cp = (cp << 6) | (c & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        ++i;
        return kReplacement;
    }
    i += static_cast<std::size_t>(length);
    return cp;
}

std::u32string decode(std::string_view s) {
    std::u32string result;
    for (std::size_t i = 0; i < s.size();) result.push_back(next_code_point(s, i));
    return result;
}

bool allowed_in_xml(char32_t cp) {
    return cp == 0x9 || cp == 0xA || cp == 0xD || (cp >= 0x20 && cp <= 0xD7FF) ||
           (cp >= 0xE000 && cp <= 0xFFFD) || (cp >= 0x10000 && cp <= 0x10FFFF);
}

void append_utf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

std::string escape(const std::u32string& text) {
    std::string out;
    out.reserve(text.size());
    for (char32_t cp : text) {
        switch (cp) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&apos;";
                break;
            // As references, so that attribute normalisation keeps them.
            case '\t':
                out += "&#9;";
                break;
            case '\n':
                out += "&#10;";
                break;
            case '\r':
                out += "&#13;";
                break;
            default:
                append_utf8(out, allowed_in_xml(cp) ? cp : kReplacement);
        }
    }
    return out;
}

// A label that fits `width` pixels: cut at a code point, marked with an ellipsis.
std::u32string fitted_label(const std::u32string& name, int width) {
    const auto max_chars = static_cast<std::size_t>(std::max(1, (width - 4) / G::kCharWidth));
    if (name.size() <= max_chars) return name;
    std::u32string label = name.substr(0, max_chars - 1);
    label += U'\u2026';
    return label;
}

std::string bit_range(int position, int bits) {
    if (bits == 0) return "0 bits at bit " + std::to_string(position);
    return "bits " + std::to_string(position) + ".." + std::to_string(position + bits - 1) + " (" +
           std::to_string(bits) + (bits == 1 ? " bit)" : " bits)");
}

class SvgWriter {
  public:
    explicit SvgWriter(int total_bits)
        : total_bits_(total_bits),
          bits_per_row_(total_bits <= 8 ? 8 : 16),
          rows_(std::max(1, (total_bits + bits_per_row_ - 1) / bits_per_row_)),
          width_(G::kLeft + bits_per_row_ * G::kCellWidth + G::kMargin),
          height_(G::kTop + rows_ * G::kRowPitch - (G::kRowPitch - G::kRowHeight) + G::kMargin) {}

    void header() {
        const int bytes = (total_bits_ + 7) / 8;
        const std::string size = std::to_string(total_bits_) + " bits (" + std::to_string(bytes) +
                                 (bytes == 1 ? " byte)" : " bytes)");
        out_ += "<svg xmlns=\"http://www.w3.org/2000/svg\" class=\"velmora-map\" width=\"" +
                num(width_) + "\" height=\"" + num(height_) + "\" viewBox=\"0 0 " + num(width_) +
                " " + num(height_) + "\" font-family=\"sans-serif\" font-size=\"12\" data-bits=\"" +
                num(total_bits_) + "\" data-bits-per-row=\"" + num(bits_per_row_) +
                "\" data-bit0=\"left\">\n";
        out_ += "<title>Dictionary map: " + size + "</title>\n";
        out_ += "<defs><pattern id=\"" + std::string(kHatchId) +
                "\" patternUnits=\"userSpaceOnUse\" width=\"8\" height=\"8\" "
                "patternTransform=\"rotate(45)\"><rect width=\"8\" height=\"8\" fill=\"#ffffff\"/>"
                "<line x1=\"0\" y1=\"0\" x2=\"0\" y2=\"8\" stroke=\"#9e9e9e\" stroke-width=\"3\"/>"
                "</pattern></defs>\n";
        out_ += "<text class=\"caption\" x=\"" + num(G::kLeft) + "\" y=\"16\">" + size +
                ", bit 0 of each word on the left</text>\n";
        out_ += "<g class=\"bit-numbers\" text-anchor=\"middle\" font-size=\"10\">";
        for (int b = 0; b < bits_per_row_; ++b) {
            out_ += "<text class=\"bit-number\" data-bit=\"" + num(b) + "\" x=\"" +
                    num(cell_x(b) + G::kCellWidth / 2) + "\" y=\"" + num(G::kTop - 8) + "\">" +
                    num(b) + "</text>";
        }
        out_ += "</g>\n";
    }

    void words() {
        for (int w = 0; w < rows_; ++w) {
            const int y = row_y(w);
            out_ += "<g class=\"word\" data-word=\"" + num(w) +
                    "\"><text class=\"word-label\" x=\"" + num(G::kLeft - 8) + "\" y=\"" +
                    num(y + G::kRowHeight / 2) +
                    "\" text-anchor=\"end\" dominant-baseline=\"central\">word " + num(w) +
                    "</text><rect class=\"word-frame\" x=\"" + num(G::kLeft) + "\" y=\"" + num(y) +
                    "\" width=\"" + num(bits_per_row_ * G::kCellWidth) + "\" height=\"" +
                    num(G::kRowHeight) +
                    "\" fill=\"#f2f2f2\" stroke=\"#555555\"/><path "
                    "class=\"bit-grid\" stroke=\"#c8c8c8\" d=\"";
            for (int b = 1; b < bits_per_row_; ++b) {
                // Appended piece by piece: no temporaries (and no false -Wrestrict at -O3).
                out_ += 'M';
                out_ += num(cell_x(b));
                out_ += ' ';
                out_ += num(y);
                out_ += 'v';
                out_ += num(G::kRowHeight);
            }
            out_ += "\"/></g>\n";
        }
    }

    void entry(const DictionaryMappedItem& e, std::size_t index, std::size_t colour) {
        const int position = e.position_bits();
        const int bits = e.bits();
        const bool padding = e.is_padding();
        const std::u32string name = padding ? std::u32string() : decode(e.item()->name());
        out_ += "<g class=\"entry " + std::string(padding ? "padding" : "item") +
                "\" data-index=\"" + num(static_cast<int>(index)) + "\"";
        if (!padding) out_ += " data-name=\"" + escape(name) + "\"";
        out_ += " data-position-bits=\"" + num(position) + "\" data-bits=\"" + num(bits) + "\">";
        out_ += "<title>" + (padding ? std::string("Padding") : escape(name)) + ": " +
                bit_range(position, bits) + "</title>";
        const std::string fill = padding ? "url(#" + std::string(kHatchId) + ")"
                                         : std::string(kPalette[colour % std::size(kPalette)]);
        // One segment per word row that the entry touches.
        for (int bit = position, end = position + bits; bit < end;) {
            const int row = bit / bits_per_row_;
            const int first = bit % bits_per_row_;
            const int count = std::min(end - bit, bits_per_row_ - first);
            const int x = cell_x(first);
            const int y = row_y(row);
            const int w = count * G::kCellWidth;
            out_ += "<rect class=\"segment\" data-word=\"" + num(row) + "\" data-first-bit=\"" +
                    num(first) + "\" data-bits=\"" + num(count) + "\" x=\"" + num(x) + "\" y=\"" +
                    num(y) + "\" width=\"" + num(w) + "\" height=\"" + num(G::kRowHeight) +
                    "\" fill=\"" + fill + "\" stroke=\"#333333\"/>";
            if (!padding) {
                out_ += "<text class=\"label\" x=\"" + num(x + w / 2) + "\" y=\"" +
                        num(y + G::kRowHeight / 2) +
                        "\" text-anchor=\"middle\" dominant-baseline=\"central\">" +
                        escape(fitted_label(name, w)) + "</text>";
            }
            bit += count;
        }
        out_ += "</g>\n";
    }

    std::string finish() {
        out_ += "</svg>\n";
        return std::move(out_);
    }

  private:
    static std::string num(int value) { return std::to_string(value); }
    static int cell_x(int bit_in_row) { return G::kLeft + bit_in_row * G::kCellWidth; }
    static int row_y(int row) { return G::kTop + row * G::kRowPitch; }

    int total_bits_;
    int bits_per_row_;
    int rows_;
    int width_;
    int height_;
    std::string out_;
};

}  // namespace

std::string xml_escape(std::string_view text) {
    return escape(decode(text));
}

std::string map_to_svg(const DictionaryMap& map) {
    const auto& entries = map._items();
    // The rows cover every entry, also one placed beyond safety_bits by a restored layout.
    int total_bits = map.safety_bits();
    for (const auto& e : entries) total_bits = std::max(total_bits, e->position_bits() + e->bits());
    SvgWriter svg(total_bits);
    svg.header();
    svg.words();
    std::size_t items = 0;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        svg.entry(*entries[i], i, items);
        if (!entries[i]->is_padding()) ++items;
    }
    return svg.finish();
}

}  // namespace velmora
