#include "core/byte_scan.hpp"

#include <atomic>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#include <immintrin.h>
#define TESSARIN_X86 1
#endif

namespace tessarin {

namespace {

// cpuid itself, not __builtin_cpu_supports: the runtime of the wheels'
// toolchain (zig's compiler-rt) answers no to every feature, and linking it
// in replaces libc's memcmp and memcpy with slower ones.
VectorWidth widest_supported() noexcept {
#if defined(TESSARIN_X86)
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return VectorWidth::Bytes1;
    const bool ssse3 = (ecx & bit_SSSE3) != 0;
    // AVX2 also needs the system to save the ymm registers (XCR0 bits 1 and 2).
    if ((ecx & bit_OSXSAVE) && (ecx & bit_AVX)) {
        unsigned xcr0 = 0, xcr0_high = 0;
        __asm__("xgetbv" : "=a"(xcr0), "=d"(xcr0_high) : "c"(0));
        if ((xcr0 & 6) == 6 && __get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) && (ebx & bit_AVX2))
            return VectorWidth::Bytes32;
    }
    if (ssse3) return VectorWidth::Bytes16;
#endif
    return VectorWidth::Bytes1;
}

const VectorWidth kSupported = widest_supported();

std::size_t find_bytes1(const bool* member, const char* data, std::size_t from, std::size_t size,
                        std::uint8_t& seen) noexcept {
    std::uint8_t high = 0;
    std::size_t i = from;
    for (; i < size; ++i) {
        const auto byte = static_cast<unsigned char>(data[i]);
        high |= byte;
        if (member[byte]) break;
    }
    seen |= high;
    return i;
}

#if defined(TESSARIN_X86)
// Bit k of the result is set when byte k of the block is a member.
__attribute__((target("ssse3"))) inline unsigned members16(__m128i bytes, __m128i low, __m128i high) noexcept {
    const __m128i nibble = _mm_set1_epi8(0x0F);
    // pshufb gives 0 for an index with its top bit set, so bytes >= 0x80 never match.
    const __m128i by_low = _mm_shuffle_epi8(low, bytes);
    const __m128i by_high = _mm_shuffle_epi8(high, _mm_and_si128(_mm_srli_epi16(bytes, 4), nibble));
    const __m128i none = _mm_cmpeq_epi8(_mm_and_si128(by_low, by_high), _mm_setzero_si128());
    return ~static_cast<unsigned>(_mm_movemask_epi8(none)) & 0xFFFFu;
}

__attribute__((target("ssse3"))) std::size_t find_bytes16(const std::uint8_t* low_table, const std::uint8_t* high_table,
                                                          const bool* member, const char* data, std::size_t from,
                                                          std::size_t size, std::uint8_t& seen) noexcept {
    const __m128i low = _mm_load_si128(reinterpret_cast<const __m128i*>(low_table));
    const __m128i high = _mm_load_si128(reinterpret_cast<const __m128i*>(high_table));
    __m128i any = _mm_setzero_si128();
    std::size_t i = from;
    for (; i + 16 <= size; i += 16) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i));
        any = _mm_or_si128(any, bytes);
        if (const unsigned mask = members16(bytes, low, high)) {
            if (_mm_movemask_epi8(any)) seen |= 0x80;
            return i + static_cast<std::size_t>(__builtin_ctz(mask));
        }
    }
    if (_mm_movemask_epi8(any)) seen |= 0x80;
    return find_bytes1(member, data, i, size, seen);
}

__attribute__((target("ssse3"))) bool copy_if_clean16_ssse3(const std::uint8_t* low_table,
                                                            const std::uint8_t* high_table, char* to, const char* from,
                                                            std::size_t size) noexcept {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from));
    const unsigned wanted = (1u << size) - 1;  // bytes past the text are ignored
    const __m128i low = _mm_load_si128(reinterpret_cast<const __m128i*>(low_table));
    const __m128i high = _mm_load_si128(reinterpret_cast<const __m128i*>(high_table));
    if (members16(bytes, low, high) & wanted) return false;
    _mm_storeu_si128(reinterpret_cast<__m128i*>(to), bytes);
    return true;
}

