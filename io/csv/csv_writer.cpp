// CSV writing: every value is written so that the reader gives it back.
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "../../core/dataframe.h"
#include "../common/compressed_input.h"
#include "../common/row_writer.h"
#include "../common/text_output.h"
#include "../common/text_scan.h"

namespace {

using kelvra::CellSource;

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

// The most bytes the quoted form of a text of n bytes takes.
constexpr std::size_t quoted_room(std::size_t n) { return 2 * n + 2; }

char* write_quoted(char* out, std::string_view text) noexcept {
    *out++ = '"';
    while (!text.empty()) {
        // Each quote inside is doubled: copy up to and including it, then write it once more.
        const auto* quote = static_cast<const char*>(std::memchr(text.data(), '"', text.size()));
        const std::size_t run =
            quote == nullptr ? text.size() : static_cast<std::size_t>(quote - text.data()) + 1;
        std::memcpy(out, text.data(), run);
        out += run;
        if (quote != nullptr) *out++ = '"';
        text.remove_prefix(run);
    }
    *out++ = '"';
    return out;
}

bool needs_quotes(std::string_view text) {
    return kelvra::csv_needs_quotes(text.data(), text.size(), text.data() + text.size());
}

// In a one-column table an empty field would make an empty line, which the reader skips.
char* write_name(kelvra::TextOutput& output, char* out, std::string_view name, bool quote,
                 bool lone_column) {
    out = output.reserve(out, quoted_room(name.size()) + 1);
    if (quote || needs_quotes(name) || (lone_column && name.empty())) {
        return write_quoted(out, name);
    }
    std::memcpy(out, name.data(), name.size());
    return out + name.size();
}

struct CsvFormat {
    std::size_t columns;
    bool lone_column;

    std::size_t row_room() const {
        return columns * (kelvra::kCellRoom + 1) + 1 + kelvra::kCopySlack;
    }
    char* row_start(char* out, std::size_t) const { return out; }
    char* before_cell(char* out, std::size_t column) const {
        *out = ',';
        return out + (column != 0);
    }
    char* row_end(char* out, std::size_t) const {
        *out = '\n';
        return out + 1;
    }
    char* missing(char* out) const {
        if (!lone_column) return out;
        out[0] = '"';
        out[1] = '"';
        return out + 2;
    }
    char* boolean(char* out, bool v) const { return kelvra::write_bool_digit(out, v); }
    char* real(char* out, CellSource& source, double v) const {
        return source.doubles.write(out, v);
    }
    char* string(kelvra::TextOutput& output, char* out, const CellSource& source, std::size_t,
                 std::size_t row) const {
        const std::string_view text = source.cells.string_at(row);
        if (kelvra::csv_needs_quotes(text.data(), text.size(), kelvra::readable_end(text)) ||
            (lone_column && text.empty())) {
            out = output.reserve(out, quoted_room(text.size()) + row_room());
            return write_quoted(out, text);
        }
        out = output.reserve(out, text.size() + row_room());
        return kelvra::copy_cell(out, text);
    }
};

}  // namespace

void PyDataFrame::to_csv(const std::string& path) const {
    kelvra::TextOutput output(path);
    char* out = output.cursor();
    const std::vector<std::string> names = column_order;
    const bool lone_column = names.size() == 1;

    std::vector<kelvra::ColumnPtr> held;  // the columns stay alive while their storage is read
    std::vector<CellSource> columns;
    held.reserve(names.size());
    columns.reserve(names.size());
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i != 0) out = output.write(out, ",");
        // The reader drops a byte-order mark at the start of the file and takes one that begins
        // like a compressed file for one, so a first name that begins so is quoted.
        const bool first_quoted =
            i == 0 && (names[i].starts_with(kByteOrderMark) || kelvra::names_a_format(names[i]));
        out = write_name(output, out, names[i], first_quoted, lone_column);
        held.push_back(get_column(names[i]));
        columns.emplace_back(*held.back());
    }
    out = output.write(out, "\n");

    CsvFormat format{names.size(), lone_column};
    out = kelvra::write_rows(output, out, columns, num_rows, format);
    output.finish(out);
}
