#include "utils.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <simdjson.h>

namespace tessarin {

namespace {

bool is_eol(char c) { return c == '\r' || c == '\n'; }

std::string replace_all(std::string_view text, std::string_view from, char to) {
    std::string out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        if (text.compare(i, from.size(), from) == 0) {
            out += to;
            i += from.size();
        } else {
            out += text[i++];
        }
    }
    return out;
}

// The three replacement passes only ever match inside a run of "\r"/"\n"
// bytes, so each run can be normalised on its own; the result is that many "\n".
std::size_t normalised_run_length(std::string_view run) {
    if (run.size() == 1) return 1;
    if (run == "\r\n") return 1;
    return replace_all(replace_all(run, "\r\n", '\n'), "\n\r", '\n').size();
}

std::string os_error_text(int error_number) {
    return std::string(std::strerror(error_number)) + " (os error " + std::to_string(error_number) + ")";
}

}  // namespace

std::string replace_eof(std::string_view text) {
    std::size_t carriage_return = text.find('\r');
    if (carriage_return == std::string_view::npos) return std::string(text);
    std::string out;
    out.reserve(text.size());
    std::size_t copied = 0;
    // Only runs of line-end bytes that hold a "\r" change; jump between them.
    while (carriage_return != std::string_view::npos) {
        std::size_t run = carriage_return;
        while (run > copied && text[run - 1] == '\n') --run;
        out.append(text, copied, run - copied);
        std::size_t end = carriage_return;
        while (end < text.size() && is_eol(text[end])) ++end;
        out.append(normalised_run_length(text.substr(run, end - run)), '\n');
        copied = end;
        carriage_return = text.find('\r', end);
    }
    out.append(text, copied, text.size() - copied);
    return out;
}

std::size_t decode_utf8(std::string_view text, std::size_t pos, char32_t& cp) noexcept {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned lead = byte(pos);
    if (lead < 0x80) {
        cp = lead;
        return 1;
    }
    std::size_t length;
    char32_t value;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        value = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        value = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        value = lead & 0x07;
    } else {
        cp = 0xFFFD;
        return 1;
    }
    if (pos + length > text.size()) {
        cp = 0xFFFD;
        return 1;
    }
    for (std::size_t i = 1; i < length; ++i) {
        const unsigned next = byte(pos + i);
        if ((next & 0xC0) != 0x80) {
            cp = 0xFFFD;
            return 1;
        }
        value = (value << 6) | (next & 0x3F);
    }
    cp = value;
    return length;
}

void append_utf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

void ByteSet::add(unsigned char byte) {
    if (member_[byte]) return;
    member_[byte] = true;
    if (count_ < kCapacity) {
        bytes_[count_] = byte;
#if defined(__SSE2__)
        wanted_[count_] = _mm_set1_epi8(static_cast<char>(byte));
#endif
    }
    ++count_;
}

bool is_valid_utf8(std::string_view text) noexcept { return simdjson::validate_utf8(text.data(), text.size()); }

bool is_blank(std::string_view text) noexcept {
    for (std::size_t i = 0; i < text.size();) {
        char32_t cp;
        i += decode_utf8(text, i, cp);
        const bool white = (cp >= 0x09 && cp <= 0x0D) || cp == 0x20 || cp == 0x85 || cp == 0xA0 || cp == 0x1680 ||
                           (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 || cp == 0x2029 || cp == 0x202F ||
                           cp == 0x205F || cp == 0x3000;
        if (!white) return false;
    }
    return true;
}

Result<std::string> read_text_file(std::string_view path, std::size_t padding) {
    if (path.find('\0') != std::string_view::npos) return Hl7Error::io("file name contained an unexpected NUL byte");
    const std::string name(path);
    const int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return Hl7Error::io(os_error_text(errno));
    struct stat info {};
    std::size_t expected = 0;
    if (::fstat(fd, &info) == 0 && info.st_size > 0) expected = static_cast<std::size_t>(info.st_size);
    // The size from stat is a hint only (pipes and /proc report 0), so read to
    // EOF; one spare byte lets a file of the expected size end in one pass.
    std::string text;
    text.reserve(expected + 1 + padding);
    text.resize(expected + 1);
    std::size_t used = 0;
    for (;;) {
        if (used == text.size()) text.resize(text.size() * 2);
        const ssize_t got = ::read(fd, text.data() + used, text.size() - used);
        if (got < 0) {
            if (errno == EINTR) continue;
            const int error_number = errno;
            ::close(fd);
            return Hl7Error::io(os_error_text(error_number));
        }
        if (got == 0) break;
        used += static_cast<std::size_t>(got);
    }
    ::close(fd);
    text.resize(used);
    if (text.capacity() < used + padding) text.reserve(used + padding);
    if (!is_valid_utf8(text)) return Hl7Error::io("stream did not contain valid UTF-8");
    return text;
}

}  // namespace tessarin
