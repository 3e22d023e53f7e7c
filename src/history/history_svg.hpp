#pragma once
// A handler's connection history as an SVG timeline, for diagnosis front ends.
//
// Time runs left to right, from the earliest event (events are drawn in time order, also when
// the list is not). Five lanes, Data on top and Reset at the bottom, carry the connection's
// state as coloured bands and a step line: an event's state_before up to it, its state_after
// from it. Every event is a <g class="event KIND"> (plus "error" when it reported one) with
// data-number, data-kind, data-time-ns, data-state-before, data-state-after, a <title> and a
// marker on the line; an error is red and labelled with its transition. Host starts, stops,
// resets and fail-safe switches and watchdog expiries are labelled vertical lines
// (<g class="mark KIND">). A "replies" row has a tick per reply; unusually long gaps between
// consecutive replies are <g class="gap long"> with their length in ms, the longest also
// "longest". Labels that would overlap are left out (the tooltips keep everything), and the
// document grows linearly with the number of events.
#include <string>
#include <vector>

#include "history/history_event.hpp"

namespace velmora {

struct HistorySvgGeometry {
    static constexpr int kLeft = 96;            // room for the lane labels
    static constexpr int kPlotWidth = 960;      // the time axis
    static constexpr int kPad = 12;             // in the plot, around the first and last event
    static constexpr int kRight = 36;           // room for the last tick label
    static constexpr int kLabelRow = 14;        // one row of labels (10-pixel font)
    static constexpr int kMarkLabelRows = 2;    // labels of the vertical lines
    static constexpr int kErrorLabelRows = 2;   // transition names of the errors
    static constexpr int kLaneHeight = 28;      // one state
    static constexpr int kReplyRowHeight = 24;  // the reply ticks
    static constexpr int kSmallCharWidth = 6;   // estimate for the 10-pixel label font
    static constexpr int kLabelChars = 24;      // longer labels are cut
    static constexpr double kLongGapFactor = 3;  // a gap this many times the median stands out
};

// Throws ValueError for an event whose kind or states are out of range.
std::string history_to_svg(const std::vector<HistoryEvent>& events);

}  // namespace velmora
