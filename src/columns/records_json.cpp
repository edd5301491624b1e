#include "columns/records_json.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <utility>

#include "core/key_order.hpp"

namespace tessarin::columns {

namespace {

// How orjson writes each byte inside a string: size 0 for the bytes it
// copies as they are (everything but ", \ and the controls).
struct Escape {
    char text[6];
    std::uint8_t size;
};

constexpr std::array<Escape, 256> make_escapes() {
    std::array<Escape, 256> table{};
    constexpr char kHex[] = "0123456789abcdef";
    for (int c = 0; c < 0x20; ++c) table[c] = Escape{{'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 15]}, 6};
    table['\b'] = Escape{{'\\', 'b'}, 2};
    table['\f'] = Escape{{'\\', 'f'}, 2};
    table['\n'] = Escape{{'\\', 'n'}, 2};
    table['\r'] = Escape{{'\\', 'r'}, 2};
    table['\t'] = Escape{{'\\', 't'}, 2};
    table['"'] = Escape{{'\\', '"'}, 2};
    table['\\'] = Escape{{'\\', '\\'}, 2};
    return table;
}

constexpr std::array<Escape, 256> kEscapes = make_escapes();

// The room always holds six bytes more, so the whole sequence is copied at once.
char* write_escape(char* out, unsigned char c) noexcept {
    const Escape& escape = kEscapes[c];
    std::memcpy(out, escape.text, sizeof escape.text);
    return out + escape.size;
}

#if defined(__SSE2__)
// Where one of the sixteen bytes at `in` needs an escape: bit i for byte i.
inline unsigned special_mask(__m128i bytes) noexcept {
    const __m128i control = _mm_cmpeq_epi8(_mm_min_epu8(bytes, _mm_set1_epi8(0x1f)), bytes);
    const __m128i quote = _mm_cmpeq_epi8(bytes, _mm_set1_epi8('"'));
    const __m128i backslash = _mm_cmpeq_epi8(bytes, _mm_set1_epi8('\\'));
    return static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(control, _mm_or_si128(quote, backslash))));
}
#endif

// Most values are a few bytes (half of them none): those are written here,
// without a call. A value inside [readable, readable_end) with sixteen bytes
// readable from its start is checked and copied in one block when clean.
[[gnu::always_inline]] inline char* write_value(char* out, std::string_view text, const char* readable,
                                                const char* readable_end) noexcept {
    if (text.size() >= 16) {
        // Whole blocks first; the tail then goes as a short value does.
        const std::size_t blocks = text.size() & ~std::size_t{15};
        out = write_json_string_body(out, text.substr(0, blocks));
        text.remove_prefix(blocks);
    }
    if (text.empty()) return out;
#if defined(__SSE2__)
    if (text.data() >= readable && readable_end - text.data() >= 16) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text.data()));
        if ((special_mask(bytes) & ((1u << text.size()) - 1)) == 0) {
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out), bytes);
            return out + text.size();
        }
    }
#else
    (void)readable;
    (void)readable_end;
#endif
    for (const char byte : text) {
        const auto c = static_cast<unsigned char>(byte);
        if (kEscapes[c].size)
            out = write_escape(out, c);
        else
            *out++ = byte;
    }
    return out;
}

// Copies `size` bytes and up to fifteen more: both sides have that room.
void copy_in_blocks(char* to, const char* from, std::size_t size) noexcept {
#if defined(__SSE2__)
    for (std::size_t i = 0; i < size; i += 16)
        _mm_storeu_si128(reinterpret_cast<__m128i*>(to + i),
                         _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + i)));
#else
    std::memcpy(to, from, size);
#endif
}

}  // namespace

// `"KEY":"`, with the key's rank.
struct KeyHead {
    std::uint64_t rank;
    char text[16];
    std::uint8_t size;  // of the key alone
};

