#include "history/history_svg.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <numeric>
#include <string>
#include <string_view>
#include <vector>

#include "mapping/map_svg.hpp"
#include "protocol/errors.hpp"

namespace velmora {
namespace {

using G = HistorySvgGeometry;
using Ns = std::uint64_t;  // nanoseconds since the earliest event

constexpr int kWidth = G::kLeft + G::kPlotWidth + G::kRight;
constexpr int kCaptionY = 16;
constexpr int kMarkLabelsTop = 24;
constexpr int kErrorLabelsTop = kMarkLabelsTop + G::kMarkLabelRows * G::kLabelRow;
constexpr int kLanesTop = kErrorLabelsTop + G::kErrorLabelRows * G::kLabelRow + 4;
constexpr int kLanesBottom = kLanesTop + kStateCount * G::kLaneHeight;
constexpr int kGapLabelsTop = kLanesBottom + 2;
constexpr int kRepliesTop = kGapLabelsTop + G::kLabelRow;
constexpr int kRepliesBottom = kRepliesTop + G::kReplyRowHeight;
constexpr int kAxisY = kRepliesBottom + 8;
constexpr int kHeight = kAxisY + 44;
constexpr int kMinTickSpacing = 56;

// The map picture's palette, one colour per state; red is kept for errors.
constexpr std::array<const char*, kStateCount> kStateFill = {"#cdb4db", "#8ecae6", "#ffc857",
                                                             "#f4a261", "#a7c957"};
constexpr const char* kErrorRed = "#d62828";
constexpr std::array<const char*, kHistoryKindCount> kKindFill = {
    "#555555", "#e76f51", "#264653", "#264653", "#264653", "#264653"};

std::string num(double value) {
    if (!std::isfinite(value)) value = 0;
    char buffer[48];
    std::snprintf(buffer, sizeof buffer, "%.1f", value);
    std::string s = buffer;
    if (s.size() > 2 && s.compare(s.size() - 2, 2, ".0") == 0) s.resize(s.size() - 2);
    if (s == "-0") s = "0";
    return s;
}

std::string num(int value) {
    return std::to_string(value);
}

// Nanoseconds as milliseconds, exactly, without trailing zeros.
std::string exact_ms(Ns ns) {
    std::string s = std::to_string(ns / 1'000'000);
    if (const Ns rest = ns % 1'000'000; rest != 0) {
        std::string digits = std::to_string(rest);
        digits.insert(0, 6 - digits.size(), '0');
        digits.erase(digits.find_last_not_of('0') + 1);
        s += "." + digits;
    }
    return s;
}

// Milliseconds for a label: about three significant digits below 100 ms.
std::string short_ms(Ns ns) {
    const double ms = static_cast<double>(ns) / 1e6;
    int decimals = 0;
    if (ms > 0 && ms < 100) {
        decimals = std::min(6, 2 - static_cast<int>(std::floor(std::log10(ms))));
    }
    char buffer[48];
    std::snprintf(buffer, sizeof buffer, "%.*f", decimals, ms);
    return buffer;
}

// The first max_chars characters of UTF-8 text, cut before a lead byte so that no sequence is
// split, and an ellipsis if anything was cut. `chars` gets the length in characters.
std::string shortened(std::string_view text, std::size_t max_chars, std::size_t& chars) {
    chars = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if ((static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) continue;
        if (chars == max_chars) {
            return std::string(text.substr(0, i)) + "\u2026";
        }
        ++chars;
    }
    return std::string(text);
}

std::string_view lane_name(StateId state) {
    std::string_view name = state_class_name(state);
    name.remove_prefix(std::string_view("State").size());
    return name;
}

std::string_view mark_label(HistoryKind kind) {
    switch (kind) {
        case HistoryKind::Expiry:
            return "expiry";
        case HistoryKind::FailSafe:
            return "fail-safe";
        default:
            return history_kind_name(kind);
    }
}

bool is_mark(HistoryKind kind) {
    return kind != HistoryKind::Reply;
}

bool is_error(const HistoryEvent& e) {
    return e.transition.has_value() || e.error.has_value();
}

int lane_index(StateId state) {  // from the top
    return kStateCount - 1 - static_cast<int>(state);
}

double lane_centre(StateId state) {
    return kLanesTop + lane_index(state) * G::kLaneHeight + G::kLaneHeight / 2.0;
}

// Rows of labels, each a pixel occupancy: a label goes in the first row where it is free, or
// is left out. Linear in the label widths, whatever the number of labels.
class LabelRows {
  public:
    explicit LabelRows(int rows) : rows_(static_cast<std::size_t>(rows)) {
        for (auto& row : rows_) row.assign(kWidth, false);
    }

