// Builds segment-record dicts straight from a parsed line: entries become
// Python objects as they are found, keys come from a per-call cache, and the
// dict is filled once, in key order.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "../core/escape.hpp"
#include "../core/segments.hpp"
#include "handle.hpp"

namespace tessarin::py {

class RecordBuilder {
public:
    // `escape_handler` undoes escape sequences; nullptr leaves text as it is.
    explicit RecordBuilder(const Hl7EscapeHandler* escape_handler);
    ~RecordBuilder();
    RecordBuilder(const RecordBuilder&) = delete;
    RecordBuilder& operator=(const RecordBuilder&) = delete;

    // The record dict of one line (a new reference), or nullptr with an error set.
    PyObject* build(std::string_view line);

    // Sink interface of SegmentScanner::emit.
    void name(std::string_view name);
    void entry(const EntryKey& key, std::string_view value);

private:
    struct Entry {
        std::uint64_t order;  // first key bytes, big-endian, for quick comparison
        PyObject* key;        // borrowed from cached_keys_
        PyObject* value;      // owned
    };
    struct CacheSlot {
        std::uint64_t tag;
        PyObject* key;
        std::uint64_t order;
    };
    struct KnownKey {
        PyObject* key;
        std::uint64_t order;
    };
    // The most common keys ("7", "3.2") sit in arrays indexed by position.
    static constexpr std::size_t kDirectFields = 32, kDirectComponentFields = 24, kDirectComponents = 12;
    bool create_key(const EntryKey& key, KnownKey& known);
    bool key_for(const EntryKey& key, PyObject*& object, std::uint64_t& order);
    void grow_cache();
    void clear_line();

    std::vector<KnownKey> direct_;  // field keys, then component keys
    std::vector<CacheSlot> cache_;
    std::vector<PyObject*> cached_keys_;  // owned, released with the builder
    std::size_t hashed_ = 0;  // keys in cache_
    std::vector<Entry> entries_;
    PyRef segment_name_key_;
    PyRef name_value_;
    SegmentScanner scanner_;
    bool failed_ = false;
    bool line_is_ascii_ = false;
};

}  // namespace tessarin::py
