// The record keys of common_keys.hpp as str objects, made and hashed once
// when the module executes and read-only afterwards: every call and every
// thread shares them without a lock.
#pragma once

#include <cstdint>

#include "../core/segments.hpp"
#include "handle.hpp"

namespace tessarin::py {

struct KnownKey {
    PyObject* key;        // interned, held for the life of the process
    std::uint64_t order;  // key_prefix() of the key
    std::uint32_t rank;   // position in key order among all the table's keys
};

// Builds the table on the first call; false with an exception set.
bool build_key_table();

// The table's entry for `key`, or nullptr outside its bounds. Valid only
// after build_key_table() succeeded, which the module's execution ensures.
const KnownKey* known_key(const EntryKey& key) noexcept;

// "segment_name", interned.
PyObject* segment_name_key() noexcept;

}  // namespace tessarin::py
