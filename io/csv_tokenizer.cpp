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
    fields_.reserve(64);
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
    for (;;) {
        switch (scan()) {
            case Scan::kRecord:
                unescape_quotes();
                return true;
            case Scan::kEnd:
                return false;
            case Scan::kNeedMore:
                refill();
                break;
        }
    }
}

// A field that begins with a quote is quoted: the blocks guarantee its closing quote just before
// `end`.
[[gnu::always_inline]] inline void CsvTokenizer::add_field(std::size_t begin, std::size_t end) {
    const char* const text = buffer_.get() + begin;
    if (begin != end && *text == '"') {
        const std::size_t size = end - begin - 2;
        if (std::memchr(text + 1, '"', size) != nullptr) escaped_fields_.push_back(fields_.size());
        fields_.emplace_back(text + 1, size);
    } else {
        fields_.emplace_back(text, end - begin);
    }
}

// Reads one record from pos_, taking its field ends from the blocks. pos_ and the line count
// change only once the record is known to be complete: a record cut by the end of the buffer is
// read again after a refill, which scans the blocks afresh.
CsvTokenizer::Scan CsvTokenizer::scan() {
    if (pos_ == end_) return eof_ ? Scan::kEnd : Scan::kNeedMore;
    fields_.clear();
    escaped_fields_.clear();
    const char* const base = buffer_.get();
    first_quoted_ = base[pos_] == '"';
    std::size_t field_start = pos_;
    std::size_t quoted_breaks = 0;
    // The block's state in locals for the loop, stored back when the record is done.
    std::uint64_t ends = field_ends_;
    for (;;) {
        while (ends == 0) {
            // The block's remaining quoted line breaks all lie in this record.
            if (quoted_breaks_ != 0) quoted_breaks += count_bits(quoted_breaks_);
            field_ends_ = 0;
            if (!next_block()) return end_of_data(field_start, quoted_breaks);
            ends = field_ends_;
        }
        const int bit = std::countr_zero(ends);
        ends &= ends - 1;
        const std::size_t at = block_ + static_cast<std::size_t>(bit);
        add_field(field_start, at);
        if (base[at] == ',') {
            field_start = at + 1;
            continue;
        }
        field_ends_ = ends;
        std::size_t next = at + 1;
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
        finish_record(next, quoted_breaks + 1);
        return Scan::kRecord;
    }
}

// The bytes read end inside the record: it needs more of the file, or ends with the file.
CsvTokenizer::Scan CsvTokenizer::end_of_data(std::size_t field_start, std::size_t quoted_breaks) {
    if (!eof_) return Scan::kNeedMore;
    if (carry_.inside != 0) fail(line_at(field_start), "unterminated quoted field");
    add_field(field_start, end_);
    finish_record(end_, quoted_breaks);
    return Scan::kRecord;
}

void CsvTokenizer::finish_record(std::size_t next, std::size_t lines) {
    empty_line_ = fields_.size() == 1 && fields_[0].empty() && !first_quoted_;
    record_line_ = line_;
    line_ += lines;
    pos_ = next;
}

std::size_t CsvTokenizer::line_at(std::size_t offset) const {
    return line_ + count_line_breaks(buffer_.get() + pos_, buffer_.get() + std::max(offset, pos_));
}

// Turns each "" pair inside a quoted field into one quote, in place: the record is complete,
// so its bytes are never scanned again.
void CsvTokenizer::unescape_quotes() {
    char* const base = buffer_.get();
    for (const std::size_t i : escaped_fields_) {
        char* const begin = base + (fields_[i].data() - base);
        const char* const end = begin + fields_[i].size();
        char* out = begin;
        for (const char* in = begin; in != end; ++in) {
            *out++ = *in;
            if (*in == '"') ++in;
        }
        fields_[i] = std::string_view(begin, static_cast<std::size_t>(out - begin));
    }
}

void CsvTokenizer::fail(std::size_t line, std::string_view what) const {
    throw std::invalid_argument(file_.path() + ": line " + std::to_string(line) + ": " +
                                std::string(what));
}

}  // namespace kelvra
