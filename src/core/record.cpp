#include "core/record.hpp"

#include <algorithm>
#include <cstring>

#include "core/key_order.hpp"
#include "core/per_thread.hpp"
#include "core/utils.hpp"

namespace tessarin {

namespace {

// The spare buffers of one thread, in two sizes: small ones (up to
// kSmallSpare bytes) for the next small store, large ones for the next large
// one, so that a large conversion does not leave the small ones after it
// without. A store takes a large buffer only when it needs at least a quarter
// of it, so a small store does not keep it from the next large one.
// Buffers of up to kSpareSize stay; larger ones, up to kLargestSpare, serve
// a run of conversions of one large message (refilling fresh pages costs
// more than the conversion) and go when a store ends that did not use them.
constexpr std::size_t kSpareSize = std::size_t{16} << 20;
constexpr std::size_t kLargestSpare = std::size_t{256} << 20;
constexpr std::size_t kSmallSpare = std::size_t{64} << 10;

std::size_t size_class(std::size_t bytes) noexcept { return bytes > kSmallSpare ? 1 : 0; }

}  // namespace

struct RecordStore::Spare {
    struct Bytes {
        BufferMemory memory;
        std::size_t capacity = 0;  // as RecordStore::capacity_, the padding not counted
    };
    Bytes bytes[2];
    RecordStore::Entries entries[2];
    std::vector<std::size_t> record_ends[2];
};

namespace {

// Whether a spare of `spare` items of `item` bytes each serves a need of `needed` items.
bool fits_spare(std::size_t spare, std::size_t needed, std::size_t item) {
    return spare >= needed && (spare * item <= kSmallSpare || spare / 4 <= needed);
}

// Hands over to `to`, which has no buffer of its own, the spare of the size
// `needed` asks for, when it fits.
template <class Vector>
void take_if_fits(Vector& to, Vector (&from)[2], std::size_t needed) {
    constexpr std::size_t item = sizeof(typename Vector::value_type);
    Vector& spare = from[size_class(needed * item)];
    if (fits_spare(spare.capacity(), needed, item)) to.swap(spare);
}

// Whether a spare above kSpareSize has met a store of `own` bytes that could not use it.
bool outlived(std::size_t spare, std::size_t own) { return spare > kSpareSize && own < spare / 4; }

// Keeps `from` as the spare of its size when it is larger than the one kept.
template <class Vector>
void keep_if_larger(Vector (&to)[2], Vector& from) {
    constexpr std::size_t item = sizeof(typename Vector::value_type);
    const std::size_t bytes = from.capacity() * item;
    if (bytes == 0) return;
    if (outlived(to[1].capacity() * item, bytes)) Vector().swap(to[1]);
    Vector& spare = to[size_class(bytes)];
    if (bytes <= kLargestSpare && from.capacity() > spare.capacity()) {
        from.clear();
        spare.swap(from);
    }
}

}  // namespace

RecordStore::~RecordStore() {
    // Once the thread's spare is gone (the thread is ending), the buffers are freed as usual.
    Spare* spare = PerThread<Spare>::get(true);
    if (!spare) return;
    if (bytes_) {
        if (outlived(spare->bytes[1].capacity, capacity_)) spare->bytes[1] = {};
        if (Spare::Bytes& kept = spare->bytes[size_class(capacity_)];
            capacity_ <= kLargestSpare && capacity_ > kept.capacity) {
            kept.memory = std::move(bytes_);
            kept.capacity = capacity_;
        }
    }
    keep_if_larger(spare->entries, entries_);
    keep_if_larger(spare->record_ends, record_ends_);
}

bool RecordStore::take_spare_bytes(Spare& spare, std::size_t needed) {
    Spare::Bytes& kept = spare.bytes[size_class(needed)];
    if (!kept.memory || !fits_spare(kept.capacity, needed, 1)) return false;
    bytes_ = std::move(kept.memory);
    capacity_ = kept.capacity;
    kept.capacity = 0;
    return true;
}

void RecordStore::grow(std::size_t needed) {
    if (Spare* spare = bytes_ ? nullptr : PerThread<Spare>::get(false); spare && take_spare_bytes(*spare, needed))
        return;
    allocate(needed);
}

void RecordStore::allocate(std::size_t needed) {
    BufferMemory bytes(std::max(needed, 2 * capacity_) + kPadding);
    if (used_ > 0) std::memcpy(bytes.get(), bytes_.get(), used_);
    capacity_ = bytes.size() - kPadding;
    bytes_ = std::move(bytes);
}

void RecordStore::add(std::string_view key, std::string_view value) {
    // Reading the place from the key's few bytes beats a lookup in the common
    // keys' table, whose entries are rarely in cache.
    add(key, value, key_prefix(key), key_place(key));
}

void RecordStore::add_huge(std::size_t key_offset, std::size_t key_size, std::size_t value_size, std::uint64_t prefix,
                           KeyPlace place) {
    huge_sizes_.push_back({key_offset, key_size, value_size});
    entries_.push_back({key_offset, kHugeSize, kHugeSize, prefix, place});
}

std::pair<std::uint64_t, std::uint64_t> RecordStore::huge_sizes(std::uint64_t key_offset) const {
    const auto it =
        std::lower_bound(huge_sizes_.begin(), huge_sizes_.end(), key_offset,
                         [](const HugeSizes& sizes, std::uint64_t offset) { return sizes.key_offset < offset; });
    return {it->key_size, it->value_size};
}

void RecordStore::end_record() {
    if (!in_order_) {
        const auto first =
            entries_.begin() + static_cast<std::ptrdiff_t>(record_ends_.empty() ? 0 : record_ends_.back());
        entries_.erase(sort_keeping_last(
                           first, entries_.end(), [](const Entry& entry) { return entry.key_prefix; },
                           [this](const Entry& entry) { return item(entry).first; }),
                       entries_.end());
    }
    in_order_ = true;
    last_prefix_ = 0;
    record_ends_.push_back(entries_.size());
    if (bytes_) std::memset(bytes_.get() + used_, 0, kPadding);
}

void RecordStore::reserve(std::size_t bytes, std::size_t entries, std::size_t records) {
    // One look for the thread's spare serves all three buffers of a new store.
    const bool fresh = !bytes_ && entries_.capacity() == 0 && record_ends_.capacity() == 0;
    Spare* spare = fresh ? PerThread<Spare>::get(false) : nullptr;
    if (spare) {
        take_spare_bytes(*spare, bytes);
        take_if_fits(entries_, spare->entries, entries);
        take_if_fits(record_ends_, spare->record_ends, records);
    }
    if (bytes > capacity_) allocate(bytes);
    entries_.reserve(entries);
    record_ends_.reserve(records);
}

}  // namespace tessarin
