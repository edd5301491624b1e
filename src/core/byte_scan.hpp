// Finding a few ASCII bytes in long text, 16 or 32 bytes a step: each byte is
// looked up by its low and its high four bits in two 16-entry tables, and it
// is a member when both entries share a bit. Which width runs is chosen once
// from what the processor offers; tests can lower it to check every path.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace tessarin {

enum class VectorWidth : std::uint8_t { Bytes1 = 0, Bytes16 = 1, Bytes32 = 2 };

// The width the scans use: the widest the processor has, unless lowered.
// One load, as short values ask for it once each.
extern std::atomic<VectorWidth> g_vector_width;
inline VectorWidth vector_width() noexcept { return g_vector_width.load(std::memory_order_relaxed); }
// Caps the width (development builds' tests force each path through it).
void limit_vector_width(VectorWidth width) noexcept;

class AsciiByteSet {
public:
    // `byte` must be below 0x80: bytes of multi-byte characters never match.
    void add(unsigned char byte) noexcept;
    bool contains(unsigned char byte) const noexcept { return member_[byte]; }
    bool empty() const noexcept { return empty_; }

    // Position of the first member at or after `from`, or text.size(). Every
    // byte looked at (up to the end of its block, never past the text) is
    // OR-ed into `seen`, so a full scan also tells whether the text is ASCII.
    std::size_t find(std::string_view text, std::size_t from, std::uint8_t& seen) const noexcept;
    std::size_t find(std::string_view text, std::size_t from) const noexcept {
        std::uint8_t seen = 0;
        return find(text, from, seen);
    }

    // When none of the `size` (at most 16) bytes at `from` is a member,
    // copies them to `to` and returns true. Reads and writes 16 bytes
    // whatever `size` is, so both sides need that much room; false without
    // a copy below the 16-byte width, where callers copy byte by byte.
    bool copy_if_clean16(char* to, const char* from, std::size_t size) const noexcept {
        return vector_width() != VectorWidth::Bytes1 && copy_if_clean16_vector(to, from, size);
    }

    // copy_if_clean16 once a vector width is known to be there.
    bool copy_if_clean16_vector(char* to, const char* from, std::size_t size) const noexcept;

    // Calls hit(position) for every member, in order; true when every byte
    // of the text is below 0x80.
    template <class Hit>
    bool scan(std::string_view text, Hit&& hit) const {
        std::uint8_t seen = 0;
        for (std::size_t at = find(text, 0, seen); at < text.size(); at = find(text, at + 1, seen)) hit(at);
        return seen < 0x80;
    }

private:
    alignas(32) std::array<std::uint8_t, 32> low_{};   // by low four bits, both lanes alike
    alignas(32) std::array<std::uint8_t, 32> high_{};  // by high four bits
    std::array<bool, 256> member_{};
    bool empty_ = true;
};

}  // namespace tessarin
