// Segment records: the flat key/value form of one segment, as handed to and
// from Python. Entries are kept in key order (key_order.hpp), keys unique.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "core/buffer_memory.hpp"
#include "core/key_order.hpp"
#include "core/key_place.hpp"
#include "core/utils.hpp"

namespace tessarin {

// Many records in two flat arrays: every key and value byte in one buffer,
// entries as offsets into it. Filling it costs a copy per byte and nothing
// per string, which is what makes holding a converter's input cheap.
class RecordStore {
public:
    // The value's bytes follow the key's. Entries are many, so they are kept small.
    struct Entry {
        std::uint64_t key_offset;
        std::uint32_t key_size, value_size;  // kHugeSize: the sizes are in huge_sizes_
        std::uint64_t key_prefix;            // key_prefix() of the key: most comparisons end here
        KeyPlace place;                      // read once here, so assembly does not parse keys
    };
    using Item = std::pair<std::string_view, std::string_view>;
    using Entries = std::vector<Entry, BufferAllocator<Entry>>;

    class Record {
    public:
        class Iterator {
        public:
            Iterator(const RecordStore* store, const Entry* entry) : store_(store), entry_(entry) {}
            Item operator*() const { return store_->item(*entry_); }
            Iterator& operator++() {
                ++entry_;
                return *this;
            }
            bool operator!=(const Iterator& other) const { return entry_ != other.entry_; }

        private:
            const RecordStore* store_;
            const Entry* entry_;
        };
        Record(const RecordStore* store, const Entry* first, const Entry* last)
            : store_(store), first_(first), last_(last) {}
        Iterator begin() const { return {store_, first_}; }
        std::span<const Entry> entries() const { return {first_, last_}; }
        const RecordStore& store() const { return *store_; }
        Iterator end() const { return {store_, last_}; }
        std::size_t size() const { return static_cast<std::size_t>(last_ - first_); }

    private:
        const RecordStore* store_;
        const Entry* first_;
        const Entry* last_;
    };

    RecordStore() = default;
    // Buffers of a store destroyed on a thread wait there for the next store
    // of about their size: a converter made and dropped per message then
    // reuses memory already touched, rather than fault in fresh pages.
    ~RecordStore();
    RecordStore(RecordStore&&) noexcept = default;
    RecordStore& operator=(RecordStore&&) noexcept = default;

    // Adds an entry to the open record; end_record closes it, in key order,
    // the later of two entries with one key kept.
    void add(std::string_view key, std::string_view value);
    // The same, for a key whose prefix and place the caller already knows.
    // Every key and value is followed by at least this many bytes of the
    // store (zeros after the last), so block reads past a value stay inside.
    static constexpr std::size_t kPadding = 16;

    void add(std::string_view key, std::string_view value, std::uint64_t prefix, KeyPlace place) {
        note_order(prefix);
        const std::size_t key_offset = used_;
        const std::size_t needed = used_ + key.size() + value.size();
        if (needed > capacity_ || !bytes_) [[unlikely]]  // the block stores below need the padding, even for ""
            grow(needed);
        char* at = bytes_.get() + used_;
        if (key.size() <= 8) {  // the prefix is the key's bytes: one store, within the padding
            const std::uint64_t bytes = __builtin_bswap64(prefix);
            std::memcpy(at, &bytes, 8);
        } else {
            copy_bytes(at, key.data(), key.size());
        }
        copy_bytes(at + key.size(), value.data(), value.size());
        used_ = needed;
        if (key.size() >= kHugeSize || value.size() >= kHugeSize) [[unlikely]]
            return add_huge(key_offset, key.size(), value.size(), prefix, place);
        entries_.push_back({key_offset, static_cast<std::uint32_t>(key.size()),
                            static_cast<std::uint32_t>(value.size()), prefix, place});
    }
    // The same for a key and value that are each followed by at least 16
    // readable bytes (a parser's padded buffers): short ones are copied as
    // one 16-byte block.
    void add_padded(std::string_view key, std::string_view value, std::uint64_t prefix, KeyPlace place) {
        if (key.size() > 16 || value.size() > 16) [[unlikely]]
            return add(key, value, prefix, place);
        note_order(prefix);
        const std::size_t key_offset = used_;
        const std::size_t needed = used_ + key.size() + value.size();
        if (needed > capacity_ || !bytes_) [[unlikely]]
            grow(needed);
        // Both blocks end within the kPadding bytes past the capacity.
        char* at = bytes_.get() + used_;
        std::memcpy(at, key.data(), 16);
        std::memcpy(at + key.size(), value.data(), 16);
        used_ = needed;
        entries_.push_back({key_offset, static_cast<std::uint32_t>(key.size()),
                            static_cast<std::uint32_t>(value.size()), prefix, place});
    }
    void end_record();

    std::size_t size() const noexcept { return record_ends_.size(); }
    bool empty() const noexcept { return record_ends_.empty(); }
    Record operator[](std::size_t i) const {
        const Entry* base = entries_.data();
        return {this, base + (i == 0 ? 0 : record_ends_[i - 1]), base + record_ends_[i]};
    }
    Item item(const Entry& entry) const {
        const char* key = bytes_.get() + entry.key_offset;
        if (entry.key_size == kHugeSize || entry.value_size == kHugeSize) [[unlikely]] {
            const auto [key_size, value_size] = huge_sizes(entry.key_offset);
            return {std::string_view(key, key_size), std::string_view(key + key_size, value_size)};
        }
        return {std::string_view(key, entry.key_size), std::string_view(key + entry.key_size, entry.value_size)};
    }
    void reserve(std::size_t bytes, std::size_t entries, std::size_t records);
    // Bytes of all keys and values together.
    std::size_t byte_size() const noexcept { return used_; }
    // Whether every key and value is known to be ASCII, as the caller that
    // filled the store may tell (false when unknown).
    bool known_ascii() const noexcept { return known_ascii_; }
    void set_known_ascii(bool ascii) noexcept { known_ascii_ = ascii; }

private:
    // Sizes of 4 GiB and more are rare enough to keep aside, which keeps
    // every other entry small.
    static constexpr std::uint32_t kHugeSize = UINT32_MAX;
    struct HugeSizes {
        std::uint64_t key_offset, key_size, value_size;
    };
    std::pair<std::uint64_t, std::uint64_t> huge_sizes(std::uint64_t key_offset) const;
    // Keys whose prefixes rise are in key order and distinct, as records
    // read back from our own output are: end_record then has nothing to check.
    void note_order(std::uint64_t prefix) noexcept {
        in_order_ &= prefix > last_prefix_;
        last_prefix_ = prefix;
    }
    // The store's growth: the thread's spare bytes first when it has none.
    void grow(std::size_t needed);
    void allocate(std::size_t needed);
    struct Spare;  // buffers a thread keeps from its last store
    // For a store that has no bytes yet.
    bool take_spare_bytes(Spare& spare, std::size_t needed);
    void add_huge(std::size_t key_offset, std::size_t key_size, std::size_t value_size, std::uint64_t prefix,
                  KeyPlace place);

    // Raw storage rather than std::string: appends are plain copies.
    BufferMemory bytes_;
    std::size_t used_ = 0, capacity_ = 0;
    Entries entries_;
    std::vector<std::size_t> record_ends_;  // one past each record's last entry
    std::vector<HugeSizes> huge_sizes_;     // in key_offset order
    bool known_ascii_ = false;
    bool in_order_ = true;           // of the open record's entries so far
    std::uint64_t last_prefix_ = 0;  // of the open record's last entry
};

}  // namespace tessarin
