// Key order: the byte-wise order of the keys of a segment record, in which
// records are kept and dicts are filled. Entries carry the first eight bytes
// of their key as one number, so most comparisons end without touching the
// key text.
#pragma once

#include <algorithm>
#include <cstddef>
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

// Sorts items that arrive as a few runs already in order, as entries in
// field order do in key order ("1".."9", then "10".."99") and keys in key
// order do in place order ("1", "10".."19", then "2".."9"): neighbouring runs
// are merged, a pass at a time, through `buffer` (a container of the same
// type). n log(runs) work, none for a sorted range; stable.
template <class Items, class Less>
void merge_runs(Items& items, Items& buffer, Less less) {
    const std::size_t size = items.size();
    const auto run_end = [&](std::size_t start) {
        while (++start < size && !less(items[start], items[start - 1])) {
        }
        return start;
    };
    if (run_end(0) >= size) return;
    for (;;) {
        buffer.clear();
        std::size_t start = 0, merged = 0;
        while (start < size) {
            const std::size_t middle = run_end(start);
            const std::size_t end = middle < size ? run_end(middle) : size;
            std::size_t a = start, b = middle;
            while (a < middle && b < end) buffer.push_back(less(items[b], items[a]) ? items[b++] : items[a++]);
            while (a < middle) buffer.push_back(items[a++]);
            while (b < end) buffer.push_back(items[b++]);
            ++merged;
            start = end;
        }
        std::copy(buffer.begin(), buffer.end(), items.begin());
        if (merged == 1) return;
    }
}

// Visits items in the order of `less`, given that items[0, second_run) are
// in order. Entries in field order mostly are two such runs ("1".."9", then
// "10".."99"), merged here as they are visited without moving an item; any
// other order is first sorted in place by merge_runs through `buffer`.
template <class Items, class Less, class Visit>
void visit_in_order(Items& items, std::size_t second_run, Items& buffer, Less less, Visit visit) {
    const auto middle = items.begin() + static_cast<std::ptrdiff_t>(second_run), end = items.end();
    if (std::is_sorted(middle, end, less)) {
        auto a = items.begin(), b = middle;
        while (a != middle && b != end) visit(less(*b, *a) ? *b++ : *a++);
        for (; a != middle; ++a) visit(*a);
        for (; b != end; ++b) visit(*b);
    } else {
        merge_runs(items, buffer, less);
        for (const auto& item : items) visit(item);
    }
}

}  // namespace tessarin
