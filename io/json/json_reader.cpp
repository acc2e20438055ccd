// JSON reading: a top-level array of objects becomes a table with one row per object.
#include <simdjson.h>

#include <cstring>
#include <functional>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "../../core/column_builder.h"
#include "../../core/dataframe.h"
#include "../../core/pod_buffer.h"
#include "../common/file_io.h"
#include "../common/utf8.h"
#include "json_error.h"
#include "json_escape.h"

namespace {

namespace od = simdjson::ondemand;

// Deeper nesting is refused rather than followed, so that the recursion over nested values
// stays far from the end of the stack. The top-level array is level 1, a row object level 2.
constexpr std::size_t kMaxNesting = 1024;

// After this many rows the reader estimates the row count from the bytes consumed so far and
// reserves every column once, instead of letting each one grow step by step.
constexpr std::size_t kRowsBeforeReserve = 1024;

// The whole file followed by the zeroed padding simdjson reads past the end of the text. A large
// file's bytes lie in huge pages, and in memory a freed table gave back where there is some.
struct PaddedText {
    kelvra::PodBuffer<char> buffer;
    std::size_t size = 0;
    std::size_t capacity = 0;

    char* data() { return buffer.data(); }
    const char* data() const { return buffer.data(); }
    std::string_view view() const { return {data(), size}; }
};

PaddedText read_whole_file(const std::string& path) {
    kelvra::InputFile file(path, "Cannot open JSON file: ");
    PaddedText text;
    // One byte more than the expected size, so that a file read to the end needs no regrowth.
    std::size_t room = file.size_hint() + 1;
    text.buffer.reserve(room + simdjson::SIMDJSON_PADDING);
    for (;;) {
        if (text.size == room) {
            room *= 2;
            text.buffer.set_size(text.size);
            text.buffer.reserve(room + simdjson::SIMDJSON_PADDING);
        }
        const std::size_t got = file.read(text.data() + text.size, room - text.size);
        if (got == 0) break;
        text.size += got;
    }
    text.capacity = room + simdjson::SIMDJSON_PADDING;
    std::memset(text.data() + text.size, 0, text.capacity - text.size);
    return text;
}

constexpr std::string_view kBadNumber = "invalid number, or one outside the range of a double";
constexpr std::string_view kBadBoolean = "invalid literal (expected true or false)";
constexpr std::string_view kBadNull = "invalid literal (expected null)";

bool is_json_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

const char* type_name(od::json_type type) {
    switch (type) {
        case od::json_type::array:
            return "an array";
        case od::json_type::object:
            return "an object";
        case od::json_type::number:
            return "a number";
        case od::json_type::string:
            return "a string";
        case od::json_type::boolean:
            return "a boolean";
        case od::json_type::null:
            return "null";
        default:
            // Newer simdjson releases name a token that starts no value (a ']' after a trailing
            // comma, say) instead of failing; such a text is malformed.
            return nullptr;
    }
}

// What a simdjson error means for the person who wrote the file.
std::string describe(simdjson::error_code error) {
    switch (error) {
        case simdjson::TAPE_ERROR:
            return "malformed JSON (a missing or extra comma, colon, brace or bracket, or a value "
                   "that is not JSON)";
        case simdjson::INCOMPLETE_ARRAY_OR_OBJECT:
            return "the text ends inside an array or object";
        case simdjson::STRING_ERROR:
            return "invalid string (bad escape sequence)";
        case simdjson::NUMBER_ERROR:
            return std::string(kBadNumber);
        case simdjson::UTF8_ERROR:
            return "invalid UTF-8";
        case simdjson::UNESCAPED_CHARS:
            return "control character inside a string (it must be escaped)";
        case simdjson::UNCLOSED_STRING:
            return "string that is never closed";
        case simdjson::CAPACITY:
            return "file too large for the JSON parser";
        default:
            return simdjson::error_message(error);
    }
}

// One cell column being filled, with the name it was created under.
struct ColumnSlot {
    std::string name;
    kelvra::ColumnPtr column;
    // A name without quote or backslash is spelled the same inside the file, so a key can be
    // compared with it byte for byte before being unescaped.
    bool plain_name;
};

struct NameHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view name) const noexcept {
        return std::hash<std::string_view>{}(name);
    }
};

class JsonTableReader {
public:
    JsonTableReader(const std::string& path, const PaddedText& text)
        : path_(path), text_(text.view()), text_end_(text.data() + text.size) {
        simdjson::error_code error =
            parser_.iterate(text.data(), text.size, text.capacity).get(doc_);
        if (error != simdjson::SUCCESS) fail_unindexed(error);
    }

