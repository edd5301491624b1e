// Reading the files that `from_file` names: whole, in one call, as UTF-8.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "core/errors.hpp"
#include "core/record.hpp"

namespace tessarin {

// The whole file as UTF-8 text; IoError (with the system's description) when
// it cannot be read or is not UTF-8. `padding` extra bytes of capacity are
// reserved so that a parser needing readable bytes past the end can run in place.
Result<std::string> read_text_file(std::string_view path, std::size_t padding = 0);

// The same, and EmptyMessage when the text holds only white space.
Result<std::string> read_message_file(std::string_view path, std::size_t padding = 0);

// Records from a JSON file holding an array of objects of strings, read
// into `records`, an empty store.
Status read_json_file(std::string_view path, RecordStore& records);

}  // namespace tessarin
