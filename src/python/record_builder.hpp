// Builds segment-record dicts from the entries the core's segment walk
// (walk_segments, walk_segment) finds: entries become Python objects as they
// are found, keys come from the module's key table, and the dict is filled
// once, in key order.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/segments.hpp"
#include "core/small_vector.hpp"
#include "python/handle.hpp"

namespace tessarin::py {

class RecordBuilder {
public:
    // With a `list` (new, one item per segment) each record goes into the next
    // item; without one the last record waits for take().
    explicit RecordBuilder(PyObject* list = nullptr) : list_(list) {}
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
    // Keys outside the key table rank after every key inside it.
    static constexpr std::uint32_t kUnranked = UINT32_MAX;
    struct Entry {
        std::uint64_t order;  // key_prefix() of the key
        std::uint32_t rank;   // the table's rank, or kUnranked
        PyObject* key;        // the table's, or owned by made_keys_
        PyObject* value;      // owned
    };
    void clear_line();
    void sort_entries();

    SmallVector<Entry, 64> entries_;
    SmallVector<Entry, 64> merged_;     // the entries while two runs are merged
    std::vector<PyObject*> made_keys_;  // keys beyond the table, made for this line
    PyRef name_value_;
    PyRef record_;
    PyObject* list_;
    Py_ssize_t next_item_ = 0;
    bool failed_ = false;
    bool line_is_ascii_ = false;
    bool all_ranked_ = true;
};

}  // namespace tessarin::py