    PyDataFrame read() {
        od::json_type top{};
        check(doc_.type().get(top));
        if (top != od::json_type::array) {
            const char* const found = type_name(top);
            if (found == nullptr) fail(describe(simdjson::TAPE_ERROR));
            fail(std::string("the top-level value is ") + found + ", expected an array of objects");
        }
        od::array rows;
        simdjson::error_code error = doc_.get_array().get(rows);
        if (error == simdjson::INCOMPLETE_ARRAY_OR_OBJECT) {
            // The text must end with the bracket that closes the array: point at what it ends
            // with instead, a truncated value or content after the array.
            std::size_t last = text_.size();
            while (last > 0 && is_json_space(text_[last - 1])) --last;
            kelvra::throw_json_error(path_, text_, last - 1,
                                     "expected the text to end with the ']' that closes the "
                                     "top-level array");
        }
        check(error);
        for (auto row_result : rows) {
            od::value row;
            check(row_result.get(row));
            read_row(row);
        }
        if (doc_.current_location().error() == simdjson::SUCCESS) {
            fail("unexpected content after the top-level array");
        }
        return finish();
    }

private:
    // The byte the parser stands on, or the end of the text once it has consumed everything.
    std::size_t here() {
        const char* location = nullptr;
        if (doc_.current_location().get(location) != simdjson::SUCCESS) return text_.size();
        return static_cast<std::size_t>(location - text_.data());
    }

    [[noreturn]] void fail(std::string_view what) {
        kelvra::throw_json_error(path_, text_, here(), what);
    }

    [[noreturn]] void fail_at(const char* where, std::string_view what) {
        kelvra::throw_json_error(path_, text_, static_cast<std::size_t>(where - text_.data()),
                                 what);
    }

    // Unescaping consumes the string before it can fail, so its start is taken beforehand.
    std::string_view string_of(od::value& value) {
        const char* start = value.raw_json_token().data();
        std::string_view text;
        const simdjson::error_code error = value.get_string().get(text);
        if (error != simdjson::SUCCESS) [[unlikely]] {
            if (error == simdjson::MEMALLOC) throw std::bad_alloc();
            fail_at(start, describe(error));
        }
        return text;
    }

    std::string_view key_of(od::field& field) {
        const char* start = field.key().raw() - 1;
        std::string_view key;
        const simdjson::error_code error = field.unescaped_key().get(key);
        if (error != simdjson::SUCCESS) [[unlikely]] {
            if (error == simdjson::MEMALLOC) throw std::bad_alloc();
            fail_at(start, "invalid key: " + describe(error));
        }
        return key;
    }

    void check(simdjson::error_code error) {
        if (error != simdjson::SUCCESS) [[unlikely]] {
            if (error == simdjson::MEMALLOC) throw std::bad_alloc();
            fail(describe(error));
        }
    }

    // For a scalar whose first character already told its kind: any failure means that kind of
    // value is malformed, whatever code simdjson gives it.
    void check(simdjson::error_code error, std::string_view what) {
        if (error != simdjson::SUCCESS) [[unlikely]] {
            if (error == simdjson::MEMALLOC) throw std::bad_alloc();
            fail(what);
        }
    }

    // Faults found while indexing the text, before any value: locate them ourselves.
    [[noreturn]] void fail_unindexed(simdjson::error_code error) {
        if (error == simdjson::MEMALLOC) throw std::bad_alloc();
        std::size_t offset = text_.size();
        if (error == simdjson::UTF8_ERROR) {
            offset = kelvra::first_invalid_utf8(text_);
        } else if (error == simdjson::UNESCAPED_CHARS) {
            offset = kelvra::first_raw_control_in_string(text_);
        } else if (error == simdjson::UNCLOSED_STRING) {
            offset = kelvra::unclosed_string_start(text_);
        }
        kelvra::throw_json_error(path_, text_, offset, describe(error));
    }

    void read_row(od::value& row) {
        od::object object;
        const simdjson::error_code error = row.get_object().get(object);
        if (error == simdjson::INCORRECT_TYPE) {
            od::json_type type{};
            check(row.type().get(type));
            const char* const found = type_name(type);
            if (found == nullptr) fail(describe(simdjson::TAPE_ERROR));
            fail(std::string("each element of the top-level array must be an object, found ") +
                 found);
        }
        check(error);
        if (row_ == kRowsBeforeReserve) reserve_for_estimate();
        std::size_t position = 0;
        for (auto field_result : object) {
            od::field field;
            check(std::move(field_result).get(field));
            const std::size_t slot = slot_for(field, position++);
            read_cell(field.value(), slot);
        }
        ++row_;
    }