    // The row for a label centred near x, or -1; `centre` gets the centre kept inside the picture.
    int place(double x, double width, double& centre) {
        const double half = width / 2 + 2;
        centre = std::clamp(x, G::kLeft + half, kWidth - half);
        const auto first = static_cast<std::size_t>(std::max(0.0, std::floor(centre - half)));
        const auto last = static_cast<std::size_t>(
            std::clamp(std::ceil(centre + half), 0.0, static_cast<double>(kWidth)));
        for (std::size_t r = 0; r < rows_.size(); ++r) {
            auto& row = rows_[r];
            if (std::any_of(row.begin() + static_cast<std::ptrdiff_t>(first),
                            row.begin() + static_cast<std::ptrdiff_t>(last),
                            [](bool taken) { return taken; })) {
                continue;
            }
            std::fill(row.begin() + static_cast<std::ptrdiff_t>(first),
                      row.begin() + static_cast<std::ptrdiff_t>(last), true);
            return static_cast<int>(r);
        }
        return -1;
    }

  private:
    std::vector<std::vector<bool>> rows_;
};

double label_width(std::size_t chars) {
    return static_cast<double>(chars * G::kSmallCharWidth);
}

// The axis step: 1, 2 or 5 times a power of ten nanoseconds, the smallest whose labels fit.
struct TickStep {
    Ns step_ns;
    int decimals;  // of the labels, in ms
};

std::string tick_label(Ns ns, int decimals) {
    std::string s = std::to_string(ns / 1'000'000);
    if (decimals > 0) {
        std::string digits = std::to_string(ns % 1'000'000);
        digits.insert(0, 6 - digits.size(), '0');
        s += "." + digits.substr(0, static_cast<std::size_t>(decimals));
    }
    return s;
}

TickStep choose_ticks(Ns domain, double inner_width) {
    Ns power = 1;
    int exponent = 0;
    for (;;) {
        const int decimals = std::max(0, 6 - exponent);
        for (const Ns mantissa : {1, 2, 5}) {
            if (power > UINT64_MAX / mantissa) return {power, decimals};  // the largest step
            const Ns step = mantissa * power;
            const std::size_t chars = tick_label(domain / step * step, decimals).size();
            const double spacing =
                static_cast<double>(step) / static_cast<double>(domain) * inner_width;
            if (step >= domain ||
                spacing >= std::max<double>(kMinTickSpacing, label_width(chars) + 16)) {
                return {step, decimals};
            }
        }
        if (power > UINT64_MAX / 10) return {power, decimals};
        power *= 10;
        ++exponent;
    }
}

struct Mark {
    HistoryKind kind;
    double x;
    std::uint64_t first_number;
    std::size_t count;
};

struct Gap {
    std::size_t from;  // indices into the events in time order
    std::size_t to;
    Ns length;
    bool long_gap;
    bool longest;
    int label_row = -1;  // none
    double label_centre = 0;
};

class Timeline {
  public:
    explicit Timeline(const std::vector<HistoryEvent>& events) : events_(events) {
        order_.resize(events.size());
        std::iota(order_.begin(), order_.end(), std::size_t{0});
        std::stable_sort(order_.begin(), order_.end(), [&](std::size_t a, std::size_t b) {
            return events[a].time_ns < events[b].time_ns;
        });
        in_time_order_ = std::is_sorted(
            events.begin(), events.end(),
            [](const auto& a, const auto& b) { return a.time_ns < b.time_ns; });
        origin_ = events_[order_.front()].time_ns;
        span_ = rel(events_[order_.back()]);
        domain_ = span_ == 0 ? 1'000'000 : span_;  // one event, or all at once: a 1 ms axis
        errors_ = static_cast<std::size_t>(std::count_if(events.begin(), events.end(), is_error));
    }

