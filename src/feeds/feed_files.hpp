// Reading a small feed file whole, as the command's whole-file tasks read
// it (tasks._file_bytes): a file of known size is read to its end; one of
// unknown size is read 64 KiB first, and handed back with its size when it
// is too large to go whole.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

namespace tessarin::feeds {

struct WholeFileLimits {
    std::size_t first_read;  // of a file of unknown size
    std::size_t whole_max;   // larger files are handed back
    std::size_t gzip_max;    // larger gzip files are handed back
};

struct WholeFile {
    std::unique_ptr<char[]> bytes;
    std::size_t size = 0;
    int error = 0;                           // errno of a failed open or read
    std::optional<std::size_t> handed_back;  // the size of a file too large to go whole
    std::string_view data() const noexcept { return {bytes.get(), size}; }
};

// `known_size`: the size the caller found, if it stat-ed the file;
// `scratch` takes the first read of a file of unknown size.
WholeFile read_whole_file(const char* path, std::optional<std::size_t> known_size, const WholeFileLimits& limits,
                          std::vector<char>& scratch);

}  // namespace tessarin::feeds
