#include "csv_columns.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>

#include "../../core/column_builder.h"
#include "../../text/number_reading.h"
#include "../../text/plain_number_ssse3.h"

namespace kelvra {

namespace {

// The rows a run takes at most, so that its missing bits fit on the stack.
constexpr std::size_t kChunk = 1024;
using MissingBits = std::uint64_t[kChunk / NullMask::kBits];

// Seventeen readable bytes that start no number, read in place of an empty field.
constexpr char kNoText[17] = {};

// Only a field that starts with one of these can hold a number.
[[gnu::always_inline]] inline bool may_be_number(char first) noexcept {
    return (first >= '0' && first <= '9') || first == '-' || first == '+' || first == '.' ||
           first == ' ' || first == '\t';
}

// The plain readings the number runs take first: number_reading.h's, or with SSSE3 those of
// plain_number_ssse3.h, which give the same.
template <bool kSsse3>
struct PlainReading {
    [[gnu::always_inline]] static bool plain_int(const char* p, std::size_t size,
                                                 std::int64_t& value) noexcept {
#if defined(KELVRA_PLAIN_NUMBER_SSSE3)
        if constexpr (kSsse3) return parse_plain_int_ssse3(p, size, value);
#endif
        return parse_plain_int(p, size, value);
    }
    [[gnu::always_inline]] static ParsedNumber plain_number(const char* p,
                                                            std::size_t size) noexcept {
#if defined(KELVRA_PLAIN_NUMBER_SSSE3)
        if constexpr (kSsse3) return parse_plain_number_ssse3(p, size);
#endif
        return parse_plain_number(p, size);
    }
};

template <typename Reading = PlainReading<false>>
[[gnu::always_inline]] inline ParsedNumber read_number(std::string_view field) noexcept {
    const ParsedNumber quick = Reading::plain_number(field.data(), field.size());
    if (quick.kind != ParsedNumber::kNone || !may_be_number(field.front())) return quick;
    return parse_whole_number(field);
}

// read_number for a field that parse_plain_int did not take: text that cannot start a number is
// turned away without the plain reading.
ParsedNumber read_unplain_number(std::string_view field) noexcept {
    if (!may_be_number(field.front())) return {};
    return read_number(field);
}

void append_one(ColumnBuilder& column, std::string_view field) {
    if (field.empty()) {
        column.push_null();
        return;
    }
    const ParsedNumber number = read_number(field);
    switch (number.kind) {
        case ParsedNumber::kInt:
            column.push_int(number.int_value);
            break;
        case ParsedNumber::kDouble:
            column.push_double(number.double_value);
            break;
        default:
            column.push_string(field, true);
            break;
    }
}

// Whether any row of a run of k rows is present, from its missing bits.
bool any_present_in(const MissingBits& missing, std::size_t k) noexcept {
    std::size_t absent = 0;
    for (std::size_t w = 0; w * NullMask::kBits < k; ++w) absent += std::popcount(missing[w]);
    return absent != k;
}

// Numbers of one type go straight into a column of that type's payloads, up to the first field
// that `read` does not take (it reads a present field into its value, or says no); returns the
// rows taken.
template <CellType Type, typename Value, typename Read>
[[gnu::always_inline]] inline std::size_t append_number_run(ColumnBuilder& column,
                                                            const std::string_view* fields,
                                                            std::size_t rows, Read read) {
    std::uint64_t* const slots = column.number_run(Type, rows);
    if (slots == nullptr) return 0;
    MissingBits missing{};
    std::size_t k = 0;
    for (; k < rows; ++k) {
        const std::string_view field = fields[k];
        Value value = 0;
        if (field.empty()) {
            missing[k / NullMask::kBits] |= std::uint64_t{1} << (k % NullMask::kBits);
        } else if (!read(field, value)) {
            break;
        }
        slots[k] = std::bit_cast<std::uint64_t>(value);
    }
    column.commit_number_run(Type, k, missing, any_present_in(missing, k));
    return k;
}

// Integers: plain ones take the short path, any other field the whole reading.
template <typename Reading>
[[gnu::always_inline]] inline std::size_t append_int_run(ColumnBuilder& column,
                                                         const std::string_view* fields,
                                                         std::size_t rows) {
    return append_number_run<kInt, std::int64_t>(
        column, fields, rows, [](std::string_view field, std::int64_t& value) {
            if (Reading::plain_int(field.data(), field.size(), value)) [[likely]] {
                return true;
            }
            const ParsedNumber number = read_unplain_number(field);
            if (number.kind != ParsedNumber::kInt) return false;
            value = number.int_value;
            return true;
        });
}

template <typename Reading>
[[gnu::always_inline]] inline std::size_t append_double_run(ColumnBuilder& column,
                                                            const std::string_view* fields,
                                                            std::size_t rows) {
    return append_number_run<kDouble, double>(
        column, fields, rows, [](std::string_view field, double& value) {
            const ParsedNumber number = read_number<Reading>(field);
            if (number.kind != ParsedNumber::kDouble) return false;
            value = number.double_value;
            return true;
        });
}

#if defined(KELVRA_PLAIN_NUMBER_SSSE3)
const bool kCpuHasSsse3 = cpu_has_ssse3();
#else
constexpr bool kCpuHasSsse3 = false;
#endif

std::size_t append_int_run(ColumnBuilder& column, const std::string_view* fields,
                           std::size_t rows) {
    if (kCpuHasSsse3) return append_int_run<PlainReading<true>>(column, fields, rows);
    return append_int_run<PlainReading<false>>(column, fields, rows);
}

std::size_t append_double_run(ColumnBuilder& column, const std::string_view* fields,
                              std::size_t rows) {
    if (kCpuHasSsse3) return append_double_run<PlainReading<true>>(column, fields, rows);
    return append_double_run<PlainReading<false>>(column, fields, rows);
}

// Text goes straight into the column's string cells, up to the first number; returns the rows
// taken.
std::size_t append_string_run(ColumnBuilder& column, const std::string_view* fields,
                              std::size_t rows) {
    std::optional<ColumnBuilder::StringRun> run = column.string_run(rows);
    if (!run) return 0;
    PackedString* const cells = run->cells;
    MissingBits missing{};
    std::size_t k = 0;
    for (; k < rows; ++k, ++fields) {
        const std::string_view field = *fields;
        if (field.empty()) {
            missing[k / NullMask::kBits] |= std::uint64_t{1} << (k % NullMask::kBits);
            cells[k] = PackedString{};
        } else if (may_be_number(field.front()) && read_number(field).kind != ParsedNumber::kNone) {
            break;
        } else {
            run->packer.pack(&cells[k], field, true);
        }
    }
    column.commit_string_run(k, missing);
    return k;
}

// Any cell of a column that mixes types; returns the rows taken, up to the first string when the
// column holds no strings yet. Short integers are read in a first pass with no branch on the
// field's kind; the other rows (text, decimals, long integers, missing) in a second, in order.
std::size_t append_mixed_run(ColumnBuilder& column, const std::string_view* fields,
                             std::size_t rows) {
    std::optional<ColumnBuilder::MixedRun> found = column.mixed_run(rows);
    if (!found) return 0;
    ColumnBuilder::MixedRun& run = *found;
    MissingBits others{};
    for (std::size_t k = 0; k < rows; ++k) {
        const std::string_view field = fields[k];
        // An empty field's view may hold no pointer at all (a short record's padding).
        const char* const text = field.empty() ? kNoText : field.data();
        bool ok;
        const std::int64_t value = short_int_without_branch(text, field.size(), ok);
        run.payloads[k] = std::bit_cast<std::uint64_t>(value);
        run.types.set(k, kInt);
        others[k / NullMask::kBits] |= std::uint64_t{!ok} << (k % NullMask::kBits);
    }
    MissingBits missing{};
    for (std::size_t w = 0; w * NullMask::kBits < rows; ++w) {
        for (std::uint64_t bits = others[w]; bits != 0; bits &= bits - 1) {
            const std::size_t k = w * NullMask::kBits + std::countr_zero(bits);
            const std::string_view field = fields[k];
            std::uint64_t payload = 0;
            CellType type = kInt;
            if (field.empty()) {
                missing[w] |= std::uint64_t{1} << (k % NullMask::kBits);
            } else {
                std::int64_t value = 0;
                const ParsedNumber number = parse_plain_int(field.data(), field.size(), value)
                                                ? ParsedNumber{ParsedNumber::kInt, {value}}
                                                : read_unplain_number(field);
                if (number.kind == ParsedNumber::kInt) {
                    payload = std::bit_cast<std::uint64_t>(number.int_value);
                } else if (number.kind == ParsedNumber::kDouble) {
                    payload = std::bit_cast<std::uint64_t>(number.double_value);
                    type = kDouble;
                } else if (!run.strings) {
                    column.commit_mixed_run(k, missing);
                    return k;
                } else {
                    payload = run.strings->append(field, true);
                    type = kString;
                }
            }
            run.payloads[k] = payload;
            run.types.set(k, type);
        }
    }
    column.commit_mixed_run(rows, missing);
    return rows;
}

std::size_t append_run(ColumnBuilder& column, const std::string_view* fields, std::size_t rows) {
    const std::optional<CellType> type = column.single_type();
    if (!type) return append_mixed_run(column, fields, rows);
    switch (*type) {
        case kInt:
            return append_int_run(column, fields, rows);
        case kDouble:
            return append_double_run(column, fields, rows);
        case kString:
            return append_string_run(column, fields, rows);
        default:
            return 0;
    }
}

}  // namespace

void append_csv_fields(Column& target, const std::string_view* fields, std::size_t rows) {
    ColumnBuilder column(target);
    while (rows != 0) {
        const std::size_t chunk = std::min(rows, kChunk);
        const std::size_t taken = append_run(column, fields, chunk);
        fields += taken;
        rows -= taken;
        if (taken < chunk) {
            // A field the run could not take, or a column that mixes types: one cell at a time.
            append_one(column, *fields);
            ++fields;
            --rows;
        }
    }
}

}  // namespace kelvra
