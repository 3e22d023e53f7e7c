// Process-wide watchdog services: the registry of started threads (so that process exit
// can stop and join them all) and the engine's error log.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "engine/watchdog_impl.hpp"

namespace velmora {

namespace {

struct Registry {
    std::mutex mutex;
    std::vector<std::shared_ptr<Watchdog::Impl>> started;
};

// Never destroyed: threads may still be registered while static objects are torn down.
Registry& registry() {
    static Registry* instance = new Registry;
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
