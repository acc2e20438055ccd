// Plain arrays (numbers, booleans, strings) copied into the column a run of rows at a time.
#include <algorithm>
#include <optional>

#include "../../text/half_float.h"
#include "arrow_rows.h"

namespace kelvra::arrow::detail {

namespace {

// Rows [start, start + n) of a plain array of numbers or booleans as one run of payloads, each
// present value read (and checked) by value(i) as it is copied; false, with nothing appended,
// when the column holds cells of another type.
template <class Value>
bool number_chunk(ColumnBuilder& column, CellType type, const Rows& rows, std::size_t start,
                  std::size_t n, Value value) {
    ChunkBits missing;
    const bool any_present = chunk_missing(rows, start, n, missing);
    std::uint64_t* const slots = column.number_run(type, n);
    if (slots == nullptr) return false;
    const std::size_t first = rows.offset + start;
    std::size_t k = 0;
    try {
        if (rows.validity == nullptr) {
            for (; k < n; ++k) slots[k] = value(first + k);
        } else {
            for (; k < n; ++k) slots[k] = bit_set(missing, k) ? 0 : value(first + k);
        }
    } catch (const IntegerOutOfRange& e) {
        // Nothing committed: the run's rows are not the column's yet.
        throw IntegerOutOfRange(e.value(), column.size() + k);
    }
    column.commit_number_run(type, n, missing.data(), any_present);
    return true;
}

template <class Stored>
bool integer_chunk(ColumnBuilder& column, const Rows& rows, std::size_t start, std::size_t n) {
    const void* values = rows.buffer(1);
    return number_chunk(column, kInt, rows, start, n, [values](std::size_t i) {
        const Stored v = load<Stored>(values, i);
        if constexpr (std::is_same_v<Stored, std::uint64_t>) {
            if (v > kInt64Max) throw IntegerOutOfRange(v);
        }
        return std::bit_cast<std::uint64_t>(static_cast<std::int64_t>(v));
    });
}

template <class Read>
bool double_chunk(ColumnBuilder& column, const Rows& rows, std::size_t start, std::size_t n,
                  Read read) {
    const void* values = rows.buffer(1);
    return number_chunk(column, kDouble, rows, start, n, [values, read](std::size_t i) {
        return std::bit_cast<std::uint64_t>(static_cast<double>(read(values, i)));
    });
}

// Rows of an array of strings straight into the column's string cells, text_at(i) giving the
// text at position i of the array's buffers; false, with nothing appended, when the column is
// not (yet) a column of strings.
template <class TextAt>
bool string_chunk(ColumnBuilder& column, const Rows& rows, std::size_t start, std::size_t n,
                  TextAt text_at) {
    std::optional<ColumnBuilder::StringRun> run = column.string_run(n);
    if (!run) return false;
    ChunkBits missing;
    chunk_missing(rows, start, n, missing);
    const std::size_t first = rows.offset + start;
    for (std::size_t k = 0; k < n; ++k) {
        if (rows.validity != nullptr && bit_set(missing, k)) {
            run->cells[k] = PackedString{};
        } else {
            const Text text = text_at(first + k);
            run->packer.pack(&run->cells[k], text.text, text.readable);
        }
    }
    column.commit_string_run(n, missing.data());
    return true;
}

bool null_chunk(ColumnBuilder& column, std::size_t n) {
    // Missing rows of whatever numeric type the column has.
    const std::optional<CellType> type = column.single_type();
    const CellType as = type && *type != kString ? *type : kInt;
    std::uint64_t* const slots = column.number_run(as, n);
    if (slots == nullptr) return false;
    ChunkBits missing{};
    std::fill_n(slots, n, 0);
    for (std::size_t k = 0; k < n; ++k) set_bit(missing, k);
    column.commit_number_run(as, n, missing.data(), false);
    return true;
}

}  // namespace

bool append_plain_chunk(ColumnBuilder& column, const Rows& rows, std::size_t start, std::size_t n) {
    switch (rows.type->kind) {
        case Kind::kInt8:
            return integer_chunk<std::int8_t>(column, rows, start, n);
        case Kind::kInt16:
            return integer_chunk<std::int16_t>(column, rows, start, n);
        case Kind::kInt32:
            return integer_chunk<std::int32_t>(column, rows, start, n);
        case Kind::kInt64:
            return integer_chunk<std::int64_t>(column, rows, start, n);
        case Kind::kUInt8:
            return integer_chunk<std::uint8_t>(column, rows, start, n);
        case Kind::kUInt16:
            return integer_chunk<std::uint16_t>(column, rows, start, n);
        case Kind::kUInt32:
            return integer_chunk<std::uint32_t>(column, rows, start, n);
        case Kind::kUInt64:
            return integer_chunk<std::uint64_t>(column, rows, start, n);
        case Kind::kHalf:
            return double_chunk(column, rows, start, n, [](const void* values, std::size_t i) {
                return half_to_double(load<std::uint16_t>(values, i));
            });
        case Kind::kFloat:
            return double_chunk(column, rows, start, n, load<float>);
        case Kind::kDouble:
            return double_chunk(column, rows, start, n, load<double>);
        case Kind::kBool: {
            const auto* bits = static_cast<const std::uint8_t*>(rows.buffer(1));
            return number_chunk(column, kBool, rows, start, n, [bits](std::size_t i) {
                return std::uint64_t{(bits[i / 8] >> (i % 8)) & 1u};
            });
        }
        case Kind::kBool8: {
            const void* values = rows.buffer(1);
            return number_chunk(column, kBool, rows, start, n, [values](std::size_t i) {
                return std::uint64_t{load<std::int8_t>(values, i) != 0};
            });
        }
        case Kind::kNull:
            return null_chunk(column, n);
        case Kind::kString:
            return string_chunk(column, rows, start, n, [&rows](std::size_t i) {
                return offset_text<std::int32_t>(rows, i);
            });
        case Kind::kLargeString:
            return string_chunk(column, rows, start, n, [&rows](std::size_t i) {
                return offset_text<std::int64_t>(rows, i);
            });
        case Kind::kStringView:
            return string_chunk(column, rows, start, n,
                                [&rows](std::size_t i) { return view_text(rows, i); });
        default:
            return false;
    }
}

std::size_t text_bytes(const Rows& rows) {
    switch (rows.type->kind) {
        case Kind::kString:
        case Kind::kLargeString:
            // Both checked in rows_of: 0 <= first offset <= data_end.
            return static_cast<std::size_t>(
                rows.data_end - (rows.type->kind == Kind::kString
                                     ? std::int64_t{load<std::int32_t>(rows.buffer(1), rows.offset)}
                                     : load<std::int64_t>(rows.buffer(1), rows.offset)));
        case Kind::kStringView: {
            // The long texts of these rows alone: a short slice of a large array needs little of
            // its data buffers. No buffer holds more than 2 GiB, where the sum stops.
            constexpr std::size_t kEnough = std::size_t{1} << 31;
            const char* views = static_cast<const char*>(rows.buffer(1));
            std::size_t bytes = 0;
            for (std::size_t i = rows.offset; i < rows.offset + rows.length && bytes < kEnough;
                 ++i) {
                const auto length = load<std::int32_t>(views + 16 * i, 0);
                if (length > 12) bytes += static_cast<std::size_t>(length);
            }
            return bytes;
        }
        default:
            return 0;
    }
}

}  // namespace kelvra::arrow::detail
