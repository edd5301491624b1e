#include "core/file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "core/json_reader.hpp"
#include "core/text_buffer.hpp"
#include "core/utf8.hpp"

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

// Reads the open file to its end into `out` (a std::string or a TextBuffer,
// which is not zero-filled first). The size from stat is a hint only (pipes
// and /proc report 0), so reading goes on to EOF; one spare byte lets a file
// of the expected size end in one pass, and a regular file that gives fewer
// bytes than asked has ended. Room for `padding` more bytes is left.
template <class Buffer>
Status read_open_file(const FileDescriptor& file, const struct stat* info, std::size_t padding, Buffer& out) {
    const bool regular = info && S_ISREG(info->st_mode);
    const std::size_t expected = info && info->st_size > 0 ? static_cast<std::size_t>(info->st_size) : 0;
    std::size_t used = 0;
    std::size_t wanted = expected + 1;
    out.reserve(wanted + padding);
    for (;;) {
        char* at;
        if constexpr (requires { out.room_for(wanted); }) {
            at = out.room_for(wanted);
        } else {
            out.resize(used + wanted);
            at = out.data() + used;
        }
        const ssize_t got = ::read(file.get(), at, wanted);
        if (got < 0) {
            if (errno == EINTR) continue;
            return Hl7Error::io(os_error_text(errno));
        }
        used += static_cast<std::size_t>(got);
        if constexpr (requires { out.end_at(at); }) out.end_at(at + got);
        if (got == 0 || (regular && static_cast<std::size_t>(got) < wanted)) break;
        if (static_cast<std::size_t>(got) == wanted)
            wanted = used;  // the buffer doubles
        else
            wanted -= static_cast<std::size_t>(got);
    }
    if constexpr (requires { out.room_for(padding); }) {
        out.room_for(padding);
    } else {
        out.resize(used);
        if (out.capacity() < used + padding) out.reserve(used + padding);
    }
    return Ok{};
}

Result<std::string> read_text_file(std::string_view path, std::size_t padding) {
    if (path.find('\0') != std::string_view::npos) return Hl7Error::io("file name contained an unexpected NUL byte");
    const std::string name(path);
    const FileDescriptor file(::open(name.c_str(), O_RDONLY | O_CLOEXEC));
    if (file.get() < 0) return Hl7Error::io(os_error_text(errno));
    struct stat info{};
    std::string text;
    if (Status status = read_open_file(file, ::fstat(file.get(), &info) == 0 ? &info : nullptr, padding, text); !status)
        return std::move(status).error();
    if (!is_valid_utf8(text)) return Hl7Error::io("stream did not contain valid UTF-8");
    return text;
}

Result<std::string> read_message_file(std::string_view path, std::size_t padding) {
    Result<std::string> text = read_text_file(path, padding);
    if (text && is_blank(text.value())) return Hl7Error::empty_message();
    return text;
}

Status read_json_file(std::string_view path, RecordStore& records) {
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
    TextBuffer buffer;
    if (Status status = read_open_file(file, known ? &info : nullptr, json_padding(), buffer); !status)
        return std::move(status).error();
    const std::string_view text = buffer.view();
    Status status = read_json_store(text, buffer.capacity(), records);
    // The parser checks the UTF-8 of every byte, so a parsed file needs no
    // second pass; a failed one is looked at in the order of the other readers.
    if (status) return status;
    if (!is_valid_utf8(text)) return Hl7Error::io("stream did not contain valid UTF-8");
    if (is_blank(text)) return Hl7Error::empty_message();
    return status;
}

}  // namespace tessarin
