#include "feeds/feed_files.hpp"

#include <cerrno>
#include <cstring>

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

// Up to `size` bytes at `into`, fewer only at the end of the file; -1 with errno on failure.
long read_up_to(int fd, char* into, std::size_t size) {
    std::size_t got = 0;
    while (got < size) {
        const ssize_t n = ::read(fd, into + got, size - got);
        if (n < 0) {
            if (errno == EINTR) continue;  // as Python retries
            return -1;
        }
        if (n == 0) break;
        got += static_cast<std::size_t>(n);
    }
    return static_cast<long>(got);
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
        const long got = read_up_to(fd, file.bytes.get() + file.size, capacity - file.size);
        if (got < 0) return false;
        file.size += static_cast<std::size_t>(got);
        if (file.size < capacity) return true;
    }
}

}  // namespace

WholeFile read_whole_file(const char* path, std::optional<std::size_t> known_size, const WholeFileLimits& limits) {
    WholeFile file;
    int raw;
    do {
        raw = ::open(path, O_RDONLY | O_CLOEXEC);
    } while (raw < 0 && errno == EINTR);
    if (raw < 0) {
        file.error = errno;
        return file;
    }
    const Fd fd(raw);
    // Known size: one read of one byte more, which tells whether it grew since.
    std::size_t capacity = known_size ? *known_size + 1 : limits.first_read;
    file.bytes = std::make_unique_for_overwrite<char[]>(capacity);
    const long got = read_up_to(fd.get(), file.bytes.get(), capacity);
    if (got < 0) {
        file.error = errno;
        return file;
    }
    file.size = static_cast<std::size_t>(got);
    if (file.size < capacity) return file;
    if (!known_size) {
        struct stat status;
        if (::fstat(fd.get(), &status) < 0) {
            file.error = errno;
            return file;
        }
        const auto size = static_cast<std::size_t>(status.st_size);
        const bool gzip = file.size >= 2 && file.bytes[0] == '\x1f' && file.bytes[1] == '\x8b';
        if (size > limits.whole_max || (size > limits.gzip_max && gzip)) {
            file.handed_back = size;
            file.bytes.reset();
            file.size = 0;
            return file;
        }
    }
    if (!read_to_end(fd.get(), file, capacity, limits.first_read)) file.error = errno;
    return file;
}

}  // namespace tessarin::feeds
