// Output buffers kept from one native call to the next, and handed to Python
// as read-only memoryviews without a copy (lines_view.cpp).
#pragma once

#include "python/handle.hpp"  // Python.h comes before any system header

#include <cstddef>

#include "columns/records_json.hpp"

namespace tessarin::columns {

// A kept buffer, empty, or a new one when none is kept.
ByteBuffer take_kept_buffer();
// Keeps `buffer` for a later call; `used`, the most it held, bounds its room.
void keep_buffer(ByteBuffer&& buffer, std::size_t used) noexcept;

// The type of the objects behind the views, made once per module.
PyObject* new_lines_type(PyObject* module);
// A read-only memoryview of `buffer`'s bytes; the buffer is kept again once
// the view and every view of it are gone.
PyObject* lines_view(PyObject* lines_type, ByteBuffer&& buffer);

}  // namespace tessarin::columns
