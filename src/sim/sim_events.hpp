#pragma once
// What the simulated slave saw and did, kept in a fixed ring of plain records so that
// recording costs no allocation; the text of an event is built only when it is read.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "sim/sim_faults.hpp"
#include "sim/sim_state.hpp"

namespace velmora::sim {

enum class SimEventKind : std::uint8_t {
    FRAME,         // a new request was handled (command received, command replied)
    REPEAT,        // the request equalled the previous one: the current reply was returned
    IGNORED,       // an empty request, or a request while the slave is silent
    STATE,         // the slave changed state
    ERROR,         // the slave found a violation and answers with a Reset frame
    MASTER_RESET,  // the master reset the connection (its error code in `code`)
    WATCHDOG,      // no new frame within the watchdog time
    FAULT,         // an injected fault was applied
    HOST_RESET,    // the host reset the slave
    // a FAILSAFE_DATA request whose safe data was not all zeros (its outputs were not used;
    // `index` is the first non-zero byte, `value` its value)
    FAILSAFE_NOT_ZERO,
};

inline constexpr std::size_t kSimEventKindCount = 10;

std::string_view event_kind_name(SimEventKind kind) noexcept;

// Which check an ERROR event failed, or why a request was IGNORED.
enum class SimDetail : std::uint8_t {
    NONE,
    LENGTH,               // request of the wrong length
    UNKNOWN_COMMAND,      // command byte that is no FSoE command
    UNEXPECTED_COMMAND,   // valid command the slave does not expect in its state
    CONNECTION_ID_FIELD,  // connection id field of the frame
    CRC,                  // block CRCs (expected sequence number in `expected`)
    CONNECTION_ID_DATA,   // connection id sent in the connection data
    ADDRESS,              // slave address sent in the connection data
    COMM_PARA_LENGTH,     // communication parameter length
    WATCHDOG_TIME,        // watchdog time
    USER_PARA_LENGTH,     // application parameter length
    USER_PARA,            // an application parameter byte (`index`)
    PADDING,              // a safe-data byte beyond the setup data was not 0 (`index`)
    EMPTY,                // IGNORED: the request was empty
    SILENT,               // IGNORED: the slave is silent
};

// The error code that answers a failed check.
std::uint16_t detail_error_code(SimDetail detail) noexcept;

inline constexpr std::uint16_t kNoCommand = 0xFFFF;

struct SimEvent {
    std::uint64_t number = 0;  // running number, from 0
    double time_ms = 0;        // the simulator's clock
    SimEventKind kind = SimEventKind::FRAME;
    SimState state = SimState::RESET;  // the state after the event
    SimState from = SimState::RESET;   // STATE: the state before
    SimDetail detail = SimDetail::NONE;
    SimFault fault = SimFault::CORRUPT_CRC;  // FAULT
    std::uint16_t command = kNoCommand;      // FRAME, ERROR: the command byte received
    std::uint16_t reply = kNoCommand;        // FRAME: the command byte sent
    std::uint16_t code = 0;                  // error code (ERROR, MASTER_RESET, WATCHDOG, ...)
    std::uint16_t index = 0;                 // USER_PARA, PADDING: the byte
    std::uint32_t value = 0;                 // what was found (or the fault's value)
    std::uint32_t expected = 0;              // what was expected
};

// Whether an event carries an error code in `code`.
bool event_has_code(const SimEvent& event) noexcept;
// One line of text for an event.
std::string describe(const SimEvent& event);
// A command byte as its name, or as hexadecimal when it is no command.
std::string command_text(std::uint16_t command);

// The newest `capacity` events, oldest first. Capacity 0 keeps none.
class EventLog {
  public:
    explicit EventLog(std::size_t capacity);
    // A new record at the end (the oldest is dropped when full); valid until the next push.
    SimEvent& push(SimEventKind kind, double time_ms, SimState state) noexcept;
    // The record with this number, if it is still kept.
    SimEvent* find(std::uint64_t number) noexcept;
    std::size_t size() const noexcept { return size_; }
    std::size_t capacity() const noexcept { return ring_.size(); }
    // Event i, counted from the oldest kept.
    const SimEvent& operator[](std::size_t i) const noexcept;
    void clear() noexcept { size_ = 0; }
    std::uint64_t total() const noexcept { return next_number_; }

  private:
    std::vector<SimEvent> ring_;
    SimEvent scratch_;      // the target of pushes when nothing is kept
    std::size_t head_ = 0;  // slot of the oldest event
    std::size_t size_ = 0;
    std::uint64_t next_number_ = 0;
};

}  // namespace velmora::sim
