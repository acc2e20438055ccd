// The cells of a JSON table: each row's keys matched to columns, each value made a cell.
#include <cstring>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>

#include "json_escape.h"
#include "json_table_reader.h"

namespace kelvra::json {

namespace {

// Where a value that is only checked goes: nowhere.
struct DroppedText {
    void push_back(char) {}
    void append(std::string_view) {}
};

}  // namespace

// The column of the key at the given position in the row. Rows usually repeat the key order of
// the row before, so that column is tried first, without unescaping or hashing the key.
std::size_t TableReader::slot_for(od::field& field, std::size_t position) {
    if (position < predicted_.size()) {
        const std::size_t guess = predicted_[position];
        if (raw_key_is(field.key(), slots_[guess])) return guess;
    }
    const std::size_t slot = find_or_add(key_of(field));
    if (position < predicted_.size()) {
        predicted_[position] = slot;
    } else {
        predicted_.push_back(slot);
    }
    return slot;
}

bool TableReader::raw_key_is(const od::raw_json_string& key, const ColumnSlot& slot) const {
    if (!slot.plain_name) return false;
    const char* raw = key.raw();
    const std::size_t n = slot.name.size();
    // The comparison must not run past the text; a key ends with its quote inside it.
    if (static_cast<std::size_t>(text_end_ - raw) <= n) return false;
    return std::memcmp(raw, slot.name.data(), n) == 0 && raw[n] == '"';
}

std::size_t TableReader::find_or_add(std::string_view key) {
    const auto it = index_.find(key);
    if (it != index_.end()) return it->second;
    const bool plain = key.find_first_of("\"\\") == std::string_view::npos;
    auto column = std::make_shared<Column>();
    if (reserve_rows_ > 0) ColumnBuilder(*column).reserve(reserve_rows_);
    slots_.push_back(ColumnSlot{std::string(key), std::move(column), plain});
    index_.emplace(std::string(key), slots_.size() - 1);
    return slots_.size() - 1;
}

void TableReader::reserve_for_estimate() {
    const std::size_t consumed = here();
    if (consumed == 0 || consumed >= text_.size()) return;
    const double scale = static_cast<double>(text_.size()) / static_cast<double>(consumed);
    reserve_rows_ = static_cast<std::size_t>(static_cast<double>(row_) * scale * 1.05) + 16;
    for (ColumnSlot& slot : slots_) ColumnBuilder(*slot.column).reserve(reserve_rows_);
}

// The column of the slot, positioned for the current row: rows the column skipped are padded
// with missing cells, and a key repeated within the row gives up its earlier cell, since the
// last value wins.
ColumnBuilder TableReader::column_for_row(std::size_t slot) {
    ColumnBuilder column(*slots_[slot].column);
    const std::size_t size = slots_[slot].column->size();
    if (size > row_) {
        column.pop_back();
    } else {
        for (std::size_t i = size; i < row_; ++i) column.push_null();
    }
    return column;
}

void TableReader::read_cell(od::value& value, std::size_t slot) {
    od::json_type type{};
    check(value.type().get(type));
    switch (type) {
        case od::json_type::number: {
            // A JSON integer within 64 bits stays an integer; a fraction, an exponent or a
            // larger integer reads as a double.
            std::int64_t integer = 0;
            if (value.get_int64().get(integer) == simdjson::SUCCESS) {
                column_for_row(slot).push_int(integer);
                return;
            }
            double real = 0.0;
            check(value.get_double().get(real), kBadNumber);
            column_for_row(slot).push_double(real);
            return;
        }
        case od::json_type::string: {
            column_for_row(slot).push_string(string_of(value));
            return;
        }
        case od::json_type::boolean: {
            bool flag = false;
            check(value.get_bool().get(flag), kBadBoolean);
            column_for_row(slot).push_bool(flag);
            return;
        }
        case od::json_type::null:
            expect_null(value);
            column_for_row(slot).push_null();
            return;
        default: {
            std::string text;
            append_compact(value, text, 3);
            column_for_row(slot).push_string(text);
            return;
        }
    }
}

void TableReader::expect_null(od::value& value) {
    bool is_null = false;
    check(value.is_null().get(is_null), kBadNull);
    if (!is_null) fail(kBadNull);
}

template <class Out>
void TableReader::append_compact(od::value& value, Out& out, std::size_t depth) {
    od::json_type type{};
    check(value.type().get(type));
    switch (type) {
        case od::json_type::array: {
            if (depth > kMaxNesting) fail_too_deep();
            od::array array;
            check(value.get_array().get(array));
            out.push_back('[');
            bool first = true;
            for (auto element_result : array) {
                od::value element;
                check(element_result.get(element));
                if (!first) out.push_back(',');
                first = false;
                append_compact(element, out, depth + 1);
            }
            out.push_back(']');
            return;
        }
        case od::json_type::object: {
            if (depth > kMaxNesting) fail_too_deep();
            od::object object;
            check(value.get_object().get(object));
            out.push_back('{');
            bool first = true;
            for (auto field_result : object) {
                od::field field;
                check(std::move(field_result).get(field));
                const std::string_view key = key_of(field);
                if (!first) out.push_back(',');
                first = false;
                if constexpr (std::is_same_v<Out, std::string>) append_json_string(out, key);
                out.push_back(':');
                append_compact(field.value(), out, depth + 1);
            }
            out.push_back('}');
            return;
        }
        case od::json_type::number: {
            std::string_view token = value.raw_json_token();
            double unused = 0.0;
            check(value.get_double().get(unused), kBadNumber);
            while (!token.empty() && is_json_space(token.back())) token.remove_suffix(1);
            out.append(token);
            return;
        }
        case od::json_type::string: {
            const std::string_view text = string_of(value);
            if constexpr (std::is_same_v<Out, std::string>) append_json_string(out, text);
            return;
        }
        case od::json_type::boolean: {
            bool flag = false;
            check(value.get_bool().get(flag), kBadBoolean);
            out.append(flag ? "true" : "false");
            return;
        }
        default:
            expect_null(value);
            out.append("null");
            return;
    }
}

void TableReader::check_value(od::value& value) {
    DroppedText dropped;
    append_compact(value, dropped, 1);
}

PyDataFrame TableReader::finish() {
    PyDataFrame table;
    for (ColumnSlot& slot : slots_) {
        ColumnBuilder column(*slot.column);
        for (std::size_t i = slot.column->size(); i < row_; ++i) column.push_null();
        column.finish();
        table.set_column(slot.name, std::move(slot.column));
    }
    return table;
}

}  // namespace kelvra::json
