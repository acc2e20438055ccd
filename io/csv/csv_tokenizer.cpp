#include "csv_tokenizer.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <stdexcept>

namespace kelvra {

namespace {

// Large enough that refills are rare, small enough that peak memory stays far below the table's.
constexpr std::size_t kReadBlock = std::size_t{1} << 21;
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
// Zero bytes after the data, so that a block starting before its end stays in the buffer.
constexpr std::size_t kPadding = kCsvBlock;

std::unique_ptr<char[]> allocate_buffer(std::size_t capacity) {
    return std::make_unique<char[]>(capacity + kPadding);
}

// The bytes scanned for field ends at a time.
constexpr std::size_t kScanBytes = 64 * kCsvBlock;

// The line breaks in [p, end): each LF, and each CR not followed by LF.
std::size_t count_line_breaks(const char* p, const char* end) noexcept {
    std::size_t breaks = 0;
    for (; p != end; ++p) breaks += *p == '\n' || (*p == '\r' && p[1] != '\n');
    return breaks;
}

}  // namespace

CsvTokenizer::CsvTokenizer(InputFile& file, CsvBlockScanner scanner)
    : file_(file), scanner_(scanner) {
    // A small file gets a buffer of its own size, not a whole block.
    capacity_ = std::clamp<std::size_t>(file.size_hint() + 1, 4096, kReadBlock);
    buffer_ = allocate_buffer(capacity_);
    refill();
    if (std::string_view(buffer_.get(), end_).starts_with(kByteOrderMark)) {
        pos_ = kByteOrderMark.size();
        restart_blocks();
    }
}

void CsvTokenizer::refill() {
    const std::size_t kept = end_ - pos_;
    if (kept > capacity_ / 2) {
        // A record as long as half the buffer: grow so that the next read still makes progress.
        auto bigger = allocate_buffer(capacity_ * 2);
        std::memcpy(bigger.get(), buffer_.get() + pos_, kept);
        buffer_ = std::move(bigger);
        capacity_ *= 2;
    } else if (kept != 0) {
        std::memmove(buffer_.get(), buffer_.get() + pos_, kept);
    }
    consumed_before_buffer_ += pos_;
    pos_ = 0;
    end_ = kept;
    while (end_ < capacity_) {
        const std::size_t got = file_.read(buffer_.get() + end_, capacity_ - end_);
        if (got == 0) {
            eof_ = true;
            break;
        }
        end_ += got;
    }
    std::memset(buffer_.get() + end_, 0, kPadding);
    restart_blocks();
}

// The blocks are scanned afresh from pos_, the start of a record.
void CsvTokenizer::restart_blocks() {
    next_block_ = pos_;
    carry_ = CsvBlockCarry{};
    index_.count = cursor_ = 0;
    index_.stop = CsvBlockIndex::kNoStop;
    quoted_breaks_.clear();
    break_cursor_ = 0;
}

bool CsvTokenizer::scan_more() {
    if (index_.stop != CsvBlockIndex::kNoStop || next_block_ >= end_) return false;
    // The field ends not taken yet move to the front.
    if (cursor_ != 0) {
        std::copy(ends_.get() + cursor_, ends_.get() + index_.count, ends_.get());
        index_.count -= cursor_;
        cursor_ = 0;
    }
    if (index_.count + kScanBytes + kCsvBlock > ends_capacity_) {
        // Every byte of a stretch may end a field.
        ends_capacity_ = 2 * (index_.count + kScanBytes + kCsvBlock);
        auto bigger = std::make_unique_for_overwrite<std::size_t[]>(ends_capacity_);
        std::copy(ends_.get(), ends_.get() + index_.count, bigger.get());
        ends_ = std::move(bigger);
    }
    index_.ends = ends_.get();
    index_.quoted_breaks = &quoted_breaks_;
    const std::size_t to = std::min(end_, next_block_ + kScanBytes);
    scanner_(buffer_.get(), next_block_, to, end_, carry_, index_);
    next_block_ = index_.stop != CsvBlockIndex::kNoStop ? end_ : next_block_ + kScanBytes;
    return true;
}

bool CsvTokenizer::next() {
    set_shape(kAnyWidth, 1);
    for (;;) {
        std::size_t records = 0;
        switch (scan(1, records)) {
            case Scan::kEnd:
                return false;
            case Scan::kNeedMore:
                refill();
                break;
            default:
                return true;
        }
    }
}

std::size_t CsvTokenizer::next_records(std::size_t width, std::size_t max_records) {
    set_shape(width, max_records);
    if (refill_due_) {
        refill_due_ = false;
        refill();
    }
    std::size_t records = 0;
    while (records < max_records) {
        const Scan found = scan(max_records, records);
        if (found == Scan::kEnd) break;
        if (found == Scan::kNeedMore) {
            // The records read so far point into the buffer, which a refill moves: the refill
            // waits for the next call.
            if (records != 0) {
                refill_due_ = true;
                break;
            }
            refill();
        }
    }
    return records;
}

void CsvTokenizer::set_shape(std::size_t width, std::size_t records) {
    any_width_ = width == kAnyWidth;
    width_ = any_width_ ? std::max<std::size_t>(width_, 1) : width;
    run_capacity_ = any_width_ ? 1 : records;
    if (grid_.size() < width_ * run_capacity_) grid_.resize(width_ * run_capacity_);
}

// Makes room for a record wider than any so far, when records keep their own widths.
void CsvTokenizer::widen() {
    width_ *= 2;
    grid_.resize(width_);
}

// A field that begins with a quote is quoted: the blocks guarantee its closing quote just before
// the field's end. An empty field's first byte is the one that ends it, never a quote.
[[gnu::always_inline]] inline void CsvTokenizer::set_field(std::string_view* slot,
                                                           std::size_t begin, std::size_t end) {
    const char* const text = buffer_.get() + begin;
    if (*text == '"') {
        const std::size_t size = end - begin - 2;
        if (std::memchr(text + 1, '"', size) != nullptr) {
            escaped_fields_.push_back(static_cast<std::size_t>(slot - grid_.data()));
        }
        *slot = std::string_view(text + 1, size);
    } else {
        *slot = std::string_view(text, end - begin);
    }
}

CsvTokenizer::Scan CsvTokenizer::scan(std::size_t max_records, std::size_t& records) {
    for (;;) {
        if (pos_ == end_) return eof_ ? Scan::kEnd : Scan::kNeedMore;
        if (!any_width_) {
            take_plain_records(max_records, records);
            if (records == max_records) return Scan::kRecord;
            if (pos_ == end_) continue;
        }
        switch (take_record(records)) {
            case Scan::kNeedMore:
                return Scan::kNeedMore;
            case Scan::kRecord:
                if (++records == max_records) return Scan::kRecord;
                break;
            default:
                break;
        }
    }
}

// Common records: width_ field ends in the index, all but the last a comma, the last a line
// end. The fields are set while the ends are checked; a record that fails the check is left to
// take_record. Returns when one fails or `records` reaches max_records.
void CsvTokenizer::take_plain_records(std::size_t max_records, std::size_t& records) {
    const std::size_t width = width_;
    const std::size_t stride = run_capacity_;
    const char* const base = buffer_.get();
    std::string_view* const grid = grid_.data();
    while (records < max_records) {
        if (index_.count - cursor_ < width && (!scan_more() || index_.count - cursor_ < width)) {
            return;
        }
        const std::size_t* const ends = ends_.get() + cursor_;
        escaped_fields_.clear();
        std::string_view* slot = grid + records;
        std::size_t begin = pos_;
        bool commas = true;
        for (std::size_t column = 0; column + 1 < width; ++column, slot += stride) {
            set_field(slot, begin, ends[column]);
            commas &= base[ends[column]] == ',';
            begin = ends[column] + 1;
        }
        const std::size_t at = ends[width - 1];
        set_field(slot, begin, at);
        // An empty line, or a CR at the end of the bytes read, goes the long way.
        if (!commas || base[at] == ',' || at == pos_ ||
            (base[at] == '\r' && at + 1 == end_ && !eof_)) {
            return;
        }
        cursor_ += width;
        pass_record(at + 1 + (base[at] == '\r' && base[at + 1] == '\n'), 1, width);
        empty_line_ = false;
        ++records;
    }
}

// Moves past the record just taken, which ends before `next` with `ending_breaks` line breaks:
// its line, the line count with the quoted line breaks in it, its quotes.
[[gnu::always_inline]] inline void CsvTokenizer::pass_record(std::size_t next,
                                                             std::size_t ending_breaks,
                                                             std::size_t fields) {
    record_line_ = line_;
    line_ += ending_breaks;
    for (; break_cursor_ < quoted_breaks_.size() && quoted_breaks_[break_cursor_] < next;
         ++break_cursor_) {
        ++line_;
    }
    pos_ = next;
    if (!escaped_fields_.empty()) unescape_quotes();
    record_fields_ = fields;
}

CsvTokenizer::Scan CsvTokenizer::take_record(std::size_t record) {
    const char* const base = buffer_.get();
    escaped_fields_.clear();
    const bool first_quoted = base[pos_] == '"';
    std::size_t begin = pos_;
    std::size_t column = 0;
    for (;;) {
        bool file_ends = false;
        while (cursor_ == index_.count && !file_ends) {
            if (scan_more()) continue;
            if (index_.stop != CsvBlockIndex::kNoStop) {
                fail(line_at(index_.stop), "unexpected text after a closing quote");
            }
            if (!eof_) return Scan::kNeedMore;
            // The last record ends with the file.
            if (carry_.inside != 0) fail(line_at(begin), "unterminated quoted field");
            file_ends = true;
        }
        const std::size_t at = file_ends ? end_ : ends_[cursor_++];
        if (column >= width_ && any_width_) widen();
        // Fields past the width are only counted.
        if (column < width_) set_field(grid_.data() + column * run_capacity_ + record, begin, at);
        ++column;
        if (file_ends) return finish_record(record, column, end_, 0, first_quoted);
        if (base[at] == ',') {
            begin = at + 1;
            continue;
        }
        std::size_t next = at + 1;
        if (base[at] == '\r') {
            if (next == end_) {
                if (!eof_) return Scan::kNeedMore;  // an LF may follow
            } else if (base[next] == '\n') {
                ++next;
            }
        }
        return finish_record(record, column, next, 1, first_quoted);
    }
}

CsvTokenizer::Scan CsvTokenizer::finish_record(std::size_t record, std::size_t fields,
                                               std::size_t next, std::size_t ending_breaks,
                                               bool first_quoted) {
    pass_record(next, ending_breaks, fields);
    empty_line_ = fields == 1 && grid_[record].empty() && !first_quoted;
    if (any_width_) return Scan::kRecord;
    if (empty_line_) return Scan::kDropped;
    if (fields > width_) {
        fail(record_line_, "expected " + std::to_string(width_) +
                               (width_ == 1 ? " field" : " fields") + ", found " +
                               std::to_string(fields));
    }
    // Short records end in missing cells, so later fields never shift columns.
    for (; fields < width_; ++fields) grid_[fields * run_capacity_ + record] = {};
    return Scan::kRecord;
}

std::size_t CsvTokenizer::line_at(std::size_t offset) const {
    return line_ + count_line_breaks(buffer_.get() + pos_, buffer_.get() + std::max(offset, pos_));
}

// Turns each "" pair inside a quoted field into one quote, in place: the record is complete,
// so its bytes are never scanned again.
void CsvTokenizer::unescape_quotes() {
    char* const base = buffer_.get();
    for (const std::size_t i : escaped_fields_) {
        char* const begin = base + (grid_[i].data() - base);
        const char* const end = begin + grid_[i].size();
        char* out = begin;
        const char* in = begin;
        // Each quote found is kept and the one after it, its pair, dropped.
        while (const void* found = std::memchr(in, '"', static_cast<std::size_t>(end - in))) {
            const auto kept = static_cast<std::size_t>(static_cast<const char*>(found) + 1 - in);
            std::memmove(out, in, kept);
            out += kept;
            in += kept + 1;
        }
        std::memmove(out, in, static_cast<std::size_t>(end - in));
        out += end - in;
        grid_[i] = std::string_view(begin, static_cast<std::size_t>(out - begin));
    }
}

void CsvTokenizer::fail(std::size_t line, std::string_view what) const {
    throw std::invalid_argument(file_.path() + ": line " + std::to_string(line) + ": " +
                                std::string(what));
}

}  // namespace kelvra