namespace {

// Four bits a place for a number below 1000 and the byte after it: its
// digits as 2..11, then `after`, zero beyond. Text order of the numbers'
// digits followed by that byte is the order of these values.
constexpr std::uint64_t number_places(std::size_t n, std::uint64_t after) noexcept {
    if (n < 10) return (n + 2) << 12 | after << 8;
    if (n < 100) return (n / 10 + 2) << 12 | (n % 10 + 2) << 8 | after << 4;
    return (n / 100 + 2) << 12 | (n / 10 % 10 + 2) << 8 | (n % 10 + 2) << 4 | after;
}

// A number in the order of the key's text, for keys whose numbers are all
// below 1000: field, repetition and component places, one after another.
// An end or "." sorts below the digits (1), "[" and "]" above them (12).
std::uint64_t key_rank(const EntryKey& key) noexcept {
    if (key.field >= 1000 || key.repetition >= 1000 || key.component >= 1000) return ~std::uint64_t{0};
    constexpr std::uint64_t kEnd = 1, kBracket = 12;
    using Form = EntryKey::Form;
    switch (key.form) {
        case Form::Field: return number_places(key.field, kEnd) << 32;
        case Form::Component: return number_places(key.field, kEnd) << 32 | number_places(key.component, kEnd);
        case Form::Repetition:
            return number_places(key.field, kBracket) << 32 | number_places(key.repetition, kBracket) << 16;
        case Form::RepetitionComponent:
            return number_places(key.field, kBracket) << 32 | number_places(key.repetition, kBracket) << 16 |
                   number_places(key.component, kEnd);
    }
    return ~std::uint64_t{0};
}

struct KeyHeads {
    KeyHead heads[common_keys::kCount];
    KeyHeads() noexcept {
        for (std::size_t i = 0; i < common_keys::kCount; ++i) {
            const EntryKey key = common_keys::key_at(i);
            char text[EntryKey::kMaxText];
            KeyHead& head = heads[i];
            head.size = static_cast<std::uint8_t>(key.write(text));
            head.rank = key_rank(key);
            head.text[0] = '"';
            std::memcpy(head.text + 1, text, head.size);
            std::memcpy(head.text + 1 + head.size, "\":\"\",", 5);  // an empty value's whole entry
        }
    }
};

// Made once, without allocating: every writer and thread reads it.
const KeyHead* key_heads() noexcept {
    static const KeyHeads table;
    return table.heads;
}

}  // namespace

char* ByteBuffer::grow(std::size_t more) {
    const std::size_t capacity = std::max({capacity_ * 2, size_ + more, std::size_t{4096}});
    auto grown = std::make_unique_for_overwrite<char[]>(capacity);
    if (size_) std::memcpy(grown.get(), data_.get(), size_);
    data_ = std::move(grown);
    capacity_ = capacity;
    return data_.get() + size_;
}

char* write_json_string_body(char* out, std::string_view text) noexcept {
    const char* in = text.data();
    const char* const end = in + text.size();
#if defined(__SSE2__)
    // Sixteen bytes are stored as they are, then the position moves past
    // the clean ones; the first byte to escape is written over.
    while (end - in >= 16) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), bytes);
        const unsigned mask = special_mask(bytes);
        if (mask == 0) {
            in += 16;
            out += 16;
            continue;
        }
        const auto clean = static_cast<std::size_t>(__builtin_ctz(mask));
        in += clean;
        out = write_escape(out + clean, static_cast<unsigned char>(*in++));
    }
#endif
    for (; in < end; ++in) {
        const auto c = static_cast<unsigned char>(*in);
        if (kEscapes[c].size)
            out = write_escape(out, c);
        else
            *out++ = static_cast<char>(c);
    }
    return out;
}

RecordsJsonWriter::RecordsJsonWriter(Hl7JsonOptions options, bool hl7_syntax)
    : options_(options),
      validator_{options.strict_validation, false, hl7_syntax},
      escape_handler_(create_default_escape_handler()),
      scanner_(options.escaping_enabled ? &escape_handler_ : nullptr),
      heads_(key_heads()) {}

std::optional<std::string> RecordsJsonWriter::append_records(std::string_view text, ByteBuffer& out) {
    if (options_.validation_enabled) {
        // As Hl7Json: line ends normalised, then the validation it starts with.
        if (Status status = validate_text(text, validator_); !status) return status.error().display();
    }
    out_ = &out;
    text_ = text.data();
    text_end_ = text.data() + text.size();
    first_segment_ = true;
    out.append("[");
    for_each_normalised_line(text, [&](std::string_view line) {
        begin_segment(line);
        scanner_.emit(line, *this);
        end_segment();
    });
    out.append("]");
    out_ = nullptr;
    return std::nullopt;
}

void RecordsJsonWriter::begin_segment(std::string_view) {
    out_->append(first_segment_ ? "{" : ",{");
    first_segment_ = false;
    ranked_ = true;
    last_rank_ = 0;
    entries_.clear();
    pieces_.clear();
    run_starts_.clear();
    name_ = {};
}

void RecordsJsonWriter::name(std::string_view name) { name_ = name; }

bool RecordsJsonWriter::less(const Piece& a, const Piece& b) const noexcept {
    const char* text = entries_.data();
    // A key holds no quote: its text ends at the first one.
    const auto key = [text](const Piece& piece) {
        const std::string_view entry(text + piece.start + 1, piece.size - 1);
        return entry.substr(0, entry.find('"'));
    };
    return key(a) < key(b);
}

