#include "model/hot_memory.hpp"

#include <sys/mman.h>

#include <array>
#include <cstdint>
#include <mutex>
#include <vector>

namespace velmora {
namespace {

constexpr std::size_t kChunkBytes = std::size_t{2} << 20;  // one huge page
constexpr std::size_t kLargeStep = 64;
constexpr std::size_t kClasses = 3 + kMaxBlockBytes / kLargeStep;

#ifdef VELMORA_PLAIN_HOT_MEMORY
constexpr bool kPooled = false;
#else
constexpr bool kPooled = true;
#endif

// 16, 32, 48, then steps of 64 bytes (aligned to a cache line, so that an object of a line
// or less never straddles two).
std::size_t class_of(std::size_t bytes, std::size_t alignment) noexcept {
    if (bytes == 0) bytes = 1;
    if (alignment <= 16 && bytes <= 16) return 0;
    if (alignment <= 32 && bytes <= 32) return 1;
    if (alignment <= 16 && bytes <= 48) return 2;
    return 2 + (bytes + kLargeStep - 1) / kLargeStep;
}

std::size_t block_bytes(std::size_t cls) noexcept {
    return cls < 3 ? 16 * (cls + 1) : (cls - 2) * kLargeStep;
}

std::size_t block_alignment(std::size_t cls) noexcept {
    return cls == 1 ? 32 : cls < 3 ? 16 : kLargeStep;
}

void* plain_allocate(std::size_t bytes, std::size_t alignment) {
    if (alignment > __STDCPP_DEFAULT_NEW_ALIGNMENT__) {
        return ::operator new(bytes, std::align_val_t{alignment});
    }
    return ::operator new(bytes);
}

void plain_release(void* block, std::size_t alignment) noexcept {
    if (alignment > __STDCPP_DEFAULT_NEW_ALIGNMENT__) {
        ::operator delete(block, std::align_val_t{alignment});
    } else {
        ::operator delete(block);
    }
}

class Arena {
  public:
    void* allocate(std::size_t cls) {
        std::lock_guard lock(mutex_);
        if (FreeBlock* block = free_[cls]) {
            free_[cls] = block->next;
            return block;
        }
        const std::size_t bytes = block_bytes(cls);
        const std::size_t align = block_alignment(cls);
        std::uintptr_t at = (next_ + align - 1) & ~(align - 1);
        if (next_ == 0 || at + bytes > end_) {
            new_chunk_();
            at = next_;
        }
        next_ = at + bytes;
        return reinterpret_cast<void*>(at);
    }

    void release(void* block, std::size_t cls) noexcept {
        std::lock_guard lock(mutex_);
        auto* free = static_cast<FreeBlock*>(block);
        free->next = free_[cls];
        free_[cls] = free;
    }

    std::size_t reserved() noexcept {
        std::lock_guard lock(mutex_);
        return chunks_.size() * kChunkBytes;
    }

    bool holds(const void* address) noexcept {
        const auto at = reinterpret_cast<std::uintptr_t>(address);
        std::lock_guard lock(mutex_);
        for (const std::uintptr_t base : chunks_) {
            if (at >= base && at < base + kChunkBytes) return true;
        }
        return false;
    }

  private:
    struct FreeBlock {
        FreeBlock* next;
    };

    // A 2 MiB-aligned chunk (a huge page can only back an aligned range), advised to use
    // huge pages; where that is refused it works on ordinary pages all the same.
    void new_chunk_() {
        chunks_.reserve(chunks_.size() + 1);  // before the mapping: nothing to undo after it
        void* raw = ::mmap(nullptr, 2 * kChunkBytes, PROT_READ | PROT_WRITE,
                           MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (raw == MAP_FAILED) throw std::bad_alloc();
        const auto start = reinterpret_cast<std::uintptr_t>(raw);
        const std::uintptr_t base = (start + kChunkBytes - 1) & ~(kChunkBytes - 1);
        if (base != start) ::munmap(raw, base - start);
        const std::uintptr_t end = start + 2 * kChunkBytes;
        if (end != base + kChunkBytes) {
            ::munmap(reinterpret_cast<void*>(base + kChunkBytes), end - (base + kChunkBytes));
        }
#ifdef MADV_HUGEPAGE
        ::madvise(reinterpret_cast<void*>(base), kChunkBytes, MADV_HUGEPAGE);
#endif
        chunks_.push_back(base);
        next_ = base;
        end_ = base + kChunkBytes;
    }

    std::mutex mutex_;
    std::array<FreeBlock*, kClasses> free_{};
    std::uintptr_t next_ = 0;
    std::uintptr_t end_ = 0;
    std::vector<std::uintptr_t> chunks_;
};

// Never destroyed: objects in it may be released after the static objects are gone.
Arena& arena() {
    static Arena* instance = new Arena;
    return *instance;
}

bool pooled(std::size_t bytes, std::size_t alignment) noexcept {
    return kPooled && bytes <= kMaxBlockBytes && alignment <= kHotMaxAlignment;
}

}  // namespace

void* hot_allocate(std::size_t bytes, std::size_t alignment) {
    if (!pooled(bytes, alignment)) return plain_allocate(bytes, alignment);
    return arena().allocate(class_of(bytes, alignment));
}

void hot_release(void* block, std::size_t bytes, std::size_t alignment) noexcept {
    if (block == nullptr) return;
    if (!pooled(bytes, alignment)) {
        plain_release(block, alignment);
        return;
    }
    arena().release(block, class_of(bytes, alignment));
}

bool hot_memory_pooled() noexcept { return kPooled; }

std::size_t hot_memory_reserved_bytes() noexcept { return kPooled ? arena().reserved() : 0; }

bool hot_memory_holds(const void* address) noexcept {
    return kPooled && arena().holds(address);
}

}  // namespace velmora
