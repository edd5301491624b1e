#include "file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "json_reader.hpp"
#include "utf8.hpp"

namespace tessarin {

namespace {

std::string os_error_text(int error_number) {
    return std::string(std::strerror(error_number)) + " (os error " + std::to_string(error_number) + ")";
}

// Closes the descriptor on every way out, std::bad_alloc from a resize included.
class FileDescriptor {
public:
    explicit FileDescriptor(int fd) noexcept : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const noexcept { return fd_; }

private:
    int fd_;
};

}  // namespace

// Reads the open file to its end. The size from stat is a hint only (pipes
// and /proc report 0), so reading goes on to EOF; one spare byte lets a file
// of the expected size end in one pass, and a regular file that gives fewer
// bytes than asked has ended.
Result<std::string> read_open_file(const FileDescriptor& file, const struct stat* info, std::size_t padding) {
    const bool regular = info && S_ISREG(info->st_mode);
    const std::size_t expected = info && info->st_size > 0 ? static_cast<std::size_t>(info->st_size) : 0;
    std::string text;
    text.reserve(expected + 1 + padding);
    text.resize(expected + 1);
    std::size_t used = 0;
    for (;;) {
        if (used == text.size()) text.resize(text.size() * 2);
        const std::size_t wanted = text.size() - used;
        const ssize_t got = ::read(file.get(), text.data() + used, wanted);
        if (got < 0) {
            if (errno == EINTR) continue;
            return Hl7Error::io(os_error_text(errno));
        }
        if (got == 0) break;
        used += static_cast<std::size_t>(got);
        if (regular && static_cast<std::size_t>(got) < wanted) break;
    }
    text.resize(used);
    if (text.capacity() < used + padding) text.reserve(used + padding);
    return text;
}

Result<std::string> read_text_file(std::string_view path, std::size_t padding) {
    if (path.find('\0') != std::string_view::npos) return Hl7Error::io("file name contained an unexpected NUL byte");
    const std::string name(path);
    const FileDescriptor file(::open(name.c_str(), O_RDONLY | O_CLOEXEC));
    if (file.get() < 0) return Hl7Error::io(os_error_text(errno));
    struct stat info{};
    Result<std::string> text = read_open_file(file, ::fstat(file.get(), &info) == 0 ? &info : nullptr, padding);
    if (text && !is_valid_utf8(text.value())) return Hl7Error::io("stream did not contain valid UTF-8");
    return text;
}

Result<std::string> read_message_file(std::string_view path, std::size_t padding) {
    Result<std::string> text = read_text_file(path, padding);
    if (text && is_blank(text.value())) return Hl7Error::empty_message();
    return text;
}

Result<RecordStore> read_json_file(std::string_view path) {
    // Four system calls for a small file: open, fstat, read, close.
    if (path.find('\0') != std::string_view::npos) return Hl7Error::io("file name contained an unexpected NUL byte");
    const std::string name(path);
    struct stat info{};
    const FileDescriptor file(::open(name.c_str(), O_RDONLY | O_CLOEXEC));
    if (file.get() < 0) {
        const int error = errno;
        // A file over the reader's cap is refused by its size, readable or not.
        if (::stat(name.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
            static_cast<std::uint64_t>(info.st_size) > json_size_limit())
            return json_too_large(static_cast<std::size_t>(info.st_size));
        return Hl7Error::io(os_error_text(error));
    }
    const bool known = ::fstat(file.get(), &info) == 0;
    if (known && S_ISREG(info.st_mode) && static_cast<std::uint64_t>(info.st_size) > json_size_limit())
        return json_too_large(static_cast<std::size_t>(info.st_size));
    Result<std::string> text = read_open_file(file, known ? &info : nullptr, json_padding());
    if (!text) return std::move(text).error();
    Result<RecordStore> records = read_json_store(text.value());
    // The parser checks the UTF-8 of every byte, so a parsed file needs no
    // second pass; a failed one is looked at in the order of the other readers.
    if (records) return records;
    if (!is_valid_utf8(text.value())) return Hl7Error::io("stream did not contain valid UTF-8");
    if (is_blank(text.value())) return Hl7Error::empty_message();
    return records;
}

}  // namespace tessarin