    std::string draw() {
        header();
        lanes();
        axis();
        bands();
        marks();
        replies();
        state_line();
        markers();
        out_ += "</svg>\n";
        return std::move(out_);
    }

  private:
    const HistoryEvent& at(std::size_t i) const { return events_[order_[i]]; }

    // Unsigned difference: no overflow even from INT64_MIN to INT64_MAX.
    Ns rel(const HistoryEvent& e) const {
        return static_cast<Ns>(e.time_ns) - static_cast<Ns>(origin_);
    }

    double x(Ns ns) const {
        const double inner = G::kPlotWidth - 2 * G::kPad;
        return G::kLeft + G::kPad + static_cast<double>(ns) / static_cast<double>(domain_) * inner;
    }

    double x(const HistoryEvent& e) const { return x(rel(e)); }

    void header() {
        const std::string events = std::to_string(events_.size()) +
                                   (events_.size() == 1 ? " event" : " events");
        const std::string errors = std::to_string(errors_) + (errors_ == 1 ? " error" : " errors");
        out_ += "<svg xmlns=\"http://www.w3.org/2000/svg\" class=\"velmora-history\" width=\"" +
                num(kWidth) + "\" height=\"" + num(kHeight) + "\" viewBox=\"0 0 " + num(kWidth) +
                " " + num(kHeight) +
                "\" font-family=\"sans-serif\" font-size=\"12\" data-events=\"" +
                std::to_string(events_.size()) + "\" data-errors=\"" + std::to_string(errors_) +
                "\" data-span-ns=\"" + std::to_string(span_) + "\" data-in-time-order=\"" +
                (in_time_order_ ? "true" : "false") + "\">\n";
        out_ += "<title>Connection history: " + events + ", " + errors + "</title>\n";
        out_ += "<rect class=\"background\" width=\"" + num(kWidth) + "\" height=\"" +
                num(kHeight) + "\" fill=\"#ffffff\"/>\n";
        out_ += "<text class=\"caption\" x=\"" + num(G::kLeft) + "\" y=\"" + num(kCaptionY) +
                "\">" + events + " over " + exact_ms(span_) + " ms, " + errors +
                (in_time_order_ ? "" : " (not in time order: drawn by time)") + "</text>\n";
    }

    void lanes() {
        out_ += "<g class=\"lanes\">\n";
        for (int s = kStateCount - 1; s >= 0; --s) {
            const auto state = static_cast<StateId>(s);
            const int y = kLanesTop + lane_index(state) * G::kLaneHeight;
            out_ += "<g class=\"lane\" data-state=\"" + std::string(state_class_name(state)) +
                    "\"><rect class=\"lane-frame\" x=\"" + num(G::kLeft) + "\" y=\"" + num(y) +
                    "\" width=\"" + num(G::kPlotWidth) + "\" height=\"" + num(G::kLaneHeight) +
                    "\" fill=\"" + (s % 2 == 0 ? "#f2f2f2" : "#fafafa") +
                    "\" stroke=\"#c8c8c8\"/><text class=\"lane-label\" x=\"" + num(G::kLeft - 8) +
                    "\" y=\"" + num(y + G::kLaneHeight / 2) +
                    "\" text-anchor=\"end\" dominant-baseline=\"central\">" +
                    std::string(lane_name(state)) + "</text></g>\n";
        }
        out_ += "</g>\n";
    }