__attribute__((target("avx2"))) std::size_t find_bytes32(const std::uint8_t* low_table, const std::uint8_t* high_table,
                                                         const bool* member, const char* data, std::size_t from,
                                                         std::size_t size, std::uint8_t& seen) noexcept {
    const __m256i low = _mm256_load_si256(reinterpret_cast<const __m256i*>(low_table));
    const __m256i high = _mm256_load_si256(reinterpret_cast<const __m256i*>(high_table));
    const __m256i nibble = _mm256_set1_epi8(0x0F);
    __m256i any = _mm256_setzero_si256();
    std::size_t i = from;
    for (; i + 32 <= size; i += 32) {
        const __m256i bytes = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + i));
        any = _mm256_or_si256(any, bytes);
        const __m256i by_low = _mm256_shuffle_epi8(low, bytes);
        const __m256i by_high = _mm256_shuffle_epi8(high, _mm256_and_si256(_mm256_srli_epi16(bytes, 4), nibble));
        const __m256i none = _mm256_cmpeq_epi8(_mm256_and_si256(by_low, by_high), _mm256_setzero_si256());
        if (const unsigned mask = ~static_cast<unsigned>(_mm256_movemask_epi8(none))) {
            if (_mm256_movemask_epi8(any)) seen |= 0x80;
            _mm256_zeroupper();
            return i + static_cast<std::size_t>(__builtin_ctz(mask));
        }
    }
    if (_mm256_movemask_epi8(any)) seen |= 0x80;
    // Clean upper halves before any legacy SSE code runs (the interpreter's,
    // or the tail below): otherwise every such instruction after it pays.
    _mm256_zeroupper();
    return find_bytes1(member, data, i, size, seen);
}

#endif

}  // namespace

// Zero, so bytewise, until this initialiser runs.
std::atomic<VectorWidth> g_vector_width{kSupported};

void limit_vector_width(VectorWidth width) noexcept {
    g_vector_width.store(width < kSupported ? width : kSupported, std::memory_order_relaxed);
}

void AsciiByteSet::add(unsigned char byte) noexcept {
    if (byte >= 0x80) return;
    member_[byte] = true;
    empty_ = false;
    // ASCII has eight values of the high four bits: one table bit each, so
    // the lookup is exact for any set.
    const auto bit = static_cast<std::uint8_t>(1u << (byte >> 4));
    for (std::size_t lane : {std::size_t{0}, std::size_t{16}}) {
        low_[lane + (byte & 0x0F)] |= bit;
        high_[lane + (byte >> 4)] = bit;
    }
}

#if defined(TESSARIN_X86)
__attribute__((target("ssse3")))
#endif
bool AsciiByteSet::copy_if_clean16_vector(char* to, const char* from, std::size_t size) const noexcept {
#if defined(TESSARIN_X86)
    return copy_if_clean16_ssse3(low_.data(), high_.data(), to, from, size);
#else
    (void)to, (void)from, (void)size;
    return false;
#endif
}

std::size_t AsciiByteSet::find(std::string_view text, std::size_t from, std::uint8_t& seen) const noexcept {
    const char* data = text.data();
    const std::size_t size = text.size();
#if defined(TESSARIN_X86)
    switch (vector_width()) {
        case VectorWidth::Bytes32:
            return find_bytes32(low_.data(), high_.data(), member_.data(), data, from, size, seen);
        case VectorWidth::Bytes16:
            return find_bytes16(low_.data(), high_.data(), member_.data(), data, from, size, seen);
        case VectorWidth::Bytes1: break;
    }
#endif
    return find_bytes1(member_.data(), data, from, size, seen);
}

}  // namespace tessarin
