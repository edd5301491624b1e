#include "feeds/feed_files.hpp"
#include "core/kept_buffers.hpp"
#include "core/utf8.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tessarin::feeds {

namespace {

class Fd {
public:
    explicit Fd(int fd) noexcept : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const noexcept { return fd_; }

private:
    int fd_;
};

// One read, retried when a signal cuts it: a short read of a regular file is its end.
long read_once(int fd, char* into, std::size_t size) {
    for (;;) {
        const ssize_t n = ::read(fd, into, size);
        if (n >= 0 || errno != EINTR) return static_cast<long>(n);
    }
}

// The bytes to the end of the file after `file.size`, growing the buffer.
bool read_to_end(int fd, WholeFile& file, std::size_t capacity, std::size_t step) {
    for (;;) {
        if (file.size == capacity) {
            const std::size_t grown = capacity + std::max(capacity, step);
            auto bytes = std::make_unique_for_overwrite<char[]>(grown);
            if (file.size) std::memcpy(bytes.get(), file.bytes.get(), file.size);
            file.bytes = std::move(bytes);
            capacity = grown;
        }
        const long got = read_once(fd, file.bytes.get() + file.size, capacity - file.size);
        if (got < 0) return false;
        if (got == 0) return true;
        file.size += static_cast<std::size_t>(got);
    }
}

// Only a handle to look names up in: no read permission needed.
#ifdef O_PATH
constexpr int kFolderFlags = O_PATH | O_DIRECTORY | O_CLOEXEC;
#else
constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
#endif

int open_path(int folder, const char* path) {
    int fd;
    do {
        fd = ::openat(folder, path, O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

}  // namespace

FolderCache::~FolderCache() {
    if (fd_ >= 0) ::close(fd_);
}

int FolderCache::open(const char* path) {
    const char* slash = std::strrchr(path, '/');
    if (slash == nullptr || slash[1] == '\0') return open_path(AT_FDCWD, path);
    const std::string_view folder(path, static_cast<std::size_t>(slash - path) + 1);
    if (folder != folder_) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
        folder_.assign(folder);
        do {
            fd_ = ::open(folder_.c_str(), kFolderFlags);
        } while (fd_ < 0 && errno == EINTR);
    }
    // A folder that cannot be opened leaves the whole path to tell why.
    return fd_ >= 0 ? open_path(fd_, slash + 1) : open_path(AT_FDCWD, path);
}

WholeFile read_whole_file(const char* path, std::optional<std::size_t> known_size, const WholeFileLimits& limits,
                          std::vector<char>& scratch, FolderCache* folders) {
    WholeFile file;
    const int raw = folders ? folders->open(path) : open_path(AT_FDCWD, path);
    if (raw < 0) {
        file.error = errno;
        return file;
    }
    const Fd fd(raw);
    // Known size: one read of one byte more, which tells whether it grew
    // since. Unknown: the first read goes to scratch, most files end in it.
    const std::size_t capacity = known_size ? *known_size + 1 : limits.first_read;
    char* into = scratch.data();
    if (known_size) {
        file.bytes = std::make_unique_for_overwrite<char[]>(capacity);
        into = file.bytes.get();
    } else if (scratch.size() < capacity) {
        scratch.resize(capacity);
        into = scratch.data();
    }
    const long got = read_once(fd.get(), into, capacity);
    if (got < 0) {
        file.error = errno;
        return file;
    }
    file.size = static_cast<std::size_t>(got);
    if (!known_size) {
        file.bytes = std::make_unique_for_overwrite<char[]>(std::max<std::size_t>(file.size, 1));
        if (file.size) std::memcpy(file.bytes.get(), into, file.size);
    }
    if (file.size < capacity) return file;
    if (!known_size) {
        struct stat status;
        if (::fstat(fd.get(), &status) < 0) {
            file.error = errno;
            return file;
        }
        const auto size = static_cast<std::size_t>(status.st_size);
        const bool gzip = file.bytes[0] == '\x1f' && file.size >= 2 && file.bytes[1] == '\x8b';
        if (size > limits.whole_max || (size > limits.gzip_max && gzip)) {
            file.handed_back = size;
            file.bytes.reset();
            file.size = 0;
            return file;
        }
    }
    if (!read_to_end(fd.get(), file, file.size, limits.first_read)) file.error = errno;
    return file;
}

namespace {

bool plain_name(std::string_view name) {
    const bool escaped = std::any_of(
        name.begin(), name.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == '"' || c == '\\'; });
    return !escaped && is_valid_utf8(name);
}

}  // namespace

std::optional<std::vector<std::string>> plain_file_names(const char* path) {
    int fd;
    do {
        fd = ::open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return std::nullopt;
    DIR* folder = ::fdopendir(fd);
    if (folder == nullptr) {
        ::close(fd);
        return std::nullopt;
    }
    const std::unique_ptr<DIR, int (*)(DIR*)> closed(folder, ::closedir);
    std::vector<std::string> names;
    for (;;) {
        errno = 0;
        const dirent* entry = ::readdir(folder);
        if (entry == nullptr) {
            if (errno != 0) return std::nullopt;
            break;
        }
        const std::string_view name(entry->d_name);
        if (name.front() == '.') continue;
        // A type the listing does not tell (some file systems) needs a stat: the caller's.
        if (entry->d_type != DT_REG || !plain_name(name)) return std::nullopt;
        names.emplace_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

namespace {

// Up to `size` bytes at `offset`, fewer only at the end of the file.
long read_at(int fd, char* into, std::size_t size, std::size_t offset) {
    std::size_t got = 0;
    while (got < size) {
        const ssize_t n = ::pread(fd, into + got, size - got, static_cast<off_t>(offset + got));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -1;
        if (n == 0) break;
        got += static_cast<std::size_t>(n);
    }
    return static_cast<long>(got);
}

// Piece buffers kept between calls: a call's pieces and what it carries,
// for two threads' calls.
constexpr std::size_t kKeptPieceBytes = 16 << 20;
using PiecePool = KeptBuffers<WholeFile, 16>;

PiecePool& piece_pool() {
    static PiecePool pool;
    return pool;
}

// Room for `more` bytes after what `buffer` holds, which has `capacity`;
// grown without the zeroing a string's resize does.
char* room(WholeFile& buffer, std::size_t& capacity, std::size_t more) {
    if (!buffer.bytes) {
        if (WholeFile kept = piece_pool().take([&](const WholeFile& file) { return file.capacity >= more; });
            kept.bytes) {
            buffer.bytes = std::move(kept.bytes);
            capacity = kept.capacity;
        }
    }
    if (capacity - buffer.size < more || !buffer.bytes) {
        const std::size_t grown = std::max({buffer.size + more, 2 * capacity, std::size_t{1}});
        auto bytes = std::make_unique_for_overwrite<char[]>(grown);
        if (buffer.size) std::memcpy(bytes.get(), buffer.bytes.get(), buffer.size);
        buffer.bytes = std::move(bytes);
        capacity = grown;
    }
    return buffer.bytes.get() + buffer.size;
}

}  // namespace

FilePieces read_pieces(const char* path, const SplitState& start, std::size_t carried_bytes, std::size_t count,
                       std::size_t piece_bytes, std::size_t max_piece) {
    FilePieces result;
    result.after = start;
    int raw;
    do {
        raw = ::open(path, O_RDONLY | O_CLOEXEC);
    } while (raw < 0 && errno == EINTR);
    if (raw < 0) {
        result.end = PiecesEnd::error;
        result.error = errno;
        return result;
    }
    const Fd fd(raw);
    WholeFile carried;
    std::size_t capacity = 0;
    const long again = read_at(fd.get(), room(carried, capacity, carried_bytes), carried_bytes, start.offset);
    if (again < 0) {
        result.end = PiecesEnd::error;
        result.error = errno;
        return result;
    }
    carried.size = static_cast<std::size_t>(again);
    std::size_t position = start.offset + carried.size;  // of the next read
    while (result.pieces.size() < count) {
        const long got = read_at(fd.get(), room(carried, capacity, piece_bytes), piece_bytes, position);
        if (got < 0) {
            result.end = PiecesEnd::error;
            result.error = errno;
            return result;
        }
        carried.size += static_cast<std::size_t>(got);
        position += static_cast<std::size_t>(got);
        const bool final = got == 0;
        const std::string_view data = carried.data();
        const std::size_t cut = final ? data.size() : find_cut(data);
        if (cut > 0 || final) {
            FilePiece& piece = result.pieces.emplace_back();
            piece.start = result.after;
            result.after = state_after(data.substr(0, cut), result.after);
            // The piece keeps the buffer; what follows the cut moves to a new one.
            WholeFile rest;
            std::size_t rest_capacity = 0;
            const std::size_t left = data.size() - cut;
            std::memcpy(room(rest, rest_capacity, left + piece_bytes), data.data() + cut, left);
            rest.size = left;
            carried.size = cut;
            carried.capacity = capacity;
            piece.bytes = std::move(carried);
            carried = std::move(rest);
            capacity = rest_capacity;
            if (final) {
                result.end = PiecesEnd::end;
                return result;
            }
        }
        if (carried.size > max_piece) {
            result.end = PiecesEnd::too_long;
            return result;
        }
    }
    result.carried = carried.size;
    carried.capacity = capacity;  // its bytes are read again by the next call
    keep_piece_buffer(std::move(carried));
    return result;
}

void keep_piece_buffer(WholeFile&& piece) noexcept {
    if (!piece.bytes || piece.capacity > kKeptPieceBytes) return;
    piece.size = 0;
    piece_pool().keep(std::move(piece));
}

}  // namespace tessarin::feeds