    // The column of the key at the given position in the row. Rows usually repeat the key order
    // of the row before, so that column is tried first, without unescaping or hashing the key.
    std::size_t slot_for(od::field& field, std::size_t position) {
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

    bool raw_key_is(const od::raw_json_string& key, const ColumnSlot& slot) const {
        if (!slot.plain_name) return false;
        const char* raw = key.raw();
        const std::size_t n = slot.name.size();
        // The comparison must not run past the text; a key ends with its quote inside it.
        if (static_cast<std::size_t>(text_end_ - raw) <= n) return false;
        return std::memcmp(raw, slot.name.data(), n) == 0 && raw[n] == '"';
    }

    std::size_t find_or_add(std::string_view key) {
        const auto it = index_.find(key);
        if (it != index_.end()) return it->second;
        const bool plain = key.find_first_of("\"\\") == std::string_view::npos;
        auto column = std::make_shared<kelvra::Column>();
        if (reserve_rows_ > 0) kelvra::ColumnBuilder(*column).reserve(reserve_rows_);
        slots_.push_back(ColumnSlot{std::string(key), std::move(column), plain});
        index_.emplace(std::string(key), slots_.size() - 1);
        return slots_.size() - 1;
    }

    void reserve_for_estimate() {
        const std::size_t consumed = here();
        if (consumed == 0 || consumed >= text_.size()) return;
        const double scale = static_cast<double>(text_.size()) / static_cast<double>(consumed);
        reserve_rows_ = static_cast<std::size_t>(static_cast<double>(row_) * scale * 1.05) + 16;
        for (ColumnSlot& slot : slots_) kelvra::ColumnBuilder(*slot.column).reserve(reserve_rows_);
    }

    // The column's cell for the current row, created (after padding any rows the column skipped
    // with missing cells) or, for a key repeated within the row, the earlier cell: the last
    // value wins.
    // The column of the slot, positioned for the current row: rows the column skipped are padded
    // with missing cells, and a key repeated within the row gives up its earlier cell, since the
    // last value wins.
    kelvra::ColumnBuilder column_for_row(std::size_t slot) {
        kelvra::ColumnBuilder column(*slots_[slot].column);
        const std::size_t size = slots_[slot].column->size();
        if (size > row_) {
            column.pop_back();
        } else {
            for (std::size_t i = size; i < row_; ++i) column.push_null();
        }
        return column;
    }

    void read_cell(od::value& value, std::size_t slot) {
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

    void expect_null(od::value& value) {
        bool is_null = false;
        check(value.is_null().get(is_null), kBadNull);
        if (!is_null) fail(kBadNull);
    }

    // Appends a nested value as compact JSON text (no whitespace outside strings), checking it
    // as fully as the values of a row: strings are re-escaped, numbers keep their own spelling.
    void append_compact(od::value& value, std::string& out, std::size_t depth) {
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
                    kelvra::append_json_string(out, key);
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
                kelvra::append_json_string(out, string_of(value));
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

    [[noreturn]] void fail_too_deep() {
        fail("nesting deeper than " + std::to_string(kMaxNesting) + " levels");
    }

    PyDataFrame finish() {
        PyDataFrame table;
        for (ColumnSlot& slot : slots_) {
            kelvra::ColumnBuilder column(*slot.column);
            for (std::size_t i = slot.column->size(); i < row_; ++i) column.push_null();
            column.finish();
            table.set_column(slot.name, std::move(slot.column));
        }
        return table;
    }

    const std::string& path_;
    std::string_view text_;
    const char* text_end_;
    od::parser parser_;
    od::document doc_;

    std::vector<ColumnSlot> slots_;
    std::unordered_map<std::string, std::size_t, NameHash, std::equal_to<>> index_;
    std::vector<std::size_t> predicted_;  // the column of each key position in the last row
    std::size_t row_ = 0;
    std::size_t reserve_rows_ = 0;
};

}  // namespace

PyDataFrame PyDataFrame::read_json(const std::string& path) {
    PaddedText text = read_whole_file(path);
    // A UTF-8 byte-order mark at the start is not part of the JSON text: drop it, so that
    // positions in messages count from the first character of the text itself.
    constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
    if (text.view().starts_with(kByteOrderMark)) {
        text.size -= kByteOrderMark.size();
        std::memmove(text.data(), text.data() + kByteOrderMark.size(), text.size);
        std::memset(text.data() + text.size, 0, kByteOrderMark.size());
    }
    const std::string_view view = text.view();
    bool blank = true;
    for (const char c : view) {
        if (!is_json_space(c)) {
            blank = false;
            break;
        }
    }
    if (blank) return PyDataFrame{};
    return JsonTableReader(path, text).read();
}