// Inlined into the scanner's walk, its one caller: a call per entry costs a
// tenth of the walk.
[[gnu::always_inline]] inline void RecordsJsonWriter::entry(const EntryKey& key, std::string_view value) {
    char* const start = entries_.room(EntryKey::kMaxText + 8 + json_string_room(value.size()));
    char* at = start;
    Piece piece;
    bool ended = false;
    if (const std::size_t index = common_keys::index_of(key); index != common_keys::kNone) {
        const KeyHead& head = heads_[index];
        std::memcpy(at, head.text, sizeof head.text);
        piece.rank = head.rank;
        ended = value.empty();  // the head holds the whole entry then
        at += head.size + (ended ? 6 : 4);
    } else {
        *at++ = '"';
        const std::size_t key_size = key.write(at);
        piece.rank = key_rank(key);
        if (piece.rank == kNoRank) ranked_ = false;  // common keys all have a rank
        at += key_size;
        std::memcpy(at, "\":\"", 3);
        at += 3;
    }
    if (!ended) {
        at = write_value(at, value, text_, text_end_);
        // Every entry ends with a comma: "segment_name" always follows.
        *at++ = '"';
        *at++ = ',';
    }
    piece.start = entries_.size();
    piece.size = static_cast<std::size_t>(at - start);
    entries_.set_end(at);
    // Field order is key order below field 10; a rank below the last one
    // starts a new run.
    if (piece.rank < last_rank_) run_starts_.push_back(pieces_.size());
    last_rank_ = piece.rank;
    pieces_.push_back(piece);
}

void RecordsJsonWriter::write_in_key_order() {
    if (run_starts_.empty() && ranked_) {
        out_->append({entries_.data(), entries_.size()});
        return;
    }
    // Pieces are copied sixteen bytes a step, past their end into room
    // that the next piece or the segment's name overwrites.
    entries_.room(16);
    char* const at = out_->room(entries_.size() + 16);
    merge_runs_into(at);
    out_->set_end(at + entries_.size());
}

// Writes the pieces at `at` in key order. The pieces of a run lie one after
// another in entries_, so each stretch that the merge takes from one run is
// copied at once; the run with the lowest next rank gives pieces until its
// next one passes the lowest of the others.
void RecordsJsonWriter::merge_runs_into(char* at) {
    const char* from = entries_.data();
    const auto copy_stretch = [&](const Piece* first, const Piece* last) {
        const std::size_t size = last[-1].start + last[-1].size - first->start;
        copy_in_blocks(at, from + first->start, size);
        at += size;
    };
    constexpr std::size_t kMaxRuns = 32;
    const std::size_t count = run_starts_.size() + 1;
    if (!ranked_ || count > kMaxRuns) {
        // Keys with numbers of four digits, or many runs (n log runs then).
        const auto copy = [&](const Piece& piece) {
            copy_in_blocks(at, from + piece.start, piece.size);
            at += piece.size;
        };
        if (ranked_)
            visit_in_order(
                pieces_, run_starts_[0], merged_, [](const Piece& a, const Piece& b) { return a.rank < b.rank; }, copy);
        else
            visit_in_order(pieces_, 0, merged_, [this](const Piece& a, const Piece& b) { return less(a, b); }, copy);
        return;
    }
    if (count == 2) {
        // Fields 1-9 and 10 on, most segments: the runs take turns.
        const Piece *a = pieces_.begin(), *a_end = a + run_starts_[0], *b = a_end, *b_end = pieces_.end();
        if (b->rank < a->rank) std::swap(a, b), std::swap(a_end, b_end);  // "10" before "1[0]"
        // `a` is the run with the lowest next piece.
        for (;;) {
            const Piece* last = a + 1;
            while (last != a_end && last->rank < b->rank) ++last;
            copy_stretch(a, last);
            if (last == a_end) return copy_stretch(b, b_end);
            a = b, b = last;
            std::swap(a_end, b_end);
        }
    }
    const Piece *next[kMaxRuns], *end[kMaxRuns];
    std::size_t runs = count;
    for (std::size_t r = 0; r < runs; ++r) {
        next[r] = pieces_.begin() + (r == 0 ? 0 : run_starts_[r - 1]);
        end[r] = r + 1 < runs ? pieces_.begin() + run_starts_[r] : pieces_.begin() + pieces_.size();
    }
    while (runs > 1) {
        std::size_t best = 0;
        std::uint64_t lowest = next[0]->rank, second = kNoRank;
        for (std::size_t r = 1; r < runs; ++r) {
            const std::uint64_t rank = next[r]->rank;
            if (rank < lowest) {
                second = lowest;
                lowest = rank;
                best = r;
            } else if (rank < second) {
                second = rank;
            }
        }
        const Piece* last = next[best] + 1;
        while (last != end[best] && last->rank < second) ++last;
        copy_stretch(next[best], last);
        next[best] = last;
        if (last == end[best]) {
            --runs;
            next[best] = next[runs];
            end[best] = end[runs];
        }
    }
    copy_stretch(next[0], end[0]);
}

bool RecordsJsonWriter::end_segment() {
    write_in_key_order();
    constexpr std::string_view kNameKey = "\"segment_name\":\"";
    char* at = out_->room(kNameKey.size() + 2 + json_string_room(name_.size()));
    std::memcpy(at, kNameKey.data(), kNameKey.size());
    at = write_value(at + kNameKey.size(), name_, text_, text_end_);
    *at++ = '"';
    *at++ = '}';
    out_->set_end(at);
    ++segments_;
    return true;
}

}  // namespace tessarin::columns
