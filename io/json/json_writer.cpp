// JSON writing: an array with one object per row, one row per line.
#include <cmath>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "../../core/dataframe.h"
#include "../common/row_writer.h"
#include "../common/text_output.h"
#include "../common/text_scan.h"
#include "../common/utf8.h"
#include "json_escape.h"

namespace {

using kelvra::CellSource;

// Text before a member of up to this many bytes is copied in one fixed-size move.
constexpr std::size_t kShortPrefix = 32;

struct JsonFormat {
    // Before each member: ", " before all but the first, then the quoted name and ": ". They lie
    // one after another in prefix_text, which ends in kShortPrefix bytes of padding.
    std::string prefix_text;
    std::vector<std::pair<std::size_t, std::size_t>> prefixes;  // offset and length of each
    const std::vector<std::string>* names;
    const std::string* path;
    std::size_t num_rows;
    std::size_t room;

    std::size_t row_room() const { return room; }
    char* row_start(char* out, std::size_t) const {
        std::memcpy(out, "  {", 3);
        return out + 3;
    }
    // The room of the cell after the prefix takes the bytes a short prefix copies too many.
    char* before_cell(char* out, std::size_t column) const {
        const auto [offset, length] = prefixes[column];
        const std::size_t copied = length <= kShortPrefix ? kShortPrefix : length;
        std::memcpy(out, prefix_text.data() + offset, copied);
        return out + length;
    }
    char* row_end(char* out, std::size_t row) const {
        if (row + 1 < num_rows) {
            std::memcpy(out, "},\n", 3);
            return out + 3;
        }
        std::memcpy(out, "}\n", 2);
        return out + 2;
    }
    // A row past the end of a shorter column has no cell; null keeps the object valid JSON.
    char* missing(char* out) const {
        std::memcpy(out, "null", 4);
        return out + 4;
    }
    char* boolean(char* out, bool v) const {
        if (v) {
            std::memcpy(out, "true", 4);
            return out + 4;
        }
        std::memcpy(out, "false", 5);
        return out + 5;
    }
    char* real(char* out, CellSource& source, double v) const {
        // JSON has no literal for NaN or the infinities.
        if (!std::isfinite(v)) [[unlikely]]
            return missing(out);
        return source.doubles.write(out, v);
    }
    char* string(kelvra::TextOutput& output, char* out, const CellSource& source,
                 std::size_t column, std::size_t row) const {
        const std::string_view text = source.cells.string_at(row);
        if (kelvra::json_plain_ascii(text.data(), text.size(), kelvra::readable_end(text)))
            [[likely]] {
            out = output.reserve(out, text.size() + 2 + room);
            *out++ = '"';
            out = kelvra::copy_cell(out, text);
            *out++ = '"';
            return out;
        }
        kelvra::require_utf8(text, *path, (*names)[column], row);
        out = output.reserve(out, kelvra::json_string_room(text.size()) + room);
        return kelvra::write_json_string(out, text);
    }
};

}  // namespace

void PyDataFrame::to_json(const std::string& path) const {
    kelvra::TextOutput output(path);
    char* out = output.cursor();

    JsonFormat format{{}, {}, &column_order, &path, num_rows, 0};
    std::vector<kelvra::ColumnPtr> held;  // the columns stay alive while their storage is read
    std::vector<CellSource> columns;
    format.prefixes.reserve(column_order.size());
    held.reserve(column_order.size());
    columns.reserve(column_order.size());
    format.room = 3 + 3 + kelvra::kCopySlack;  // "  {" and "},\n"
    static_assert(kShortPrefix <= kelvra::kCellRoom);
    for (const auto& name : column_order) {
        const std::size_t offset = format.prefix_text.size();
        if (!format.prefixes.empty()) format.prefix_text.append(", ");
        kelvra::require_utf8(name, path, name, std::nullopt);
        kelvra::append_json_string(format.prefix_text, name);
        format.prefix_text.append(": ");
        const std::size_t length = format.prefix_text.size() - offset;
        format.room += length + kelvra::kCellRoom;
        format.prefixes.emplace_back(offset, length);
        held.push_back(column_map.at(name));
        columns.emplace_back(*held.back());
    }
    format.prefix_text.append(kShortPrefix, '\0');

    out = output.write(out, "[\n");
    out = kelvra::write_rows(output, out, columns, num_rows, format);
    out = output.write(out, "]\n");
    output.finish(out);
}