    void axis() {
        const TickStep ticks = choose_ticks(domain_, G::kPlotWidth - 2 * G::kPad);
        out_ += "<g class=\"axis\" data-step-ns=\"" + std::to_string(ticks.step_ns) +
                "\"><line class=\"axis-line\" x1=\"" + num(G::kLeft) + "\" y1=\"" + num(kAxisY) +
                "\" x2=\"" + num(G::kLeft + G::kPlotWidth) + "\" y2=\"" + num(kAxisY) +
                "\" stroke=\"#555555\"/>\n";
        for (Ns t = 0;; t += ticks.step_ns) {
            const std::string tx = num(x(t));
            out_ += "<g class=\"tick\" data-ns=\"" + std::to_string(t) + "\"><line x1=\"" + tx +
                    "\" y1=\"" + num(kLanesTop) + "\" x2=\"" + tx + "\" y2=\"" + num(kAxisY + 5) +
                    "\" stroke=\"#e0e0e0\"/><text class=\"tick-label\" x=\"" + tx + "\" y=\"" +
                    num(kAxisY + 18) + "\" text-anchor=\"middle\" font-size=\"10\">" +
                    tick_label(t, ticks.decimals) + "</text></g>\n";
            if (domain_ - t < ticks.step_ns) break;  // also keeps t from overflowing
        }
        out_ += "<text class=\"axis-label\" x=\"" + num(G::kLeft + G::kPlotWidth / 2) +
                "\" y=\"" + num(kAxisY + 36) +
                "\" text-anchor=\"middle\">time since the first event (ms)</text></g>\n";
    }

    // One band per run of a state, from the event that entered it to the next event.
    void bands() {
        out_ += "<g class=\"bands\" fill-opacity=\"0.6\">\n";
        const double left = G::kLeft;
        const double right = G::kLeft + G::kPlotWidth;
        StateId state = at(0).state_before;
        double start = left;
        const auto close = [&](double end) {
            if (end - start < 0.05) return;
            out_ += "<rect class=\"band\" data-state=\"" + std::string(state_class_name(state)) +
                    "\" x=\"" + num(start) + "\" y=\"" +
                    num(kLanesTop + lane_index(state) * G::kLaneHeight + 4) + "\" width=\"" +
                    num(end - start) + "\" height=\"" + num(G::kLaneHeight - 8) + "\" fill=\"" +
                    kStateFill[static_cast<std::size_t>(state)] + "\"/>\n";
        };
        for (std::size_t i = 0; i < order_.size(); ++i) {
            const HistoryEvent& e = at(i);
            if (e.state_after == state && e.state_before == state) continue;
            close(x(e));
            state = e.state_after;
            start = x(e);
        }
        close(right);
        out_ += "</g>\n";
    }

    // Vertical lines for the host's operations and the watchdog, one per kind and pixel.
    void marks() {
        std::vector<Mark> marks;
        std::array<std::ptrdiff_t, kHistoryKindCount> last{};
        last.fill(-1);
        for (std::size_t i = 0; i < order_.size(); ++i) {
            const HistoryEvent& e = at(i);
            if (!is_mark(e.kind)) continue;
            auto& previous = last[static_cast<std::size_t>(e.kind)];
            const double ex = x(e);
            if (previous >= 0 &&
                std::lround(marks[static_cast<std::size_t>(previous)].x) == std::lround(ex)) {
                ++marks[static_cast<std::size_t>(previous)].count;
                continue;
            }
            previous = static_cast<std::ptrdiff_t>(marks.size());
            marks.push_back({e.kind, ex, e.number, 1});
        }
        LabelRows rows(G::kMarkLabelRows);
        out_ += "<g class=\"marks\" font-size=\"10\">\n";
        for (const Mark& m : marks) {
            const std::string kind(history_kind_name(m.kind));
            const std::string colour = kKindFill[static_cast<std::size_t>(m.kind)];
            std::string label(mark_label(m.kind));
            if (m.count > 1) label += " \u00d7" + std::to_string(m.count);
            std::size_t chars = 0;
            shortened(label, G::kLabelChars, chars);
            double centre = 0;
            const int row = rows.place(m.x, label_width(chars), centre);
            out_ += "<g class=\"mark " + kind + "\" data-kind=\"" + kind + "\" data-number=\"" +
                    std::to_string(m.first_number) + "\" data-count=\"" + std::to_string(m.count) +
                    "\"><line x1=\"" + num(m.x) + "\" y1=\"" +
                    num(row < 0 ? kLanesTop : kMarkLabelsTop + (row + 1) * G::kLabelRow) +
                    "\" x2=\"" + num(m.x) + "\" y2=\"" + num(kRepliesBottom) + "\" stroke=\"" +
                    colour + "\" stroke-dasharray=\"4 2\"/>";
            if (row >= 0) {
                out_ += "<text class=\"mark-label\" x=\"" + num(centre) + "\" y=\"" +
                        num(kMarkLabelsTop + (row + 1) * G::kLabelRow - 3) +
                        "\" text-anchor=\"middle\" fill=\"" + colour + "\">" + label + "</text>";
            }
            out_ += "</g>\n";
        }
        out_ += "</g>\n";
    }

