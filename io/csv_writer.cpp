// CSV writing: every value is written so that the reader gives it back.
#include <string>
#include <string_view>
#include <vector>

#include "../core/dataframe.h"
#include "file_io.h"
#include "number_text.h"

namespace {

using kelvra::Column;

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

bool needs_quotes(std::string_view text) {
    for (const char c : text) {
        if (c == ',' || c == '"' || c == '\n' || c == '\r') return true;
    }
    return false;
}

void append_quoted(std::string& out, std::string_view text) {
    out += '"';
    for (const char c : text) {
        if (c == '"') out += '"';
        out += c;
    }
    out += '"';
}

// In a one-column table an empty field would make an empty line, which the reader skips.
void append_text(std::string& out, std::string_view text, bool lone_column) {
    if (needs_quotes(text) || (lone_column && text.empty())) {
        append_quoted(out, text);
    } else {
        out.append(text);
    }
}

void append_cell(std::string& out, const Column* column, std::size_t row, bool lone_column) {
    if (column == nullptr || row >= column->size() || column->null_mask[row]) {
        if (lone_column) out.append("\"\"");
        return;
    }
    column->values.visit(row, [&](auto v) {
        using T = decltype(v);
        if constexpr (std::is_same_v<T, std::int64_t>) {
            kelvra::append_int(out, v);
        } else if constexpr (std::is_same_v<T, double>) {
            kelvra::append_double_lossless(out, v);
        } else if constexpr (std::is_same_v<T, std::string_view>) {
            append_text(out, v, lone_column);
        } else {
            out += v ? '1' : '0';
        }
    });
}

}  // namespace

void PyDataFrame::to_csv(const std::string& path) const {
    kelvra::BufferedWriter writer(path);
    std::string& out = writer.text();
    const std::vector<std::string> names = column_order;
    const bool lone_column = names.size() == 1;

    std::vector<kelvra::ColumnPtr> columns;
    columns.reserve(names.size());
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i != 0) out += ',';
        // The reader drops a byte-order mark at the start of the file, so a first name that
        // begins with one is quoted to keep it.
        if (i == 0 && names[i].starts_with(kByteOrderMark)) {
            append_quoted(out, names[i]);
        } else {
            append_text(out, names[i], lone_column);
        }
        columns.push_back(get_column(names[i]));
    }
    out += '\n';

    for (std::size_t row = 0; row < num_rows; ++row) {
        for (std::size_t i = 0; i < columns.size(); ++i) {
            if (i != 0) out += ',';
            append_cell(out, columns[i].get(), row, lone_column);
        }
        out += '\n';
        writer.maybe_flush();
    }
    writer.finish();
}
