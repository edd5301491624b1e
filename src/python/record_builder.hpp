// Builds segment-record dicts from the entries the core's segment walk
// (walk_segments, walk_segment) finds: entries become Python objects as they
// are found, keys come from a per-call cache, and the dict is filled once, in
// key order.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "../core/segments.hpp"
#include "handle.hpp"

namespace tessarin::py {

class RecordBuilder {
public:
    // With a `list` (new, one item per segment) each record goes into the next
    // item; without one the last record waits for take().
    explicit RecordBuilder(PyObject* list = nullptr);
    ~RecordBuilder();
    RecordBuilder(const RecordBuilder&) = delete;
    RecordBuilder& operator=(const RecordBuilder&) = delete;

    // Sink interface of the segment walk. end_segment is false with an error set.
    void begin_segment(std::string_view line);
    void name(std::string_view name);
    void entry(const EntryKey& key, std::string_view value);
    bool end_segment();

    // The last record dict (a new reference).
    PyObject* take() { return record_.release(); }

private:
    struct Entry {
        std::uint64_t order;  // key_prefix() of the key
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
    std::size_t hashed_ = 0;              // keys in cache_
    std::vector<Entry> entries_;
    PyRef segment_name_key_;
    PyRef name_value_;
    PyRef record_;
    PyObject* list_;
    Py_ssize_t next_item_ = 0;
    bool failed_ = false;
    bool line_is_ascii_ = false;
};

}  // namespace tessarin::py
