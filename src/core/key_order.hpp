// Key order: the byte-wise order of the keys of a segment record, in which
// records are kept and dicts are filled. Entries carry the first eight bytes
// of their key as one number, so most comparisons end without touching the
// key text.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace tessarin {

// The first eight bytes of a key, big-endian, zero beyond its end: numbers
// that compare as the keys' first eight bytes do.
inline std::uint64_t key_prefix(std::string_view key) noexcept {
    std::uint64_t word = 0;
    if (key.size() >= 8) {  // one load rather than a call to memcpy
        std::memcpy(&word, key.data(), 8);
        return __builtin_bswap64(word);
    }
    for (std::size_t i = 0; i < key.size(); ++i)
        word |= std::uint64_t{static_cast<unsigned char>(key[i])} << (56 - 8 * i);
    return word;
}

// Less-than of key order for entries that carry their prefix:
// prefix_of(entry) gives it, key_of(entry) the key text.
template <class Prefix, class Key>
auto key_order(Prefix prefix_of, Key key_of) {
    return [=](const auto& a, const auto& b) {
        const std::uint64_t pa = prefix_of(a), pb = prefix_of(b);
        return pa != pb ? pa < pb : key_of(a) < key_of(b);
    };
}

// Puts entries whose keys are all different in key order. Entries of parsed
// text come in field order, which is key order below field 10, so a sorted
// range is only checked.
template <class Iterator, class Prefix, class Key>
void sort_distinct_keys(Iterator first, Iterator last, Prefix prefix_of, Key key_of) {
    const auto less = key_order(prefix_of, key_of);
    if (!std::is_sorted(first, last, less)) std::sort(first, last, less);
}

// Puts entries in key order and keeps, of several with one key, the one that
// came last, as a dict or JSON object keeps the later duplicate. Returns the
// new end. A range in strict key order (our own output) is only checked.
template <class Iterator, class Prefix, class Key>
Iterator sort_keeping_last(Iterator first, Iterator last, Prefix prefix_of, Key key_of) {
    const auto less = key_order(prefix_of, key_of);
    if (std::adjacent_find(first, last, [&](const auto& a, const auto& b) { return !less(a, b); }) == last) return last;
    // stable_sort keeps insertion order among equal keys, so the last of a
    // run of duplicates is the latest one.
    std::stable_sort(first, last, less);
    Iterator out = first;
    for (Iterator it = first; it != last;) {
        Iterator next = it + 1;
        while (next != last && key_of(*next) == key_of(*it)) ++next;
        if (out != next - 1) *out = std::move(*(next - 1));
        ++out;
        it = next;
    }
    return out;
}

}  // namespace tessarin
