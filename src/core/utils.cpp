#include "core/utils.hpp"

namespace tessarin {

namespace {

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

}  // namespace

// The three replacement passes only ever match inside a run of "\r"/"\n"
// bytes, so each run can be normalised on its own; the result is that many "\n".
std::size_t normalised_run_length(std::string_view run) {
    if (run.size() == 1) return 1;
    if (run == "\r\n") return 1;
    return replace_all(replace_all(run, "\r\n", '\n'), "\n\r", '\n').size();
}

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
        while (end < text.size() && is_line_end(text[end])) ++end;
        out.append(normalised_run_length(text.substr(run, end - run)), '\n');
        copied = end;
        carriage_return = text.find('\r', end);
    }
    out.append(text, copied, text.size() - copied);
    return out;
}

void ByteSet::add(unsigned char byte) {
    if (member_[byte]) return;
    member_[byte] = true;
#if defined(__SSE2__)
    if (count_ < kCapacity) wanted_[count_] = _mm_set1_epi8(static_cast<char>(byte));
#endif
    ++count_;
}

}  // namespace tessarin
