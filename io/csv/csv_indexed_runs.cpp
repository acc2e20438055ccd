// The tokenizer's runs of common records left in the structural index, for the conversions to
// take their fields from the field ends.
#include <algorithm>

#include "csv_tokenizer.h"

namespace kelvra {

namespace {

// The field ends of a run left in the index: each column's conversion reads them again, so they
// and the run's text stay in the first-level cache (8 KB of ends, about as much text), but a run
// of wide records still holds enough rows to spread each column's run overhead.
constexpr std::size_t kIndexedEnds = 1024;
constexpr std::size_t kIndexedRecords = 32;

// Whether a field end in [from, to) ends a line, from the blocks' masks of line ends (the block
// at `origin` first); the blocks up to `to` are scanned.
[[gnu::always_inline]] inline bool line_end_within(const std::uint64_t* masks, std::size_t origin,
                                                   std::size_t from, std::size_t to) noexcept {
    from -= origin;
    to -= origin;
    std::size_t block = from / kCsvBlock;
    const std::size_t last = to / kCsvBlock;
    std::uint64_t bits = masks[block] & (~std::uint64_t{0} << (from % kCsvBlock));
    for (; block != last; bits = masks[++block]) {
        if (bits != 0) return true;
    }
    return (bits & ((std::uint64_t{1} << (to % kCsvBlock)) - 1)) != 0;
}

}  // namespace

CsvColumnFields CsvTokenizer::column(std::size_t c) const {
    CsvColumnFields out;
    if (!indexed_run_) {
        out.views = grid_.data() + c * run_capacity_;
        return out;
    }
    const std::size_t* const ends = ends_.get() + run_first_;
    out.ends = {buffer_.get(), c == 0 ? starts_.data() : ends + c - 1, c == 0 ? 1 : width_,
                ends + c, width_};
    return out;
}

// Common records, as take_plain_records finds them, left in the index: only their ends are
// checked, and each record's start noted.
void CsvTokenizer::take_indexed_records(std::size_t max_records, std::size_t& records) {
    const std::size_t width = width_;
    const char* const base = buffer_.get();
    max_records = std::min(max_records, std::max(kIndexedEnds / width, kIndexedRecords));
    if (starts_.size() < max_records) starts_.resize(max_records);
    escaped_fields_.clear();
    run_first_ = cursor_;
    taking_indexed_ = true;
    const std::size_t first = records;
    // A CR at the end of the bytes read may be followed by an LF not read yet.
    const std::size_t cr_unsure = eof_ ? end_ : end_ - 1;
    bool more = true;
    while (more && records < max_records) {
        if (index_.count - cursor_ < width && (!scan_more() || index_.count - cursor_ < width)) {
            break;
        }
        // The records whose ends are all in the index so far, the position, the cursor and the
        // line count kept in registers.
        const std::size_t* const ends = ends_.get();
        const std::size_t found = index_.count;
        const std::uint64_t* const masks = line_masks_.data();
        const std::size_t origin = mask_origin_;
        const std::size_t* const quoted = quoted_breaks_.data();
        const std::size_t quoted_count = quoted_breaks_.size();
        std::size_t* const starts = starts_.data();
        std::size_t pos = pos_, cursor = cursor_, line = line_, breaks = break_cursor_;
        std::size_t record_line = record_line_;
        while (records < max_records && found - cursor >= width) {
            const std::size_t at = ends[cursor + width - 1];
            // The record's first width - 1 ends are commas when no line ends before its last.
            // An empty line, or a CR at the end of the bytes read, goes the long way.
            if ((width > 1 && line_end_within(masks, origin, pos, at)) || base[at] == ',' ||
                at == pos || (base[at] == '\r' && at == cr_unsure)) {
                more = false;
                break;
            }
            starts[records++] = pos - 1;
            cursor += width;
            const std::size_t next = at + 1 + (base[at] == '\r' && base[at + 1] == '\n');
            record_line = line++;
            for (; breaks < quoted_count && quoted[breaks] < next; ++breaks) ++line;
            pos = next;
        }
        pos_ = pos;
        cursor_ = cursor;
        line_ = line;
        break_cursor_ = breaks;
        record_line_ = record_line;
    }
    taking_indexed_ = false;
    if (records != first) {
        empty_line_ = false;
        record_fields_ = width;
    }
}

}  // namespace kelvra
