#include "engine/watchdog.hpp"

#include <algorithm>
#include <new>
#include <cmath>
#include <string>
#include <system_error>

#include "engine/watchdog_impl.hpp"
#include "protocol/errors.hpp"
#include "protocol/cycle_code.hpp"

namespace velmora {

using namespace watchdog_detail;

namespace {

constexpr auto to_command(WatchdogCommand c) {
    return static_cast<std::uint8_t>(c);
}

// Longer timeouts would overflow the deadline arithmetic; a century is "never".
constexpr double kLongestTimeoutS = 100.0 * 365 * 24 * 3600;

std::int64_t checked_timeout_ns(double timeout_s) {
    if (std::isnan(timeout_s) || timeout_s < 0) {
        throw ValueError("Watchdog timeout must be a non-negative number of seconds");
    }
    return static_cast<std::int64_t>(std::llround(std::min(timeout_s, kLongestTimeoutS) * 1e9));
}

}  // namespace

Watchdog::Impl::Impl(double timeout_s, Callback cb, Callback wake_cb)
    : timeout_seconds(timeout_s),
      timeout_ns(checked_timeout_ns(timeout_s)),
      callback(std::move(cb)),
      wake_callback(std::move(wake_cb)) {
    if (!callback) throw TypeError("Watchdog callback must be callable");
}

Watchdog::Impl::~Impl() {
    // Only reached once joined (the registry holds a reference until then), or never started.
    if (thread_.joinable()) thread_.detach();
}

VELMORA_CYCLE_CODE
void Watchdog::Impl::check_alive() const {
    if (!alive.load()) throw RuntimeError(std::string(kNotRunning));
}

void Watchdog::Impl::start() {
    {
        std::lock_guard lock(mutex_);
        if (started_) throw RuntimeError("threads can only be started once");
        started_ = true;
        alive.store(true);
    }
    reap_orphans();
    // Registered before the thread exists, so that stop_all sees every thread that may run.
    register_started(shared_from_this());
    try {
        std::lock_guard lock(join_mutex_);
        thread_ = std::thread([this] { run(); });
    } catch (const std::system_error& e) {
        alive.store(false);
        finished.store(true);
        unregister(this);
        throw RuntimeError(std::string("can't start new thread: ") + e.what());
    }
}

void Watchdog::Impl::run() {
    thread_id.store(std::this_thread::get_id());
    std::int64_t wait_start = now_ns();
    while (!stopping_) {
        Command command = 0;
        switch (next_event(wait_start, command)) {
            case Event::Command: {
                std::lock_guard handling(handling_);
                handle_logged(command);
                break;
            }
            case Event::Expired:
                call_away(callback);
                break;
            case Event::Wake:
                // Not the watchdog's own business: the timeout runs on.
                if (wake_callback) call_away(wake_callback);
                continue;
        }
        // Every command, and the end of every expiry, starts a new timeout.
        wait_start = now_ns();
    }
    {
        std::lock_guard lock(mutex_);
        alive.store(false);
    }
    command_complete_.notify_all();
    finished.store(true);
}

// Waits for the next command, wake or expiry (the timeout passed while active). Resets are
// not queued: they move `last_reset_ns`, and the wait is re-computed from it on waking.
Watchdog::Impl::Event Watchdog::Impl::next_event(std::int64_t wait_start_ns, Command& command) {
    std::unique_lock lock(mutex_);
    for (;;) {
        if (!queue_.empty()) {
            command = queue_.front();
            queue_.pop_front();
            return Event::Command;
        }
        if (wake_) {
            wake_ = false;
            return Event::Wake;
        }
        if (!is_active.load()) {
            command_ready_.wait(lock);
            continue;
        }
        std::int64_t deadline = std::max(wait_start_ns, last_reset_ns.load()) + timeout_ns;
        std::int64_t now = now_ns();
        if (now >= deadline) return Event::Expired;
        command_ready_.wait_for(lock, std::chrono::nanoseconds(deadline - now));
    }
}

bool Watchdog::Impl::wake() {
    {
        std::lock_guard lock(mutex_);
        if (!alive.load() || stopping_.load()) return false;
        wake_ = true;
    }
    command_ready_.notify_one();
    return true;
}

void Watchdog::Impl::set_complete() {
    {
        std::lock_guard lock(mutex_);
        complete_ = true;
    }
    command_complete_.notify_all();
}

void Watchdog::Impl::handle(Command command) {
    switch (command) {
        case to_command(WatchdogCommand::RESET):
            return;
        case to_command(WatchdogCommand::STOP): {
            stopping_ = true;
            {
                std::lock_guard lock(mutex_);
                alive.store(false);
                complete_ = true;
            }
            command_complete_.notify_all();
            return;
        }
        case to_command(WatchdogCommand::ACTIVATE):
            if (is_active.load()) {
                log(kAlreadyActive);
                set_complete();
                throw RuntimeError(std::string(kAlreadyActive));
            }
            is_active.store(true);
            set_complete();
            return;
        case to_command(WatchdogCommand::DEACTIVATE):
            is_active.store(false);
            set_complete();
            return;
        default:
            log(kUnknownCommand);
            set_complete();
            throw NotImplementedError(std::string(kUnknownCommand));
    }
}

void Watchdog::Impl::handle_logged(Command command) noexcept {
    try {
        handle(command);
    } catch (...) {
        // Release a waiting caller whatever happened, then carry on.
        try {
            set_complete();
        } catch (...) {
        }
        log(kCrashed, std::current_exception());
    }
}

void Watchdog::Impl::call_away(const Callback& f) noexcept {
    // Away meanwhile: the callback runs host code, which may wait for a caller that waits
    // for a confirmation; such a caller carries its command out itself.
    {
        std::lock_guard lock(mutex_);
        away_ = true;
    }
    try {
        f();
    } catch (...) {
        // No confirmation here: a caller waiting for its command must not be released
        // before the thread has handled it.
        log(kCrashed, std::current_exception());
    }
    std::lock_guard lock(mutex_);
    away_ = false;
}

bool Watchdog::Impl::away() noexcept {
    std::lock_guard lock(mutex_);
    return away_;
}

void Watchdog::Impl::handle_in_place(Command command) {
    auto handling = lock_blocking(handling_);
    for (;;) {
        Command earlier = 0;
        {
            std::lock_guard lock(mutex_);
            if (queue_.empty() || stopping_) break;
            earlier = queue_.front();
            queue_.pop_front();
        }
        handle_logged(earlier);
    }
    if (stopping_) return;
    if (command == to_command(WatchdogCommand::ACTIVATE) && is_active.load()) return;
    if (command == to_command(WatchdogCommand::DEACTIVATE) && !is_active.load()) return;
    handle_logged(command);
}

void Watchdog::Impl::process_blocking_command(Command command) {
    check_alive();
    {
        std::unique_lock lock(mutex_);
        if (away_) {
            lock.unlock();
            return handle_in_place(command);
        }
        complete_ = false;
        queue_.push_back(command);
    }
    command_ready_.notify_one();
    // The outcome of the wait is not examined: after the confirmation time the caller goes
    // on, and the command stays queued. A thread that ended meanwhile confirms nothing more.
    blocking([this] {
        std::unique_lock lock(mutex_);
        command_complete_.wait_for(lock, kConfirmationWait,
                                   [this] { return complete_ || !alive.load(); });
        complete_ = false;
    });
}

void Watchdog::Impl::activate() {
    check_alive();
    if (on_thread()) return handle_in_place(to_command(WatchdogCommand::ACTIVATE));
    std::unique_lock lock(blocking_lock_);  // waits through the wait hook
    if (is_active.load()) return;
    process_blocking_command(to_command(WatchdogCommand::ACTIVATE));
}

void Watchdog::Impl::deactivate() {
    check_alive();
    if (on_thread()) return handle_in_place(to_command(WatchdogCommand::DEACTIVATE));
    std::unique_lock lock(blocking_lock_);  // waits through the wait hook
    if (!is_active.load()) return;
    process_blocking_command(to_command(WatchdogCommand::DEACTIVATE));
}

void Watchdog::Impl::stop() {
    send(WatchdogCommand::STOP);
}

void Watchdog::Impl::send(WatchdogCommand command) {
    check_alive();
    if (on_thread()) return handle_in_place(to_command(command));
    std::unique_lock lock(blocking_lock_);  // waits through the wait hook
    process_blocking_command(to_command(command));
}

void Watchdog::Impl::reset() {
    reset_at(now_ns());
}

VELMORA_CYCLE_CODE
void Watchdog::Impl::reset_at(std::int64_t now) {
    check_alive();
    // Keep the latest stamp when several threads reset at once.
    std::int64_t seen = last_reset_ns.load(std::memory_order_relaxed);
    while (seen < now &&
           !last_reset_ns.compare_exchange_weak(seen, now, std::memory_order_relaxed)) {
    }
}

void Watchdog::Impl::forget_thread_after_fork() noexcept {
    forked.store(true);
    alive.store(false);
    is_active.store(false);
    stopping_.store(true);
    finished.store(true);
    thread_id.store(std::thread::id{});
    // The handle names a thread of the parent: it can be neither joined nor destroyed
    // joinable, so it is let go of for good.
    if (thread_.joinable()) static_cast<void>(new (std::nothrow) std::thread(std::move(thread_)));
}

void Watchdog::Impl::join() {
    if (on_thread() || forked.load()) return;
    {
        auto lock = lock_blocking(join_mutex_);
        if (!thread_.joinable()) return;
        blocking([this] { thread_.join(); });
        // The id may be given to a new thread from now on.
        thread_id.store(std::thread::id{});
    }
    unregister(this);
}

// ---- Watchdog ----

Watchdog::Watchdog(double timeout_s, Callback callback, Callback wake_callback)
    : impl_(std::make_shared<Impl>(timeout_s, std::move(callback), std::move(wake_callback))) {}

Watchdog::~Watchdog() {
    impl_->owner_gone.store(true);
    try {
        if (impl_->alive.load()) impl_->stop();
    } catch (...) {
        // Already ended by another caller.
    }
    try {
        impl_->join();
    } catch (...) {
    }
}

void Watchdog::start() {
    impl_->start();
}

bool Watchdog::is_alive() const noexcept {
    return impl_->alive.load();
}
bool Watchdog::forked() const noexcept {
    return impl_->forked.load();
}
void Watchdog::activate() {
    impl_->activate();
}
void Watchdog::deactivate() {
    impl_->deactivate();
}
void Watchdog::reset() {
    impl_->reset();
}
bool Watchdog::wake() {
    return impl_->wake();
}
const void* Watchdog::rearm_state() const noexcept {
    return impl_.get();
}
std::size_t Watchdog::rearm_state_bytes() const noexcept {
    // Up to the thread id: the constant fields, the flags and the reset stamp.
    return static_cast<std::size_t>(reinterpret_cast<const char*>(&impl_->thread_id + 1) -
                                    reinterpret_cast<const char*>(impl_.get()));
}

VELMORA_CYCLE_CODE
void Watchdog::reset_at(std::int64_t steady_ns) {
    impl_->reset_at(steady_ns);
}
void Watchdog::stop() {
    impl_->stop();
}

void Watchdog::activate_and_reset() {
    impl_->activate();
    impl_->reset();
}

VELMORA_CYCLE_CODE
bool Watchdog::active() const noexcept {
    return impl_->is_active.load();
}
void Watchdog::join() {
    impl_->join();
}
bool Watchdog::on_watchdog_thread() const noexcept {
    return impl_->on_thread();
}
double Watchdog::timeout_s() const noexcept {
    return impl_->timeout_seconds;
}
const Watchdog::Callback& Watchdog::callback() const noexcept {
    return impl_->callback;
}
void Watchdog::send_blocking_command(WatchdogCommand command) {
    impl_->send(command);
}

}  // namespace velmora
