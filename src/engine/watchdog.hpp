#pragma once
// The watchdog: a thread that calls back when it is not re-armed within its timeout.
// Commands ACTIVATE, DEACTIVATE and STOP are blocking (confirmed by the thread, at most
// 5 seconds of waiting); RESET is not.
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string_view>

namespace velmora {

class Watchdog {
public:
    using Callback = std::function<void()>;
    // Where the three error messages go (error level). `error` is set for the crash line.
    using LogSink = void (*)(std::string_view message, std::exception_ptr error);
    static void set_log_sink(LogSink sink) noexcept;

    Watchdog(double timeout_s, Callback callback);
    ~Watchdog();  // stops and joins the thread if it still runs
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

    void start();                 // starts the thread, inactive
    bool is_alive() const noexcept;
    void activate();              // blocking; no-op when active
    void deactivate();            // blocking; no-op when inactive
    void reset();                 // re-arm; never blocks
    void stop();                  // blocking; the thread ends (not joined)
    void activate_and_reset();
    bool active() const noexcept;
    // Waits for the thread to end; returns at once when called on the watchdog thread.
    void join();
    bool on_watchdog_thread() const noexcept;
    double timeout_s() const noexcept;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace velmora