    // A tick per reply; unusually long gaps between consecutive replies drawn with their length.
    void replies() {
        std::vector<std::size_t> replies;
        for (std::size_t i = 0; i < order_.size(); ++i) {
            if (at(i).kind == HistoryKind::Reply) replies.push_back(i);
        }
        const double tick_top = kRepliesTop + 4;
        out_ += "<g class=\"replies\" data-replies=\"" + std::to_string(replies.size()) +
                "\"><text class=\"row-label\" x=\"" + num(G::kLeft - 8) + "\" y=\"" +
                num(kRepliesTop + G::kReplyRowHeight / 2) +
                "\" text-anchor=\"end\" dominant-baseline=\"central\">replies</text><line "
                "class=\"baseline\" x1=\"" +
                num(G::kLeft) + "\" y1=\"" + num(kRepliesBottom - 4) + "\" x2=\"" +
                num(G::kLeft + G::kPlotWidth) + "\" y2=\"" + num(kRepliesBottom - 4) +
                "\" stroke=\"#c8c8c8\"/>\n";
        const std::vector<Gap> gaps = long_gaps(replies);
        for (const Gap& g : gaps) gap(g, tick_top);
        // Ticks that would land on the same spot are drawn once.
        out_ += "<path class=\"reply-ticks\" stroke=\"#555555\" d=\"";
        std::string previous;
        for (std::size_t i : replies) {
            std::string rx = num(x(at(i)));
            if (rx == previous) continue;
            out_ += 'M';
            out_ += rx;
            out_ += ' ';
            out_ += num(tick_top);
            out_ += "v16";
            previous = std::move(rx);
        }
        out_ += "\"/></g>\n";
    }

    std::vector<Gap> long_gaps(const std::vector<std::size_t>& replies) {
        std::vector<Gap> gaps;
        if (replies.size() < 2) return gaps;
        std::vector<Ns> lengths;
        for (std::size_t k = 1; k < replies.size(); ++k) {
            lengths.push_back(rel(at(replies[k])) - rel(at(replies[k - 1])));
        }
        std::vector<Ns> sorted = lengths;
        auto middle = sorted.begin() + static_cast<std::ptrdiff_t>(sorted.size() / 2);
        std::nth_element(sorted.begin(), middle, sorted.end());
        const double threshold = G::kLongGapFactor * static_cast<double>(*middle);
        const auto longest = static_cast<std::size_t>(
            std::max_element(lengths.begin(), lengths.end()) - lengths.begin());
        for (std::size_t k = 0; k < lengths.size(); ++k) {
            const bool is_longest = k == longest && lengths[k] > 0;
            const bool is_long = lengths[k] > 0 && static_cast<double>(lengths[k]) > threshold;
            if (is_longest || is_long) {
                gaps.push_back({replies[k], replies[k + 1], lengths[k], is_long, is_longest});
            }
        }
        // Labels go to the longest gaps first; the rest where there is room.
        std::vector<std::size_t> by_length(gaps.size());
        std::iota(by_length.begin(), by_length.end(), std::size_t{0});
        std::stable_sort(by_length.begin(), by_length.end(), [&](std::size_t a, std::size_t b) {
            return gaps[a].length > gaps[b].length;
        });
        LabelRows rows(1);
        for (std::size_t k : by_length) {
            Gap& g = gaps[k];
            const std::string label = short_ms(g.length) + " ms";
            const double mid = (x(at(g.from)) + x(at(g.to))) / 2;
            g.label_row = rows.place(mid, label_width(label.size()), g.label_centre);
        }
        return gaps;
    }

