#include "csv_tokenizer.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <stdexcept>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace kelvra {

namespace {

// Large enough that refills are rare, small enough that peak memory stays far below the table's.
constexpr std::size_t kReadBlock = std::size_t{1} << 21;
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
// Bytes after the data, so that a 16-byte load starting at or before its end stays in the buffer.
constexpr std::size_t kPadding = 16;

// The first ',', '\n' or '\r' at or after p. The '\n' stored just past the data guarantees one.
const char* find_field_end(const char* p) noexcept {
#if defined(__SSE2__)
    const __m128i comma = _mm_set1_epi8(',');
    const __m128i line_feed = _mm_set1_epi8('\n');
    const __m128i carriage_return = _mm_set1_epi8('\r');
    for (;; p += 16) {
        const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const int hits = _mm_movemask_epi8(
            _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(chunk, comma), _mm_cmpeq_epi8(chunk, line_feed)),
                         _mm_cmpeq_epi8(chunk, carriage_return)));
        if (hits != 0) return p + std::countr_zero(static_cast<unsigned>(hits));
    }
#else
    while (*p != ',' && *p != '\n' && *p != '\r') ++p;
    return p;
#endif
}

// The line breaks in [p, end): each LF, and each CR not followed by LF.
std::size_t count_line_breaks(const char* p, const char* end) noexcept {
    std::size_t breaks = 0;
    for (; p != end; ++p) breaks += *p == '\n' || (*p == '\r' && p[1] != '\n');
    return breaks;
}

// Zeroed, so that the bytes a load may see past the data are always defined.
std::unique_ptr<char[]> allocate_buffer(std::size_t capacity) {
    return std::make_unique<char[]>(capacity + kPadding);
}

}  // namespace

CsvTokenizer::CsvTokenizer(InputFile& file) : file_(file) {
    // The byte just past the data always holds a '\n', so the field scan needs no bounds test.
    // A small file gets a buffer of its own size, not a whole block.
    capacity_ = std::clamp<std::size_t>(file.size_hint() + 1, 4096, kReadBlock);
    buffer_ = allocate_buffer(capacity_);
    fields_.reserve(64);
    refill();
    if (std::string_view(buffer_.get(), end_).starts_with(kByteOrderMark)) {
        pos_ = kByteOrderMark.size();
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
    buffer_[end_] = '\n';
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

// Reads one record from pos_ without changing any state until the record is known to be
// complete, so that a record cut by the end of the buffer can be scanned again after a refill.
CsvTokenizer::Scan CsvTokenizer::scan() {
    fields_.clear();
    escaped_fields_.clear();
    char* const base = buffer_.get();
    const char* p = base + pos_;
    const char* const end = base + end_;
    if (p == end) return eof_ ? Scan::kEnd : Scan::kNeedMore;

    std::size_t line = line_;
    bool first_quoted = false;
    for (;;) {
        if (p == end) {
            // Only after a comma: the record's last field is empty.
            if (!eof_) return Scan::kNeedMore;
            fields_.emplace_back(p, 0);
            break;
        }
        if (*p != '"') {
            const char* const q = find_field_end(p);
            if (q == end) {
                if (!eof_) return Scan::kNeedMore;
                fields_.emplace_back(p, static_cast<std::size_t>(q - p));
                p = q;
                break;
            }
            if (*q == ',') {
                fields_.emplace_back(p, static_cast<std::size_t>(q - p));
                p = q + 1;
                continue;
            }
            fields_.emplace_back(p, static_cast<std::size_t>(q - p));
            p = q + 1;
            if (*q == '\r') {
                if (p == end) {
                    if (!eof_) return Scan::kNeedMore;
                } else if (*p == '\n') {
                    ++p;
                }
            }
            ++line;
            break;
        }

        if (fields_.empty()) first_quoted = true;
        const std::size_t quote_line = line;
        const char* const content = p + 1;
        const char* q = content;
        const char* close = nullptr;
        for (;;) {
            const auto left = static_cast<std::size_t>(end - q);
            close = static_cast<const char*>(std::memchr(q, '"', left));
            if (close == nullptr) {
                if (!eof_) return Scan::kNeedMore;
                fail(quote_line, "unterminated quoted field");
            }
            line += count_line_breaks(q, close);
            if (close + 1 == end) {
                if (!eof_) return Scan::kNeedMore;
                break;
            }
            if (close[1] != '"') break;
            q = close + 2;
            if (escaped_fields_.empty() || escaped_fields_.back() != fields_.size()) {
                escaped_fields_.push_back(fields_.size());
            }
        }
        fields_.emplace_back(content, static_cast<std::size_t>(close - content));
        p = close + 1;
        if (p == end) break;  // the end of the file (checked above)
        if (*p == ',') {
            ++p;
            continue;
        }
        if (*p == '\n') {
            ++p;
            ++line;
            break;
        }
        if (*p == '\r') {
            if (p + 1 == end && !eof_) return Scan::kNeedMore;
            p += p + 1 != end && p[1] == '\n' ? 2 : 1;
            ++line;
            break;
        }
        fail(line, "unexpected text after a closing quote");
    }

    empty_line_ = fields_.size() == 1 && fields_[0].empty() && !first_quoted;
    record_line_ = line_;
    line_ = line;
    pos_ = static_cast<std::size_t>(p - base);
    return Scan::kRecord;
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
