#pragma once
// The watchdog: a thread that calls back when it is not re-armed within its timeout.
// Commands ACTIVATE, DEACTIVATE and STOP are blocking (confirmed by the thread, at most
// 5 seconds of waiting); RESET is not.
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string_view>

#include "protocol/commands.hpp"

namespace velmora {

class Watchdog {
  public:
    using Callback = std::function<void()>;
    // The engine's error log: the watchdog's three error messages, and the errors of
    // expiries that a handler's host call ran in the watchdog's place (error level; `error`
    // is set for a crash). The default sink writes to stderr; nullptr restores it.
    using LogSink = void (*)(std::string_view message, std::exception_ptr error);
    static void set_log_sink(LogSink sink) noexcept;
    // Writes to that sink; never throws.
    static void log_error(std::string_view message, std::exception_ptr error = nullptr) noexcept;

    // Every wait that may last (a command confirmation, a join, a command lock held by
    // another caller) runs through the engine's wait hook (blocking_wait.hpp).

    // Stops and joins every started watchdog thread of the process, handlers' ones
    // included (for process exit). The caller's own watchdog thread is stopped, not joined.
    static void stop_all() noexcept;

    // `wake_callback`, when given, is what the thread calls on wake() (see there).
    Watchdog(double timeout_s, Callback callback, Callback wake_callback = nullptr);
    ~Watchdog();  // stops and joins the thread if it still runs
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

    void start();  // starts the thread, inactive
    bool is_alive() const noexcept;
    // Inherited through fork(): its thread does not exist in this process (never alive).
    bool forked() const noexcept;
    void activate();    // blocking; no-op when active
    void deactivate();  // blocking; no-op when inactive
    void reset();       // re-arm; never blocks
    // Asks the thread to call its wake callback soon, between its commands and expiries
    // (never blocks). False when the thread has stopped: nothing will happen. The timeout
    // runs on.
    bool wake();
    void stop();        // blocking; the thread ends (not joined)
    void activate_and_reset();
    // Re-arm as of `steady_ns`, a reading of std::chrono::steady_clock in nanoseconds that
    // the caller has just taken (it saves a second clock read); never blocks.
    void reset_at(std::int64_t steady_ns);
    bool active() const noexcept;
    // Waits for the thread to end; returns at once when called on the watchdog thread.
    void join();
    bool on_watchdog_thread() const noexcept;
    double timeout_s() const noexcept;
    // The callback given at construction (a binding inspects it for garbage collection).
    const Callback& callback() const noexcept;

    // Sends `command` (any value) as a blocking command, without the state checks of
    // activate/deactivate: reaches the thread's handling of unexpected commands. A RESET
    // sent this way is not confirmed, so the caller waits the full confirmation time.
    void send_blocking_command(WatchdogCommand command);

    struct Impl;
    // Where the state that a re-arm reads and writes lives, and its size (a handler
    // prefetches it at the start of a cycle; nothing is accessed through it).
    const void* rearm_state() const noexcept;
    std::size_t rearm_state_bytes() const noexcept;

  private:
    std::shared_ptr<Impl> impl_;
};

}  // namespace velmora
