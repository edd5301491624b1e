// A segment record: the flat key/value form of one segment, as handed to and
// from Python. Entries are kept sorted by byte-wise key order, keys unique.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace tessarin {

using SegmentRecord = std::vector<std::pair<std::string, std::string>>;

// Sorts entries by key bytes; of several entries with one key the one added
// last survives, as a dict or JSON object keeps the later duplicate.
void sort_record(SegmentRecord& record);

}  // namespace tessarin
