#include "model/item_state.hpp"

#include "model/hot_memory.hpp"

#include <mutex>
#include <new>
#include <vector>

namespace velmora {
namespace {

constexpr std::size_t kPageBytes = 4096;

class SlotPool {
  public:
    void* allocate(std::size_t bytes) {
        std::lock_guard lock(mutex_);
        Class& c = of(bytes);
        if (!c.free.empty()) {
            void* slot = c.free.back();
            c.free.pop_back();
            return slot;
        }
        if (c.next == nullptr || c.next == c.end) {
            c.free.reserve(c.free.size() + kPageBytes / bytes);  // release never allocates
            // Line aligned: the slots, handed out in order, are aligned to their size.
            c.next = static_cast<char*>(hot_allocate(kPageBytes, kHotMaxAlignment));
            c.end = c.next + kPageBytes;
        }
        void* slot = c.next;
        c.next += bytes;
        return slot;
    }

    void release(void* slot, std::size_t bytes) noexcept {
        std::lock_guard lock(mutex_);
        of(bytes).free.push_back(slot);  // capacity reserved when the slot's page was taken
    }

  private:
    struct Class {
        char* next = nullptr;
        char* end = nullptr;
        std::vector<void*> free;
    };
    Class& of(std::size_t bytes) noexcept { return bytes <= 16 ? c16_ : bytes <= 32 ? c32_ : c64_; }

    std::mutex mutex_;
    Class c16_, c32_, c64_;
};

// Never destroyed: items may outlive the static objects (a host's objects freed late).
SlotPool& pool() {
    static SlotPool* instance = new SlotPool;
    return *instance;
}

std::size_t slot_bytes(std::size_t bytes) noexcept {
    return bytes <= 16 ? 16 : bytes <= 32 ? 32 : 64;
}

}  // namespace

std::size_t item_state_bytes(ItemKind kind) noexcept {
    switch (kind) {
        case ItemKind::Input:
            return sizeof(ReceiveState);
        case ItemKind::Output:
            return sizeof(SendState);
        case ItemKind::InputOutput:
            return sizeof(SendReceiveState);
        case ItemKind::Base:
            break;
    }
    return 0;
}

void* allocate_item_state(std::size_t bytes) {
    return pool().allocate(slot_bytes(bytes));
}

void release_item_state(void* slot, std::size_t bytes) noexcept {
    if (slot != nullptr) pool().release(slot, slot_bytes(bytes));
}

}  // namespace velmora
