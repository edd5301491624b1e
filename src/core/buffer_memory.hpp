// Memory for the large buffers of a conversion (stored records, their
// entries, assembled text). A block of megabytes is aligned to 2 MiB and
// advised for huge pages where the system offers them: filling it then
// faults once per 2 MiB rather than once per 4 KiB, and for a message of
// millions of entries those faults cost more than writing the entries.
#pragma once

#include <cstddef>
#include <new>
#include <utility>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace tessarin {

namespace buffer_memory {

inline constexpr std::size_t kHugePage = std::size_t{2} << 20;
// Smaller blocks come from the allocator as they are. From this size on the
// C library maps every block afresh and unmaps it when freed, so huge pages
// never stay behind in its heaps.
inline constexpr std::size_t kLarge = std::size_t{32} << 20;

inline bool is_large(std::size_t size) noexcept { return size >= kLarge; }

// At least `size` bytes; a large block is rounded up to whole huge pages.
inline std::size_t rounded(std::size_t size) noexcept {
    return is_large(size) ? (size + kHugePage - 1) / kHugePage * kHugePage : size;
}

// rounded(size) bytes, released by release() with the same size.
inline void* allocate(std::size_t size) {
    if (!is_large(size)) return ::operator new(size);
    const std::size_t room = rounded(size);
    void* block = ::operator new(room, std::align_val_t{kHugePage});
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    // Advice only: without huge pages the block is used as it is.
    (void)madvise(block, room, MADV_HUGEPAGE);
#endif
    return block;
}

inline void release(void* block, std::size_t size) noexcept {
    if (!block) return;
    if (is_large(size))
        ::operator delete(block, std::align_val_t{kHugePage});
    else
        ::operator delete(block);
}

}  // namespace buffer_memory

// An owned block of bytes from buffer_memory, left uninitialised.
class BufferMemory {
public:
    BufferMemory() = default;
    explicit BufferMemory(std::size_t size)
        : data_(static_cast<char*>(buffer_memory::allocate(size))), size_(buffer_memory::rounded(size)) {}
    BufferMemory(BufferMemory&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}
    BufferMemory& operator=(BufferMemory&& other) noexcept {
        if (this != &other) {
            buffer_memory::release(data_, size_);
            data_ = std::exchange(other.data_, nullptr);
            size_ = std::exchange(other.size_, 0);
        }
        return *this;
    }
    ~BufferMemory() { buffer_memory::release(data_, size_); }

    char* get() const noexcept { return data_; }
    // The bytes usable, which may exceed those asked for.
    std::size_t size() const noexcept { return size_; }
    explicit operator bool() const noexcept { return data_ != nullptr; }

private:
    char* data_ = nullptr;
    std::size_t size_ = 0;
};

// The same memory for a std::vector.
template <class T>
struct BufferAllocator {
    using value_type = T;
    BufferAllocator() = default;
    template <class U>
    BufferAllocator(const BufferAllocator<U>&) noexcept {}
    T* allocate(std::size_t count) {
        if (count > SIZE_MAX / sizeof(T)) throw std::bad_array_new_length();
        return static_cast<T*>(buffer_memory::allocate(count * sizeof(T)));
    }
    void deallocate(T* items, std::size_t count) noexcept { buffer_memory::release(items, count * sizeof(T)); }
    template <class U>
    bool operator==(const BufferAllocator<U>&) const noexcept {
        return true;
    }
};

}  // namespace tessarin
