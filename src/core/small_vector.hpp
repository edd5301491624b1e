// A vector of trivially copyable items that keeps its first N items inline:
// a small message is scanned without touching the heap.
#pragma once

#include <cstddef>
#include <cstring>
#include <memory>
#include <type_traits>

namespace tessarin {

template <class T, std::size_t N>
class SmallVector {
    static_assert(std::is_trivially_copyable_v<T>);

public:
    SmallVector() = default;
    SmallVector(const SmallVector&) = delete;
    SmallVector& operator=(const SmallVector&) = delete;

    void push_back(const T& item) {
        if (size_ == capacity_) grow();
        data_[size_++] = item;
    }
    void clear() noexcept { size_ = 0; }
    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    T& operator[](std::size_t i) noexcept { return data_[i]; }
    const T& operator[](std::size_t i) const noexcept { return data_[i]; }
    T& back() noexcept { return data_[size_ - 1]; }
    T* begin() noexcept { return data_; }
    T* end() noexcept { return data_ + size_; }
    const T* begin() const noexcept { return data_; }
    const T* end() const noexcept { return data_ + size_; }

private:
    void grow() {
        const std::size_t capacity = 2 * capacity_;
        auto heap = std::make_unique_for_overwrite<T[]>(capacity);
        std::memcpy(heap.get(), data_, size_ * sizeof(T));
        heap_ = std::move(heap);
        data_ = heap_.get();
        capacity_ = capacity;
    }

    T inline_[N];
    T* data_ = inline_;
    std::size_t size_ = 0, capacity_ = N;
    std::unique_ptr<T[]> heap_;
};

}  // namespace tessarin