    void gap(const Gap& g, double tick_top) {
        const double x1 = x(at(g.from));
        const double width = std::max(1.0, x(at(g.to)) - x1);
        const std::string ms = short_ms(g.length);
        out_ += std::string("<g class=\"gap") + (g.long_gap ? " long" : "") +
                (g.longest ? " longest" : "") + "\" data-from=\"" +
                std::to_string(at(g.from).number) + "\" data-to=\"" +
                std::to_string(at(g.to).number) + "\" data-ns=\"" + std::to_string(g.length) +
                "\"><title>" + (g.longest ? "Longest gap" : "Gap") + " between replies #" +
                std::to_string(at(g.from).number) + " and #" + std::to_string(at(g.to).number) +
                ": " + exact_ms(g.length) + " ms</title><rect x=\"" + num(x1) + "\" y=\"" +
                num(tick_top + 2) + "\" width=\"" + num(width) + "\" height=\"12\" fill=\"" +
                (g.longest ? "#f4a261" : "#ffc857") + "\" stroke=\"" +
                (g.longest ? "#e76f51" : "none") + "\"/>";
        if (g.label_row >= 0) {
            out_ += "<text class=\"gap-label\" x=\"" + num(g.label_centre) + "\" y=\"" +
                    num(kGapLabelsTop + G::kLabelRow - 3) +
                    "\" text-anchor=\"middle\" font-size=\"10\"" +
                    (g.longest ? " font-weight=\"bold\"" : "") + ">" + ms + " ms</text>";
        }
        out_ += "</g>\n";
    }

    // The state as a step line: state_before up to each event, state_after from it.
    void state_line() {
        out_ +=
            "<path class=\"state-line\" fill=\"none\" stroke=\"#333333\" stroke-width=\"1.5\" "
            "d=\"M";
        out_ += num(G::kLeft) + " " + num(lane_centre(at(0).state_before));
        std::string last_x;
        std::string last_y = num(lane_centre(at(0).state_before));
        const auto to = [&](const std::string& px, const std::string& py) {
            if (px != last_x) {
                out_ += 'H';
                out_ += px;
                last_x = px;
            }
            if (py != last_y) {
                out_ += 'V';
                out_ += py;
                last_y = py;
            }
        };
        for (std::size_t i = 0; i < order_.size(); ++i) {
            const HistoryEvent& e = at(i);
            const std::string px = num(x(e));
            to(px, num(lane_centre(e.state_before)));
            to(px, num(lane_centre(e.state_after)));
        }
        to(num(G::kLeft + G::kPlotWidth), last_y);
        out_ += "\"/>\n";
    }

    void markers() {
        LabelRows rows(G::kErrorLabelRows);
        out_ += "<g class=\"events\">\n";
        for (std::size_t i = 0; i < order_.size(); ++i) marker(at(i), rows);
        out_ += "</g>\n";
    }

