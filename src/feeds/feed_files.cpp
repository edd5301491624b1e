#include "feeds/feed_files.hpp"

#include <cerrno>
#include <cstring>
#include <vector>

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

}  // namespace

WholeFile read_whole_file(const char* path, std::optional<std::size_t> known_size, const WholeFileLimits& limits,
                          std::vector<char>& scratch) {
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

}  // namespace tessarin::feeds
