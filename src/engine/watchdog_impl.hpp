#pragma once
// The watchdog's shared state and thread body. Shared ownership: the owning Watchdog and
// the process-wide registry of started threads each hold a reference, so a thread whose
// owner was destroyed on that very thread keeps its state until someone joins it.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <string_view>
#include <thread>

#include "engine/blocking_wait.hpp"
#include "engine/handler_lock.hpp"
#include "engine/watchdog.hpp"
#include "protocol/commands.hpp"

namespace velmora {

namespace watchdog_detail {

inline constexpr std::string_view kNotRunning = "FSoE Watchdog thread is not running";
inline constexpr std::string_view kAlreadyActive =
    "WatchdogCommand.ACTIVATE received while already active";
inline constexpr std::string_view kUnknownCommand =
    "Unknown FSoE Watchdog internal command received. Watchdog corrupted";
inline constexpr std::string_view kCrashed = "FSoE Watchdog thread crashed. Restarting...";
inline constexpr auto kConfirmationWait = std::chrono::seconds(5);

// Nanoseconds of the steady clock, the unit of every deadline.
inline std::int64_t now_ns() noexcept {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Sends a message to the installed log sink; a failing sink never reaches the thread.
void log(std::string_view message, std::exception_ptr error = nullptr) noexcept;

// Takes `mutex`; only a lock held by someone else is waited for through the hook.
template <typename Mutex>
std::unique_lock<Mutex> lock_blocking(Mutex& mutex) {
    std::unique_lock<Mutex> lock(mutex, std::try_to_lock);
    if (!lock.owns_lock()) blocking([&lock] { lock.lock(); });
    return lock;
}

// The registry of started, not yet joined threads.
void register_started(std::shared_ptr<Watchdog::Impl> impl);
// Drops `impl` from the registry; the caller holds its own reference.
void unregister(const Watchdog::Impl* impl) noexcept;
// Joins the threads whose owner is gone and whose body has returned.
void reap_orphans() noexcept;

}  // namespace watchdog_detail

struct Watchdog::Impl : std::enable_shared_from_this<Watchdog::Impl> {
    Impl(double timeout_s, Callback callback, Callback wake_callback);
    ~Impl();

    void start();
    void activate();
    void deactivate();
    void stop();
    void reset();
    void reset_at(std::int64_t now);
    void join();
    void send(WatchdogCommand command);
    bool wake();
    // In a child process after fork(): the thread does not exist there. Marks this watchdog
    // dead without touching a lock (another thread of the parent may have held one).
    void forget_thread_after_fork() noexcept;
    bool on_thread() const noexcept { return thread_id.load() == std::this_thread::get_id(); }

    const double timeout_seconds;
    const std::int64_t timeout_ns;
    const Callback callback;
    const Callback wake_callback;

    std::atomic<bool> alive{false};       // accepting commands: from start until STOP
    std::atomic<bool> forked{false};      // inherited through fork(): no thread behind it
    std::atomic<bool> finished{false};    // the thread body has returned
    std::atomic<bool> is_active{false};   // written only by the watchdog thread
    std::atomic<bool> owner_gone{false};  // the Watchdog object was destroyed
    std::atomic<std::int64_t> last_reset_ns{0};
    std::atomic<std::thread::id> thread_id{};

  private:
    using Command = std::uint8_t;

    void run();
    void check_alive() const;
    enum class Event : std::uint8_t { Command, Expired, Wake };
    Event next_event(std::int64_t wait_start_ns, Command& command);
    // Runs a callback of the thread, away from its commands meanwhile.
    void call_away(const Callback& f) noexcept;
    void handle(Command command);
    void handle_logged(Command command) noexcept;
    void set_complete();
    // Caller holds blocking_lock_ (or runs on the watchdog thread).
    void process_blocking_command(Command command);
    // A blocking command that the thread cannot confirm now: issued on the watchdog thread
    // itself, or while the thread runs its callback (host code, which may be waiting for
    // this very caller). The commands queued before it are handled first, then it is handled
    // in place, as the thread would, instead of waiting.
    void handle_in_place(Command command);
    // Whether the thread is running its callback.
    bool away() noexcept;

    // Serialises the blocking commands of all callers, first come first served.
    HandlerLock blocking_lock_;
    std::mutex mutex_;          // guards the queue, the event and the start flag
    std::condition_variable command_ready_;
    std::condition_variable command_complete_;
    std::deque<Command> queue_;
    bool complete_ = false;  // the confirmation event
    bool started_ = false;
    bool away_ = false;      // the thread runs its callback and confirms nothing meanwhile
    bool wake_ = false;      // the wake callback is due
    std::atomic<bool> stopping_{false};
    // Held by whoever carries out commands: the thread, or a caller in its place.
    std::mutex handling_;

    std::mutex join_mutex_;
    std::thread thread_;
};

}  // namespace velmora
