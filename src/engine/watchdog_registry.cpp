// Process-wide watchdog services: the registry of started threads (so that process exit
// can stop and join them all) and the engine's error log.
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "engine/fork_generation.hpp"
#include "engine/watchdog_impl.hpp"

namespace velmora {

namespace {

struct Registry {
    std::mutex mutex;
    std::vector<std::shared_ptr<Watchdog::Impl>> started;
};

Registry& registry();

// fork() copies no thread but the caller: in the child every registered watchdog is marked
// dead (its handler then refuses to run unsupervised). The registry's lock is held across
// the fork so that the child never inherits it held.
void before_fork() noexcept {
    registry().mutex.lock();
}
void after_fork_in_parent() noexcept {
    registry().mutex.unlock();
}
void after_fork_in_child() noexcept {
    g_fork_generation.fetch_add(1, std::memory_order_relaxed);
    Registry& r = registry();
    for (const auto& impl : r.started) impl->forget_thread_after_fork();
    r.mutex.unlock();
}

// Never destroyed: threads may still be registered while static objects are torn down.
Registry& registry() {
    static Registry* instance = [] {
        auto* created = new Registry;
        pthread_atfork(&before_fork, &after_fork_in_parent, &after_fork_in_child);
        return created;
    }();
    return *instance;
}

void stderr_sink(std::string_view message, std::exception_ptr error) {
    std::string line = "velmora: " + std::string(message);
    if (error) {
        try {
            std::rethrow_exception(error);
        } catch (const std::exception& e) {
            line += std::string(": ") + e.what();
        } catch (...) {
            line += ": unknown error";
        }
    }
    line += '\n';
    std::fputs(line.c_str(), stderr);
}

std::atomic<Watchdog::LogSink> g_log_sink{&stderr_sink};

}  // namespace

namespace watchdog_detail {

void log(std::string_view message, std::exception_ptr error) noexcept {
    try {
        g_log_sink.load()(message, std::move(error));
    } catch (...) {
        // Logging must never stop the watchdog thread.
    }
}

void register_started(std::shared_ptr<Watchdog::Impl> impl) {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    r.started.push_back(std::move(impl));
}

void unregister(const Watchdog::Impl* impl) noexcept {
    std::shared_ptr<Watchdog::Impl> removed;  // released after the lock, never the last one
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    auto it = std::find_if(r.started.begin(), r.started.end(),
                           [impl](const auto& p) { return p.get() == impl; });
    if (it == r.started.end()) return;
    removed = std::move(*it);
    r.started.erase(it);
}

void reap_orphans() noexcept {
    std::vector<std::shared_ptr<Watchdog::Impl>> done;
    try {
        Registry& r = registry();
        std::lock_guard lock(r.mutex);
        for (auto it = r.started.begin(); it != r.started.end();) {
            if ((*it)->owner_gone.load() && (*it)->finished.load()) {
                done.push_back(std::move(*it));
                it = r.started.erase(it);
            } else {
                ++it;
            }
        }
    } catch (...) {
        // Out of memory: the orphans are reaped next time.
    }
    // Outside the registry lock: destroying a callback may need other locks.
    for (auto& impl : done) {
        try {
            impl->join();
        } catch (...) {
        }
    }
}

}  // namespace watchdog_detail

void Watchdog::set_log_sink(LogSink sink) noexcept {
    g_log_sink.store(sink != nullptr ? sink : &stderr_sink);
}

void Watchdog::log_error(std::string_view message, std::exception_ptr error) noexcept {
    watchdog_detail::log(message, std::move(error));
}

void Watchdog::stop_all() noexcept {
    std::vector<std::shared_ptr<Impl>> all;
    try {
        Registry& r = registry();
        std::lock_guard lock(r.mutex);
        all = r.started;
    } catch (...) {
        return;
    }
    for (auto& impl : all) {
        try {
            if (impl->alive.load()) impl->stop();
        } catch (...) {
            // Ended meanwhile.
        }
    }
    for (auto& impl : all) {
        try {
            impl->join();
        } catch (...) {
        }
    }
}

}  // namespace velmora
