#include "record.hpp"

#include <algorithm>

namespace tessarin {

void sort_record(SegmentRecord& record) {
    // stable_sort keeps insertion order among equal keys, so the last of a
    // run of duplicates is the latest one.
    std::stable_sort(record.begin(), record.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    auto out = record.begin();
    for (auto it = record.begin(); it != record.end();) {
        auto next = it + 1;
        while (next != record.end() && next->first == it->first) ++next;
        if (out != next - 1) *out = std::move(*(next - 1));
        ++out;
        it = next;
    }
    record.erase(out, record.end());
}

}  // namespace tessarin