    void marker(const HistoryEvent& e, LabelRows& rows) {
        const std::string kind(history_kind_name(e.kind));
        const std::string before(state_class_name(e.state_before));
        const std::string after(state_class_name(e.state_after));
        const bool error = is_error(e);
        const double ex = x(e);
        out_ += "<g class=\"event " + kind + (error ? " error" : "") + "\" data-number=\"" +
                std::to_string(e.number) + "\" data-kind=\"" + kind + "\" data-time-ns=\"" +
                std::to_string(e.time_ns) + "\" data-state-before=\"" + before +
                "\" data-state-after=\"" + after + "\"";
        if (e.transition) out_ += " data-transition=\"" + xml_escape(*e.transition) + "\"";
        out_ += "><title>#" + std::to_string(e.number) + " " + kind + " at " + exact_ms(rel(e)) +
                " ms&#10;" + before + " \u2192 " + after;
        if (error) {
            out_ += "&#10;error";
            if (e.transition) out_ += " in " + xml_escape(*e.transition);
            if (e.error) out_ += ": " + xml_escape(*e.error);
        }
        if (e.kind == HistoryKind::FailSafe) {
            out_ += e.fail_safe ? "&#10;fail-safe data on" : "&#10;fail-safe data off";
        }
        const std::string look =
            error ? "r=\"4\" fill=\"" + std::string(kErrorRed) + "\" stroke=\"#ffffff\""
                  : "r=\"2.5\" fill=\"" +
                        std::string(kKindFill[static_cast<std::size_t>(e.kind)]) + "\"";
        out_ += "</title><circle cx=\"" + num(ex) + "\" cy=\"" + num(lane_centre(e.state_after)) +
                "\" " + look + "/>";
        if (error) {
            std::size_t chars = 0;
            const std::string label =
                shortened(e.transition ? std::string_view(*e.transition) : "error", G::kLabelChars,
                          chars);
            double centre = 0;
            const int row = rows.place(ex, label_width(chars), centre);
            if (row >= 0) {
                out_ += "<text class=\"error-label\" x=\"" + num(centre) + "\" y=\"" +
                        num(kErrorLabelsTop + (row + 1) * G::kLabelRow - 3) +
                        "\" text-anchor=\"middle\" font-size=\"10\" fill=\"" + kErrorRed + "\">" +
                        xml_escape(label) + "</text>";
            }
        }
        out_ += "</g>\n";
    }

    const std::vector<HistoryEvent>& events_;
    std::vector<std::size_t> order_;  // indices of the events in time order
    bool in_time_order_ = true;
    std::int64_t origin_ = 0;
    Ns span_ = 0;
    Ns domain_ = 1;
    std::size_t errors_ = 0;
    std::string out_;
};

void check(const HistoryEvent& e) {
    const auto state_ok = [](StateId s) { return static_cast<std::uint8_t>(s) < kStateCount; };
    if (static_cast<std::uint8_t>(e.kind) >= kHistoryKindCount) {
        throw ValueError("history event " + std::to_string(e.number) + ": kind " +
                         std::to_string(static_cast<int>(e.kind)) + " is not an event kind");
    }
    if (!state_ok(e.state_before) || !state_ok(e.state_after)) {
        throw ValueError("history event " + std::to_string(e.number) + ": state " +
                         std::to_string(static_cast<int>(
                             state_ok(e.state_before) ? e.state_after : e.state_before)) +
                         " is not a state of the master");
    }
}

std::string empty_svg() {
    constexpr int width = 320;
    constexpr int height = 48;
    return "<svg xmlns=\"http://www.w3.org/2000/svg\" class=\"velmora-history\" width=\"" +
           num(width) + "\" height=\"" + num(height) + "\" viewBox=\"0 0 " + num(width) + " " +
           num(height) +
           "\" font-family=\"sans-serif\" font-size=\"12\" data-events=\"0\" data-errors=\"0\" "
           "data-span-ns=\"0\" data-in-time-order=\"true\">\n<title>Connection history: no "
           "events</title>\n<rect class=\"background\" width=\"" +
           num(width) + "\" height=\"" + num(height) +
           "\" fill=\"#ffffff\"/>\n<text class=\"caption\" x=\"12\" y=\"28\">No events</text>\n"
           "</svg>\n";
}

}  // namespace

std::string history_to_svg(const std::vector<HistoryEvent>& events) {
    for (const auto& e : events) check(e);
    if (events.empty()) return empty_svg();
    return Timeline(events).draw();
}

}  // namespace velmora
