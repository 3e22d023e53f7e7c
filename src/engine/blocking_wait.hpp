#pragma once
// The process-wide hook through which every wait of the engine that may last runs: a wait
// for a handler's exclusion, for a watchdog command's confirmation, a lock held by another
// caller, a join. A binding installs a hook that lets other threads run meanwhile (it
// releases an interpreter lock around the wait).
#include <type_traits>

namespace velmora {

// Must call `wait(context)` exactly once.
using WaitHook = void (*)(void (*wait)(void*), void* context);
// nullptr restores the plain call.
void set_wait_hook(WaitHook hook) noexcept;
void run_blocking(void (*wait)(void*), void* context);

template <typename F>
void blocking(F&& f) {
    run_blocking([](void* p) { (*static_cast<std::remove_reference_t<F>*>(p))(); }, &f);
}

}  // namespace velmora
