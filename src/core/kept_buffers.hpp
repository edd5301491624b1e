// Buffers kept for later calls instead of freed: their pages are already
// mapped, which for buffers of megabytes saves a page fault per 4 KiB.
// Threads share them under a mutex; at most kMax are kept, and keeping one
// never fails.
#pragma once

#include <cstddef>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

namespace tessarin {

template <class Buffer, std::size_t kMax>
class KeptBuffers {
public:
    // The most recently kept buffer for which fits(buffer) holds, or an empty one.
    template <class Fits>
    Buffer take(Fits&& fits) {
        const std::lock_guard lock(mutex_);
        for (std::size_t i = kept_.size(); i-- > 0;) {
            if (!fits(kept_[i])) continue;
            Buffer buffer = std::move(kept_[i]);
            kept_.erase(kept_.begin() + static_cast<std::ptrdiff_t>(i));
            return buffer;
        }
        return {};
    }
    void keep(Buffer&& buffer) noexcept {
        const std::lock_guard lock(mutex_);
        if (kept_.size() >= kMax) return;
        try {
            kept_.push_back(std::move(buffer));
        } catch (const std::bad_alloc&) {
            // Not kept: a later call allocates its own.
        }
    }

private:
    std::mutex mutex_;
    std::vector<Buffer> kept_;
};

}  // namespace tessarin
