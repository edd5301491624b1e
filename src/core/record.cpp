#include "record.hpp"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace tessarin {

namespace {

// Keeps the last of each run of equal keys in a sorted range; returns the new end.
template <class Iterator, class SameKey>
Iterator keep_last_of_equal(Iterator first, Iterator last, SameKey same_key) {
    Iterator out = first;
    for (Iterator it = first; it != last;) {
        Iterator next = it + 1;
        while (next != last && same_key(*next, *it)) ++next;
        if (out != next - 1) *out = std::move(*(next - 1));
        ++out;
        it = next;
    }
    return out;
}

}  // namespace

void sort_record(SegmentRecord& record) {
    // stable_sort keeps insertion order among equal keys, so the last of a
    // run of duplicates is the latest one.
    std::stable_sort(record.begin(), record.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    record.erase(keep_last_of_equal(record.begin(), record.end(),
                                    [](const auto& a, const auto& b) { return a.first == b.first; }),
                 record.end());
}

namespace {

constexpr std::size_t kPrefixSlack = 8;

// The first eight bytes of a key, big-endian, zero beyond its end. `key` has
// at least eight readable bytes.
std::uint64_t prefix_at(const char* key, std::size_t size) {
    std::uint64_t word;
    std::memcpy(&word, key, 8);
    word = __builtin_bswap64(word);
    return size >= 8 ? word : word & ~(~std::uint64_t{0} >> (8 * size));
}

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
    const std::size_t needed = used_ + key.size() + value.size() + kPrefixSlack;
    if (needed > capacity_) grow(needed);
    char* at = bytes_.get() + used_;
    if (!key.empty()) std::memcpy(at, key.data(), key.size());
    if (!value.empty()) std::memcpy(at + key.size(), value.data(), value.size());
    used_ += key.size() + value.size();
    entries_.push_back({key_offset, checked_size(key), checked_size(value), prefix_at(at, key.size())});
}

void RecordStore::end_record() {
    const auto first = entries_.begin() + static_cast<std::ptrdiff_t>(record_ends_.empty() ? 0 : record_ends_.back());
    const auto key_of = [this](const Entry& entry) { return item(entry).first; };
    const auto less = [&](const Entry& a, const Entry& b) {
        if (a.key_prefix != b.key_prefix) return a.key_prefix < b.key_prefix;
        return key_of(a) < key_of(b);
    };
    // Records that come from our own output are sorted already.
    const bool sorted = std::adjacent_find(first, entries_.end(), [&](const Entry& a, const Entry& b) {
                            return !less(a, b);
                        }) == entries_.end();
    if (!sorted) {
        std::stable_sort(first, entries_.end(), less);
        entries_.erase(keep_last_of_equal(first, entries_.end(),
                                          [&](const Entry& a, const Entry& b) { return key_of(a) == key_of(b); }),
                       entries_.end());
    }
    record_ends_.push_back(entries_.size());
}

void RecordStore::reserve(std::size_t bytes, std::size_t entries) {
    if (bytes + kPrefixSlack > capacity_) grow(bytes + kPrefixSlack);
    entries_.reserve(entries);
}

}  // namespace tessarin
