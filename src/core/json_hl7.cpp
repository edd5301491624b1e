#include "core/json_hl7.hpp"

#include <algorithm>
#include <cstring>

#include "core/key_order.hpp"

namespace tessarin {

namespace {

bool breaks_line(std::string_view name) noexcept {
    // A plain loop: names are a few bytes, shorter than a library search's set-up.
    return std::any_of(name.begin(), name.end(), [](char c) { return c == '|' || c == '\r' || c == '\n'; });
}

}  // namespace

Status check_segment_name(std::string_view name, bool escape) {
    if (escape && breaks_line(name))
        return Hl7Error::encoding("segment name '" + std::string(name) + "' contains a separator or line break");
    return Ok{};
}

Status Hl7Assembler::out_of_range(std::string_view key) {
    const std::optional<Place> place = place_of_key(key);
    for (std::uint64_t index : {place->field, place->repetition, place->component}) {
        if (index > kMaxIndex)
            return Hl7Error::encoding("index " + std::to_string(index) + " in key '" + std::string(key) +
                                      "' exceeds the limit of " + std::to_string(kMaxIndex));
    }
    return Ok{};
}

namespace {

char* fill(char* out, char separator, std::size_t count) {
    if (count == 1) {
        *out++ = separator;
    } else if (count > 1) {
        std::memset(out, separator, count);
        out += count;
    }
    return out;
}

}  // namespace

char* Hl7Assembler::write_value(const EscapeWriter* writer, bool padded, char* out, std::string_view value) {
    if (writer) return padded ? writer->write_padded(out, value) : writer->write(out, value);
    // A stored value is one block, within the store's padding and the room;
    // an empty store has no bytes to read.
    if (padded && value.size() - 1 < 16)
        std::memcpy(out, value.data(), 16);
    else
        copy_bytes(out, value.data(), value.size());
    return out + value.size();
}

bool Hl7Assembler::write_stored_line(TextBuffer& out, const RecordStore::Record& record) {
    using Kind = KeyPlace::Kind;
    const std::span<const RecordStore::Entry> entries = record.entries();
    const RecordStore& store = record.store();
    // Keys that name no place sort after the digits, "segment_name" among them.
    std::size_t values_end = entries.size();
    std::optional<std::string_view> name;
    for (; values_end > 0 && entries[values_end - 1].place.kind != Kind::Value; --values_end) {
        const RecordStore::Entry& entry = entries[values_end - 1];
        if (entry.place.kind == Kind::OutOfRange) return false;
        if (entry.place.kind == Kind::SegmentName) name = store.item(entry).second;
    }
    if (name && writer_ && breaks_line(*name)) return false;

    const std::size_t start = out.view().size();
    if (name) out.append(*name);
    char* at = out.room_for(RecordStore::kPadding);
    char* limit = out.room_end();
    const EscapeWriter* const writer = writer_;
    const std::size_t expansion = expansion_;
    std::uint32_t field = name ? 0 : 1, repetition = 0, component = 1;
    // As write_slots, for one slot whose successor in place order is known.
    // Its own copy: the two sharing one helper cost 5-7% more instructions
    // per message, the cursor no longer staying in registers.
    const auto write = [&](const Slot& slot) {
        const std::size_t need = std::size_t{slot.field()} - field + slot.repetition() + slot.component() +
                                 slot.size * expansion + RecordStore::kPadding;
        if (static_cast<std::size_t>(limit - at) < need) [[unlikely]] {
            out.end_at(at);
            at = out.room_for(need);
            limit = out.room_end();
        }
        if (slot.field() != field) {
            at = fill(at, '|', slot.field() - field);
            field = slot.field();
            repetition = 0;
            component = 1;
        }
        if (slot.repetition() != repetition) {
            at = fill(at, '~', slot.repetition() - repetition);
            repetition = slot.repetition();
            component = 1;
        }
        const std::uint32_t target = std::max<std::uint32_t>(slot.component(), 1);
        at = fill(at, '^', target - component);
        component = target;
        at = write_value(writer, true, at, slot.value());
    };
    // Group 0 is written in the one pass over the entries; the others wait
    // for it as entry pointers, which is cheaper than a second pass.
    Slot pending;
    bool has_pending = false;
    std::uint64_t last_order = 0;
    const auto take = [&](const RecordStore::Entry& entry) {
        const std::uint64_t order = place_order(entry.place);
        if (order < last_order) return false;
        last_order = order;
        if (entry.place.field == 0) return true;
        const Slot slot(order, store.item(entry).second);
        // The later of two keys for one place wins, and the whole value
        // gives way to numbered components of the same repetition.
        if (has_pending && !((slot.order >> 32) == (pending.order >> 32) &&
                             (slot.component() == pending.component() || pending.component() == 0)))
            write(pending);
        pending = slot;
        has_pending = true;
        return true;
    };
    const auto abandon = [&] {
        out.end_at(out.view().data() + start);
        return false;
    };
    for (auto& group : waiting_) group.clear();
    for (std::size_t i = 0; i < values_end; ++i) {
        const RecordStore::Entry& entry = entries[i];
        const KeyPlace::Kind kind = entry.place.kind;
        if (kind != Kind::Value) [[unlikely]] {
            if (kind == Kind::Skipped) continue;
            return abandon();
        }
        if (const std::size_t group = digit_group(entry.place.field); group != 0)
            waiting_[group - 1].push_back(&entry);
        else if (!take(entry))
            return abandon();
    }
    for (const auto& group : waiting_)
        for (const RecordStore::Entry* entry : group)
            if (!take(*entry)) return abandon();
    if (has_pending) write(pending);
    out.end_at(at);
    return true;
}

void Hl7Assembler::write_fields(TextBuffer& out, bool has_name) {
    // Field 0 is stored but never written; a line of nothing else ends here.
    if (max_field_ == 0) return;

    // Room for the worst case, so the writes below are plain stores: the
    // separators of each step between places (from field to field they add
    // up to the last field), and every value escaped.
    char* at = out.room_for(room_ + max_field_ + RecordStore::kPadding);  // block copies may write past a value

    Cursor cursor{has_name ? 0u : 1u, 0, 1};
    if (groups_in_order_) {
        for (const auto& group : groups_) at = write_slots(group.begin(), group.size(), cursor, at);
    } else {
        // A field with ten or more components or repetitions, or fields from
        // 1000 on: the groups are sorted together. The merge is stable, and
        // equal places share a group, so they stay in key order.
        slots_.clear();
        for (const auto& group : groups_) slots_.insert(slots_.end(), group.begin(), group.end());
        merge_runs(slots_, sorted_, [](const Slot& a, const Slot& b) { return a.order < b.order; });
        at = write_slots(slots_.data(), slots_.size(), cursor, at);
    }
    out.end_at(at);
}

char* Hl7Assembler::write_slots(const Slot* slots, std::size_t count, Cursor& cursor, char* at) const {
    // A cursor walks the places in order and writes the separators that lead
    // from one written place to the next; gaps come out as empty parts.
    // Component 0 and component 1 start at the same spot of a repetition.
    // Every byte written could alias a member, so what the loop reads is
    // held in locals. Slots that follow each other in place order but lie in
    // different groups have different fields.
    const EscapeWriter* const writer = writer_;
    const bool padded = padded_;
    std::uint32_t field = cursor.field, repetition = cursor.repetition, component = cursor.component;
    for (std::size_t i = 0; i < count; ++i) {
        const Slot slot = slots[i];
        if (slot.field() == 0) continue;
        const bool has_next_in_repetition = i + 1 < count && (slots[i + 1].order >> 32) == (slot.order >> 32);
        // The later of two keys for one place wins, and the whole value gives
        // way to numbered components of the same repetition.
        if (has_next_in_repetition && (slots[i + 1].component() == slot.component() || slot.component() == 0)) continue;
        if (slot.field() != field) {
            at = fill(at, '|', slot.field() - field);
            field = slot.field();
            repetition = 0;
            component = 1;
        }
        if (slot.repetition() != repetition) {
            at = fill(at, '~', slot.repetition() - repetition);
            repetition = slot.repetition();
            component = 1;
        }
        const std::uint32_t target = std::max<std::uint32_t>(slot.component(), 1);
        at = fill(at, '^', target - component);
        component = target;
        at = write_value(writer, padded, at, slot.value());
    }
    cursor = {field, repetition, component};
    return at;
}

}  // namespace tessarin
