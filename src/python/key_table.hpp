// The record keys of common_keys.hpp as str objects, made and hashed once
// when the module executes and read-only afterwards: every call and every
// thread shares them without a lock.
#pragma once

#include <cstdint>

#include "core/key_place.hpp"
#include "core/segments.hpp"
#include "python/handle.hpp"

namespace tessarin::py {

struct KnownKey {
    PyObject* key;        // interned, held for the life of the process
    std::uint64_t order;  // key_prefix() of the key
    std::uint32_t rank;   // position in key order among all the table's keys
    KeyPlace place;       // where the assembler puts its value
};

// Builds the table on the first call; false with an exception set.
bool build_key_table();

// The table's entry for `key`, or nullptr outside its bounds. Valid only
// after build_key_table() succeeded, which the module's execution ensures.
const KnownKey* known_key(const EntryKey& key) noexcept;

// The table's entry for a str equal to one of its keys, or nullptr. Records
// read back from Hl7Json hold the table's own strings; others are matched by
// their hash and text. The interned "segment_name" has an entry too.
const KnownKey* find_known_key(PyObject* str) noexcept;

// "segment_name", interned.
PyObject* segment_name_key() noexcept;

}  // namespace tessarin::py
