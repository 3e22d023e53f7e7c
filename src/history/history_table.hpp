#pragma once
// A connection history as a fixed-width text table, one row per frame, with the reason a
// rejected reply failed its checks worked out from what the event recorded.
#include <string>
#include <vector>

#include "history/history_event.hpp"

namespace velmora {

// Columns: event number, time in ms since the first event, kind, states before -> after,
// direction ("<-" reply, "->" request), command, sequence number, connection id, safe data,
// CRC result ("ok", "FAIL", "-") and a note (transition, error, what the checks found).
// An empty list gives the header and a line "no events".
std::string describe_history(const std::vector<HistoryEvent>& events);

}  // namespace velmora
