// The reader of a JSON text into a table: json_reader.cpp walks the document (the top-level
// array and its row objects, and every fault's message), json_cells.cpp builds the cells.
#pragma once

#include <simdjson.h>

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "../../core/column_builder.h"
#include "../../core/dataframe.h"

namespace kelvra::json {

namespace od = simdjson::ondemand;

// Deeper nesting is refused rather than followed, so that the recursion over nested values
// stays far from the end of the stack. The top-level array is level 1, a row object level 2.
inline constexpr std::size_t kMaxNesting = 1024;

// After this many rows the reader estimates the row count from the bytes consumed so far and
// reserves every column once, instead of letting each one grow step by step.
inline constexpr std::size_t kRowsBeforeReserve = 1024;

inline constexpr std::string_view kBadNumber =
    "invalid number, or one outside the range of a double";
inline constexpr std::string_view kBadBoolean = "invalid literal (expected true or false)";
inline constexpr std::string_view kBadNull = "invalid literal (expected null)";

inline bool is_json_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// What a simdjson error means for the person who wrote the file.
std::string describe(simdjson::error_code error);

// One cell column being filled, with the name it was created under.
struct ColumnSlot {
    std::string name;
    ColumnPtr column;
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

// text must be followed by simdjson's zeroed padding, up to `capacity` bytes.
class TableReader {
public:
    TableReader(const std::string& path, const char* text, std::size_t size, std::size_t capacity);
    PyDataFrame read();

private:
    // The document walk (json_reader.cpp).
    std::size_t here();
    [[noreturn]] void fail(std::string_view what);
    [[noreturn]] void fail_at(const char* where, std::string_view what);
    [[noreturn]] void fail_unindexed(simdjson::error_code error);
    [[noreturn]] void fail_too_deep();
    // A text whose top-level value is not an array: the value is checked through, so that a
    // malformed text is reported as such, and a well-formed one is named for what it holds.
    [[noreturn]] void fail_not_array(od::json_type top);
    void fail_if_content_after_top_level();
    void check(simdjson::error_code error);
    // For a scalar whose first character already told its kind: any failure means that kind of
    // value is malformed, whatever code simdjson gives it.
    void check(simdjson::error_code error, std::string_view what);
    std::string_view string_of(od::value& value);
    std::string_view key_of(od::field& field);
    void read_row(od::value& row);

    // The cells (json_cells.cpp).
    std::size_t slot_for(od::field& field, std::size_t position);
    bool raw_key_is(const od::raw_json_string& key, const ColumnSlot& slot) const;
    std::size_t find_or_add(std::string_view key);
    void reserve_for_estimate();
    ColumnBuilder column_for_row(std::size_t slot);
    void read_cell(od::value& value, std::size_t slot);
    void expect_null(od::value& value);
    // Appends a nested value as compact JSON text (no whitespace outside strings), checking it
    // as fully as the values of a row: strings are re-escaped, numbers keep their own spelling.
    // Out is std::string, or a sink that drops the text when the value is only checked.
    template <class Out>
    void append_compact(od::value& value, Out& out, std::size_t depth);
    // Checks a whole value as append_compact does, keeping nothing.
    void check_value(od::value& value);
    PyDataFrame finish();

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

}  // namespace kelvra::json
