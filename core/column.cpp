// Building a column cell by cell, and the one-column operations: one loop per column layout.
#include "column.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>

namespace kelvra {
namespace {

// The numeric reading of a payload: integers and booleans (stored as 0 and 1) convert to the
// nearest double, doubles are themselves.
inline double integer_reading(std::uint64_t bits) noexcept {
    return static_cast<double>(std::bit_cast<std::int64_t>(bits));
}
inline double payload_reading(CellType type, std::uint64_t bits) noexcept {
    return type == kDouble ? std::bit_cast<double>(bits) : integer_reading(bits);
}

// Calls f(row) for every set bit of the mask's words, in row order.
template <class F>
void for_each_set_bit(const NullMask& mask, F&& f) {
    for (std::size_t w = 0; w < mask.word_count(); ++w) {
        for (std::uint64_t bits = mask.word(w); bits != 0; bits &= bits - 1) {
            f(w * NullMask::kBits + static_cast<std::size_t>(std::countr_zero(bits)));
        }
    }
}

// Copies a string's bytes; most strings are short, and a call to memcpy per string would cost
// more than the copy.
inline void copy_bytes(char* dst, const char* src, std::size_t n) noexcept {
    if (n >= 8 && n <= 16) {
        std::memcpy(dst, src, 8);
        std::memcpy(dst + n - 8, src + n - 8, 8);
    } else if (n >= 4 && n < 8) {
        std::memcpy(dst, src, 4);
        std::memcpy(dst + n - 4, src + n - 4, 4);
    } else if (n < 4) {
        for (std::size_t i = 0; i < n; ++i) dst[i] = src[i];
    } else {
        std::memcpy(dst, src, n);
    }
}

// The strings of the given rows, in their order. Runs of consecutive rows are copied at once.
StringData gather_strings(const StringData& src, const std::size_t* rows, std::size_t k) {
    StringData out;
    std::uint64_t* offsets = out.offsets.extend_uninitialised(k + 1);
    const std::uint64_t* source_offsets = src.offsets.data();
    std::uint64_t total = 0;
    offsets[0] = 0;
    for (std::size_t j = 0; j < k; ++j) {
        const std::size_t r = rows[j];
        total += source_offsets[r + 1] - source_offsets[r];
        offsets[j + 1] = total;
    }
    out.offsets.set_size(k + 1);
    char* bytes = out.bytes.extend_uninitialised(total);
    const char* source_bytes = src.bytes.data();
    for (std::size_t j = 0; j < k;) {
        std::size_t end = j + 1;
        while (end < k && rows[end] == rows[end - 1] + 1) ++end;
        const std::uint64_t begin = source_offsets[rows[j]];
        const std::uint64_t length = source_offsets[rows[end - 1] + 1] - begin;
        copy_bytes(bytes, source_bytes + begin, length);
        bytes += length;
        j = end;
    }
    out.bytes.set_size(total);
    return out;
}

}  // namespace

void Column::push_back(const CellValue& cell) {
    switch (cell.index()) {
        case kInt:
            push_int(*std::get_if<kInt>(&cell));
            break;
        case kDouble:
            push_double(*std::get_if<kDouble>(&cell));
            break;
        case kString:
            push_string(*std::get_if<kString>(&cell));
            break;
        default:
            push_bool(*std::get_if<kBool>(&cell));
            break;
    }
}

void Column::settle() {
    CellStore& v = values;
    const std::size_t n = v.size_;
    if (null_mask.count_missing() == n) {
        // Only missing rows: all-zero payloads, as a column built by push_null alone.
        v.payload_.assign(n, 0);
        v.has_payload_ = true;
        v.types_.reset();
        v.mixed_ = false;
        v.strings_.reset();
        v.single_ = kInt;
        v.any_present_ = false;
        return;
    }
    v.any_present_ = true;
    if (v.mixed_) {
        unsigned seen = 0;
        for (std::size_t i = 0; i < n; ++i) {
            if (!null_mask[i]) seen |= 1u << v.types_[i];
        }
        if (std::has_single_bit(seen)) {
            v.single_ = static_cast<CellType>(std::countr_zero(seen));
            v.mixed_ = false;
            v.types_.reset();
        } else if ((seen & (1u << kString)) == 0) {
            v.strings_.reset();
        }
    }
    if (!v.mixed_) {
        if (v.single_ == kString) {
            v.payload_.reset();
            v.has_payload_ = false;
        } else {
            v.strings_.reset();
        }
    }
}

std::shared_ptr<Column> Column::take_rows(const RowIndexList& rows) const {
    // The positions ascend, so those within the column come first.
    const std::size_t k =
        static_cast<std::size_t>(std::lower_bound(rows.begin(), rows.end(), size()) - rows.begin());
    const std::size_t* picked = rows.data();

    auto out = std::make_shared<Column>(dtype);
    out->null_mask.assign_present(k);
    if (null_mask.any_missing()) {
        std::uint64_t* words = out->null_mask.mutable_words();
        const std::uint64_t* source_words = null_mask.words();
        for (std::size_t j = 0; j < k; ++j) {
            const std::size_t r = picked[j];
            const std::uint64_t bit = (source_words[r / NullMask::kBits] >> (r % NullMask::kBits)) & 1u;
            words[j / NullMask::kBits] |= bit << (j % NullMask::kBits);
        }
    }

    CellStore& dst = out->values;
    dst.size_ = k;
    dst.single_ = values.single_;
    dst.mixed_ = values.mixed_;
    dst.has_payload_ = values.has_payload_;
    if (values.has_payload_) {
        std::uint64_t* p = dst.payload_.extend_uninitialised(k);
        const std::uint64_t* src = values.payload_.data();
        for (std::size_t j = 0; j < k; ++j) p[j] = src[picked[j]];
        dst.payload_.set_size(k);
    }
    if (values.mixed_) {
        std::uint8_t* t = dst.types_.extend_uninitialised(k);
        const std::uint8_t* src = values.types_.data();
        for (std::size_t j = 0; j < k; ++j) t[j] = src[picked[j]];
        dst.types_.set_size(k);
    }
    if (const StringData* src = values.strings_.get()) {
        dst.strings_ = std::make_shared<StringData>(gather_strings(*src, picked, k));
    }
    out->settle();
    return out;
}

std::shared_ptr<Column> Column::multiply(double x) const {
    auto out = std::make_shared<Column>(dtype);
    const std::size_t n = size();
    // Missing rows stay missing, so the mask carries over whole.
    out->null_mask = null_mask;
    CellStore& dst = out->values;
    dst.size_ = n;
    dst.any_present_ = values.any_present_;
    if (!values.any_present_) {
        dst.payload_.assign(n, 0);
        return out;
    }
    // Strings pass through unchanged, so the product shares them.
    dst.strings_ = values.strings_;
    const std::optional<CellType> type = values.single_type();
    if (type == kString) {
        dst.single_ = kString;
        dst.has_payload_ = false;
        return out;
    }
    dst.single_ = kDouble;
    std::uint64_t* p = dst.payload_.extend_uninitialised(n);
    const std::uint64_t* src = values.payload_.data();
    if (type == kDouble) {
        for (std::size_t i = 0; i < n; ++i) {
            p[i] = std::bit_cast<std::uint64_t>(std::bit_cast<double>(src[i]) * x);
        }
    } else if (type) {
        for (std::size_t i = 0; i < n; ++i) {
            p[i] = std::bit_cast<std::uint64_t>(integer_reading(src[i]) * x);
        }
    } else {
        std::uint8_t* t = dst.types_.extend_uninitialised(n);
        const std::uint8_t* src_types = values.types_.data();
        for (std::size_t i = 0; i < n; ++i) {
            const auto cell_type = static_cast<CellType>(src_types[i]);
            const bool number = cell_type != kString;
            p[i] = number ? std::bit_cast<std::uint64_t>(payload_reading(cell_type, src[i]) * x) : 0;
            t[i] = static_cast<std::uint8_t>(number ? kDouble : kString);
        }
        dst.types_.set_size(n);
        dst.mixed_ = true;
    }
    dst.payload_.set_size(n);
    // A missing row holds 0, whatever 0 times x gave.
    for_each_set_bit(null_mask, [p](std::size_t i) { p[i] = 0; });
    if (dst.mixed_ || dst.strings_) out->settle();
    return out;
}

double Column::sum() const { return sum_and_count().sum; }

// Missing rows hold 0, and so do the payloads of string rows; adding +0.0 to a running sum that
// starts at +0.0 never changes it, so those rows are added rather than skipped.
NumericTotal Column::sum_and_count() const {
    NumericTotal total;
    const std::size_t n = size();
    const std::optional<CellType> type = values.single_type();
    const std::uint64_t* p = values.payload_.data();
    if (type == kString || !values.any_present_) return total;
    if (type) {
        if (type == kDouble) {
            for (std::size_t i = 0; i < n; ++i) total.sum += std::bit_cast<double>(p[i]);
        } else {
            for (std::size_t i = 0; i < n; ++i) total.sum += integer_reading(p[i]);
        }
        total.count = n - null_mask.count_missing();
        return total;
    }
    const std::uint8_t* types = values.types_.data();
    for (std::size_t i = 0; i < n; ++i) {
        const auto cell_type = static_cast<CellType>(types[i]);
        if (cell_type == kString || null_mask[i]) continue;
        total.sum += payload_reading(cell_type, p[i]);
        ++total.count;
    }
    return total;
}

RowIndexList Column::rows_greater_than(double value, std::size_t limit) const {
    limit = std::min(limit, size());
    RowIndexList kept;
    const std::optional<CellType> type = values.single_type();
    if (type == kString || !values.any_present_ || limit == 0) return kept;
    std::size_t* out = kept.extend_uninitialised(limit);
    std::size_t k = 0;
    const std::uint64_t* p = values.payload_.data();
    const std::uint64_t* mask = null_mask.words();
    // Every row is written and the count moves only for kept rows: no branch per row.
    auto scan = [&](auto reading) {
        for (std::size_t i = 0; i < limit; ++i) {
            const bool present = ((mask[i / NullMask::kBits] >> (i % NullMask::kBits)) & 1u) == 0;
            out[k] = i;
            k += present & (reading(i) > value);
        }
    };
    if (type == kDouble) {
        scan([p](std::size_t i) { return std::bit_cast<double>(p[i]); });
    } else if (type) {
        scan([p](std::size_t i) { return integer_reading(p[i]); });
    } else {
        const std::uint8_t* types = values.types_.data();
        scan([p, types](std::size_t i) {
            const auto cell_type = static_cast<CellType>(types[i]);
            // A string is not a number: NaN compares false.
            return cell_type == kString ? std::numeric_limits<double>::quiet_NaN()
                                        : payload_reading(cell_type, p[i]);
        });
    }
    kept.set_size(k);
    return kept;
}

}  // namespace kelvra
