#pragma once
// The exception by which a thread is ended while it runs (pthread_exit, pthread_cancel): a
// `catch (...)` that meets it must let it go on (`catch (const ForcedUnwind&) { throw; }`
// first), or the process aborts.
#if defined(__GLIBCXX__)
#include <cxxabi.h>

namespace velmora {
using ForcedUnwind = abi::__forced_unwind;
}  // namespace velmora
#else
namespace velmora {
struct ForcedUnwind {};  // never thrown where the runtime has no such exception
}  // namespace velmora
#endif
