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

// Line breaks inside quoted fields are rare, so the count is only taken when there are some.
std::size_t count_bits(std::uint64_t bits) noexcept {
    return static_cast<std::size_t>(std::popcount(bits));
}

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
    block_ = next_block_ = pos_;
    field_ends_ = quoted_breaks_ = 0;
    carry_ = CsvBlockCarry{};
    stop_ = kNoStop;
}

bool CsvTokenizer::next_block() {
    if (stop_ != kNoStop) fail(line_at(stop_), "unexpected text after a closing quote");
    if (next_block_ >= end_) return false;
    const CsvBlockStructure found =
        scanner_(buffer_.get() + next_block_, std::min(kCsvBlock, end_ - next_block_), carry_);
    block_ = next_block_;
    next_block_ += kCsvBlock;
    field_ends_ = found.field_ends;
    quoted_breaks_ = found.quoted_breaks;
    if (found.stop != CsvBlockStructure::kNoStop) {
        stop_ = block_ + static_cast<std::size_t>(static_cast<std::ptrdiff_t>(found.stop));
        next_block_ = end_;
    }
    return true;
}

bool CsvTokenizer::next() {
    set_shape(kAnyWidth, 1);
    for (;;) {
        std::size_t records = 0;
        switch (scan(1, records)) {
            case Scan::kRecord:
                return true;
            case Scan::kEnd:
                return false;
            case Scan::kNeedMore:
                refill();
                break;
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

// Reads records from pos_ until `records` reaches max_records, taking their field ends from the
// blocks. A field that begins with a quote is quoted: the blocks guarantee its closing quote just
// before the field's end. pos_ and the line count move only past complete records: a record cut
// by the end of the buffer is not counted (kNeedMore) and is read again after a refill, which
// scans the blocks afresh.
CsvTokenizer::Scan CsvTokenizer::scan(std::size_t max_records, std::size_t& records) {
    // Locals for the loop: the stores into the grid could otherwise alias the members.
    const char* const base = buffer_.get();
    const std::size_t stride = run_capacity_;
    std::string_view* grid = grid_.data();
    std::size_t width = width_;
    for (;;) {
        if (pos_ == end_) return eof_ ? Scan::kEnd : Scan::kNeedMore;
        escaped_fields_.clear();
        const bool first_quoted = base[pos_] == '"';
        std::size_t field_start = pos_;
        std::size_t column = 0;
        std::string_view* slot = grid + records;
        std::size_t quoted_breaks = 0;
        std::size_t ending_breaks = 1;  // the line break that ends the record
        std::size_t next = 0;
        // The block's state in locals for the loop, stored back when the record is done.
        std::uint64_t ends = field_ends_;
        std::size_t block = block_;
        for (;;) {
            std::size_t at = 0;
            bool file_ends = false;
            while (ends == 0) {
                // The block's remaining quoted line breaks all lie in this record.
                if (quoted_breaks_ != 0) quoted_breaks += count_bits(quoted_breaks_);
                field_ends_ = 0;
                if (!next_block()) {
                    if (!eof_) return Scan::kNeedMore;
                    // The last record ends with the file.
                    if (carry_.inside != 0) fail(line_at(field_start), "unterminated quoted field");
                    at = end_;
                    file_ends = true;
                    break;
                }
                ends = field_ends_;
                block = block_;
            }
            int bit = 0;
            if (!file_ends) {
                bit = std::countr_zero(ends);
                ends &= ends - 1;
                at = block + static_cast<std::size_t>(bit);
            }
            if (column >= width) [[unlikely]] {
                // Fields past the width are only counted, unless records keep their own widths.
                if (any_width_) {
                    widen();
                    grid = grid_.data();
                    width = width_;
                    slot = grid + column;
                }
            }
            if (column < width) {
                const char* const text = base + field_start;
                // An empty field's first byte is the one that ends it, never a quote.
                if (*text == '"') {
                    const std::size_t size = at - field_start - 2;
                    if (std::memchr(text + 1, '"', size) != nullptr) {
                        escaped_fields_.push_back(static_cast<std::size_t>(slot - grid));
                    }
                    *slot = std::string_view(text + 1, size);
                } else {
                    *slot = std::string_view(text, at - field_start);
                }
                slot += stride;
            }
            ++column;
            if (file_ends) {
                next = end_;
                ending_breaks = 0;
                break;
            }
            if (base[at] == ',') {
                field_start = at + 1;
                continue;
            }
            field_ends_ = ends;
            next = at + 1;
            if (base[at] == '\r') {
                if (next == end_) {
                    if (!eof_) return Scan::kNeedMore;  // an LF may follow
                } else if (base[next] == '\n') {
                    ++next;
                }
            }
            if (quoted_breaks_ != 0) {
                const std::uint64_t before = (std::uint64_t{1} << bit) - 1;
                quoted_breaks += count_bits(quoted_breaks_ & before);
                quoted_breaks_ &= ~before;
            }
            break;
        }
        record_line_ = line_;
        line_ += quoted_breaks + ending_breaks;
        pos_ = next;
        if (!escaped_fields_.empty()) unescape_quotes();
        record_fields_ = column;
        empty_line_ = column == 1 && grid[records].empty() && !first_quoted;
        if (!any_width_) {
            if (empty_line_) continue;
            if (column > width) {
                fail(record_line_, "expected " + std::to_string(width) +
                                       (width == 1 ? " field" : " fields") + ", found " +
                                       std::to_string(column));
            }
            // Short records end in missing cells, so later fields never shift columns.
            for (; column < width; ++column, slot += stride) *slot = {};
        }
        if (++records == max_records) return Scan::kRecord;
    }
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
