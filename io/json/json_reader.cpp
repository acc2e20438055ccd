// JSON reading: a top-level array of objects becomes a table with one row per object. This file
// reads the text and walks the document; json_cells.cpp makes the cells.
#include <simdjson.h>

#include <cstring>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

#include "../../core/pod_buffer.h"
#include "../common/file_io.h"
#include "../common/utf8.h"
#include "json_error.h"
#include "json_table_reader.h"

namespace kelvra::json {

namespace {

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
    // Only the padding is zeroed: room the size hint overestimated is never touched.
    text.capacity = text.size + simdjson::SIMDJSON_PADDING;
    std::memset(text.data() + text.size, 0, simdjson::SIMDJSON_PADDING);
    return text;
}

// "an object", "a number", ...: nullptr for a token that starts no value.
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

}  // namespace

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

TableReader::TableReader(const std::string& path, const char* text, std::size_t size,
                         std::size_t capacity)
    : path_(path), text_(text, size), text_end_(text + size) {
    simdjson::error_code error = parser_.iterate(text, size, capacity).get(doc_);
    if (error != simdjson::SUCCESS) fail_unindexed(error);
}

PyDataFrame TableReader::read() {
    od::json_type top{};
    const simdjson::error_code type_error = doc_.type().get(top);
    if (type_error == simdjson::INCOMPLETE_ARRAY_OR_OBJECT) fail_if_content_after_top_level();
    check(type_error);
    if (top != od::json_type::array) fail_not_array(top);
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

// The byte the parser stands on, or the end of the text once it has consumed everything.
std::size_t TableReader::here() {
    const char* location = nullptr;
    if (doc_.current_location().get(location) != simdjson::SUCCESS) return text_.size();
    return static_cast<std::size_t>(location - text_.data());
}

void TableReader::fail(std::string_view what) {
    kelvra::throw_json_error(path_, text_, here(), what);
}

void TableReader::fail_at(const char* where, std::string_view what) {
    kelvra::throw_json_error(path_, text_, static_cast<std::size_t>(where - text_.data()), what);
}

// Unescaping consumes the string before it can fail, so its start is taken beforehand.
std::string_view TableReader::string_of(od::value& value) {
    const char* start = value.raw_json_token().data();
    std::string_view text;
    const simdjson::error_code error = value.get_string().get(text);
    if (error != simdjson::SUCCESS) [[unlikely]] {
        if (error == simdjson::MEMALLOC) throw std::bad_alloc();
        fail_at(start, describe(error));
    }
    return text;
}

std::string_view TableReader::key_of(od::field& field) {
    const char* start = field.key().raw() - 1;
    std::string_view key;
    const simdjson::error_code error = field.unescaped_key().get(key);
    if (error != simdjson::SUCCESS) [[unlikely]] {
        if (error == simdjson::MEMALLOC) throw std::bad_alloc();
        fail_at(start, "invalid key: " + describe(error));
    }
    return key;
}

void TableReader::check(simdjson::error_code error) {
    if (error != simdjson::SUCCESS) [[unlikely]] {
        if (error == simdjson::MEMALLOC) throw std::bad_alloc();
        fail(describe(error));
    }
}

void TableReader::check(simdjson::error_code error, std::string_view what) {
    if (error != simdjson::SUCCESS) [[unlikely]] {
        if (error == simdjson::MEMALLOC) throw std::bad_alloc();
        fail(what);
    }
}

// Faults found while indexing the text, before any value: locate them ourselves.
void TableReader::fail_unindexed(simdjson::error_code error) {
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

void TableReader::read_row(od::value& row) {
    od::object object;
    const simdjson::error_code error = row.get_object().get(object);
    if (error == simdjson::INCORRECT_TYPE) {
        od::json_type type{};
        check(row.type().get(type));
        const char* const found = type_name(type);
        if (found == nullptr) fail(describe(simdjson::TAPE_ERROR));
        throw std::invalid_argument(path_ + " holds a JSON array, not an array of objects: " +
                                    "element " + std::to_string(row_) + " (counting from 0), at " +
                                    json_position(text_, here()) + ", is " + found);
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

void TableReader::fail_too_deep() {
    fail("nesting deeper than " + std::to_string(kMaxNesting) + " levels");
}

// Some simdjson versions refuse a top-level array or object followed by more content as one that
// never closes: find where it closes ourselves (brackets inside strings do not count), so that the
// message points at the content after it whichever version reads the text.
void TableReader::fail_if_content_after_top_level() {
    std::size_t depth = 0;
    bool in_string = false;
    for (std::size_t i = 0; i < text_.size(); ++i) {
        const char c = text_[i];
        if (in_string) {
            if (c == '\\') {
                ++i;
            } else if (c == '"') {
                in_string = false;
            }
        } else if (c == '"') {
            in_string = true;
        } else if (c == '[' || c == '{') {
            ++depth;
        } else if ((c == ']' || c == '}') && depth > 0 && --depth == 0) {
            std::size_t next = i + 1;
            while (next < text_.size() && is_json_space(text_[next])) ++next;
            if (next < text_.size()) {
                kelvra::throw_json_error(path_, text_, next,
                                         "unexpected content after the top-level value");
            }
            return;
        }
    }
}

void TableReader::fail_not_array(od::json_type top) {
    const char* const found = type_name(top);
    if (found == nullptr) fail(describe(simdjson::TAPE_ERROR));
    switch (top) {
        case od::json_type::object: {
            od::value value;
            const simdjson::error_code error = doc_.get_value().get(value);
            if (error == simdjson::INCOMPLETE_ARRAY_OR_OBJECT) fail_if_content_after_top_level();
            check(error);
            check_value(value);
            break;
        }
        case od::json_type::number: {
            double unused = 0.0;
            check(doc_.get_double().get(unused), kBadNumber);
            break;
        }
        case od::json_type::string: {
            std::string_view unused;
            check(doc_.get_string().get(unused));
            break;
        }
        case od::json_type::boolean: {
            bool unused = false;
            check(doc_.get_bool().get(unused), kBadBoolean);
            break;
        }
        default: {
            bool is_null = false;
            check(doc_.is_null().get(is_null), kBadNull);
            if (!is_null) fail(kBadNull);
            break;
        }
    }
    if (doc_.current_location().error() == simdjson::SUCCESS) {
        fail("unexpected content after the top-level value");
    }
    // "a number" becomes "a JSON number", "an object" "a JSON object", "null" "JSON null".
    const std::string_view name(found);
    const std::size_t space = name.find(' ');
    const std::string held = space == std::string_view::npos
                                 ? "JSON " + std::string(name)
                                 : "a JSON " + std::string(name.substr(space + 1));
    throw std::invalid_argument(path_ + " holds " + held + ", not an array of objects");
}

}  // namespace kelvra::json

PyDataFrame PyDataFrame::read_json(const std::string& path) {
    using kelvra::json::is_json_space;
    kelvra::json::PaddedText text = kelvra::json::read_whole_file(path);
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
    return kelvra::json::TableReader(path, text.data(), text.size, text.capacity).read();
}
