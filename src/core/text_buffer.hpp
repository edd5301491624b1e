// Growing text written through a raw cursor: room is made without being
// filled first, so the assembler's writes are plain stores.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>
#include <string_view>

#include "core/buffer_memory.hpp"

namespace tessarin {

class TextBuffer {
public:
    // A cursor with room for `extra` bytes past the text so far; end_at()
    // then marks where the writes through it ended.
    char* room_for(std::size_t extra) {
        if (extra > capacity_ - size_) grow(size_ + extra);
        return data_.get() + size_;
    }
    void end_at(const char* end) noexcept { size_ = static_cast<std::size_t>(end - data_.get()); }
    // The end of the room made so far, for a writer that checks as it goes.
    char* room_end() noexcept { return data_.get() + capacity_; }

    void append(std::string_view text) {
        char* at = room_for(text.size());
        if (!text.empty()) std::memcpy(at, text.data(), text.size());
        size_ += text.size();
    }
    void push_back(char c) { *room_for(1) = c, ++size_; }
    void reserve(std::size_t capacity) {
        if (capacity > capacity_) grow(capacity);
    }
    // Empties the text and keeps the room, for a buffer used again.
    void clear() noexcept { size_ = 0; }
    std::string_view view() const noexcept { return {data_.get(), size_}; }
    std::size_t capacity() const noexcept { return capacity_; }

private:
    void grow(std::size_t needed) {
        BufferMemory data(std::max(needed, 2 * capacity_));
        if (size_ > 0) std::memcpy(data.get(), data_.get(), size_);
        capacity_ = data.size();
        data_ = std::move(data);
    }

    BufferMemory data_;
    std::size_t size_ = 0, capacity_ = 0;
};

}  // namespace tessarin
