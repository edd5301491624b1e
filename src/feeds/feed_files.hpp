// Reading a small feed file whole, as the command's whole-file tasks read
// it (tasks._file_bytes): a file of known size is read to its end; one of
// unknown size is read 64 KiB first, and handed back with its size when it
// is too large to go whole.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "feeds/feed_splitter.hpp"

namespace tessarin::feeds {

struct WholeFileLimits {
    std::size_t first_read;  // of a file of unknown size
    std::size_t whole_max;   // larger files are handed back
    std::size_t gzip_max;    // larger gzip files are handed back
};

struct WholeFile {
    std::unique_ptr<char[]> bytes;
    std::size_t size = 0;
    std::size_t capacity = 0;                // of `bytes`, where known (pieces)
    int error = 0;                           // errno of a failed open or read
    std::optional<std::size_t> handed_back;  // the size of a file too large to go whole
    std::string_view data() const noexcept { return {bytes.get(), size}; }
};

// Opens files relative to their folder: the folder of the last path stays
// open, so the files of one folder skip the lookup of its path each time
// (a tenth of a small file's cost). A path without a folder, or whose
// folder cannot be opened, is opened whole, with the same outcome.
class FolderCache {
public:
    FolderCache() = default;
    FolderCache(const FolderCache&) = delete;
    FolderCache& operator=(const FolderCache&) = delete;
    ~FolderCache();
    // As ::open(path, O_RDONLY | O_CLOEXEC).
    int open(const char* path);

private:
    std::string folder_;  // with its final "/"
    int fd_ = -1;
};

// `known_size`: the size the caller found, if it stat-ed the file;
// `scratch` takes the first read of a file of unknown size; `folders`, if
// given, opens it.
WholeFile read_whole_file(const char* path, std::optional<std::size_t> known_size, const WholeFileLimits& limits,
                          std::vector<char>& scratch, FolderCache* folders = nullptr);

// The names in the folder at `path` when it holds plain files only (hidden
// entries aside), each a name JSON writes as it is (UTF-8, no quote,
// backslash or control byte), in byte order, which is their order as text.
// None for any other folder, or one that cannot be read: the caller walks
// those its own way, and meets the same errors.
std::optional<std::vector<std::string>> plain_file_names(const char* path);

// Pieces of a large file read from `start.offset` on, as the command cut
// them in Python (tasks._Pieces): a read of `piece_bytes` is added to what
// is carried, cut at its last place to cut (find_cut), and the rest carried
// on; at the end of the file the rest is the last piece. `carried` bytes
// after start.offset were read by the call before (they are read again), so
// that the reads, and so the pieces, fall where one long run puts them.
struct FilePiece {
    WholeFile bytes;
    SplitState start;
};

enum class PiecesEnd {
    more,      // pieces left after these
    end,       // the last piece is the file's end
    too_long,  // no place to cut within max_piece bytes: the rest is the reader's
    error,     // a failed open or read: the rest is the reader's, which meets it too
};

struct FilePieces {
    std::vector<FilePiece> pieces;
    SplitState after;         // where the next piece starts
    std::size_t carried = 0;  // bytes after it that were read
    PiecesEnd end = PiecesEnd::more;
    int error = 0;
};

FilePieces read_pieces(const char* path, const SplitState& start, std::size_t carried, std::size_t count,
                       std::size_t piece_bytes, std::size_t max_piece);

// Keeps a piece's buffer for the pieces of later calls, whose reads then
// land in pages already mapped rather than in fresh ones.
void keep_piece_buffer(WholeFile&& piece) noexcept;

}  // namespace tessarin::feeds
