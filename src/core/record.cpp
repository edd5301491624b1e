#include "record.hpp"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "key_order.hpp"

namespace tessarin {

namespace {

// Entries hold 32-bit sizes; the binding turns this into MemoryError.
std::uint32_t checked_size(std::string_view text) {
    if (text.size() > UINT32_MAX) throw std::length_error("a key or value of 4 GiB or more");
    return static_cast<std::uint32_t>(text.size());
}

}  // namespace

void RecordStore::grow(std::size_t needed) {
    const std::size_t capacity = std::max(needed, 2 * capacity_);
    auto bytes = std::make_unique_for_overwrite<char[]>(capacity);
    if (used_ > 0) std::memcpy(bytes.get(), bytes_.get(), used_);
    bytes_ = std::move(bytes);
    capacity_ = capacity;
}

void RecordStore::add(std::string_view key, std::string_view value) {
    const std::size_t key_offset = used_;
    const std::size_t needed = used_ + key.size() + value.size();
    if (needed > capacity_) grow(needed);
    char* at = bytes_.get() + used_;
    if (!key.empty()) std::memcpy(at, key.data(), key.size());
    if (!value.empty()) std::memcpy(at + key.size(), value.data(), value.size());
    used_ += key.size() + value.size();
    entries_.push_back({key_offset, checked_size(key), checked_size(value), tessarin::key_prefix(key)});
}

void RecordStore::end_record() {
    const auto first = entries_.begin() + static_cast<std::ptrdiff_t>(record_ends_.empty() ? 0 : record_ends_.back());
    entries_.erase(sort_keeping_last(
                       first, entries_.end(), [](const Entry& entry) { return entry.key_prefix; },
                       [this](const Entry& entry) { return item(entry).first; }),
                   entries_.end());
    record_ends_.push_back(entries_.size());
}

void RecordStore::reserve(std::size_t bytes, std::size_t entries) {
    if (bytes > capacity_) grow(bytes);
    entries_.reserve(entries);
}

}  // namespace tessarin
