// head(n) and the fixed-width text table it shows.
#include <optional>
#include <ostream>

#include "../text/number_writing.h"
#include "column_view.h"
#include "dataframe.h"

namespace {

constexpr std::size_t kFieldWidth = 12;
constexpr std::size_t kMaxPrintedRows = 10;

// Appends text right-aligned in a field of kFieldWidth bytes; longer text is never cut.
void append_field(std::string& out, std::string_view text) {
    if (text.size() < kFieldWidth) out.append(kFieldWidth - text.size(), ' ');
    out.append(text);
}

void append_cell(std::string& out, const kelvra::ColumnView* column, std::size_t row) {
    if (column == nullptr || row >= column->size()) {
        out.append(kFieldWidth, ' ');
        return;
    }
    if (column->missing(row)) {
        append_field(out, "NaN");
        return;
    }
    char buf[kelvra::kNumberTextMax];
    column->visit(row, [&](auto v) {
        using T = decltype(v);
        if constexpr (std::is_same_v<T, std::int64_t>) {
            append_field(out, {buf, kelvra::format_int(buf, v)});
        } else if constexpr (std::is_same_v<T, double>) {
            append_field(out, {buf, kelvra::format_double_display(buf, v)});
        } else if constexpr (std::is_same_v<T, std::string_view>) {
            append_field(out, v);
        } else {
            append_field(out, v ? "1" : "0");
        }
    });
}

}  // namespace

PyDataFrame PyDataFrame::head(std::size_t n) const {
    if (n >= num_rows) return *this;
    kelvra::RowIndexList rows;
    rows.reserve(n);
    for (std::size_t i = 0; i < n; ++i) rows.push_back(i);
    return take_rows(rows);
}

std::string PyDataFrame::render() const {
    if (column_map.empty()) return "Empty DataFrame\n";
    std::string out;
    std::vector<std::optional<kelvra::ColumnView>> columns;
    columns.reserve(column_order.size());
    for (const auto& name : column_order) {
        const auto it = column_map.find(name);
        if (it == column_map.end()) {
            columns.emplace_back();
        } else {
            columns.emplace_back(*it->second);
        }
    }
    for (std::size_t j = 0; j < column_order.size(); ++j) {
        if (j) out += ' ';
        append_field(out, column_order[j]);
    }
    out += '\n';
    for (std::size_t j = 0; j < column_order.size(); ++j) {
        if (j) out += ' ';
        out.append(kFieldWidth, '-');
    }
    out += '\n';
    const std::size_t shown = std::min(num_rows, kMaxPrintedRows);
    for (std::size_t row = 0; row < shown; ++row) {
        for (std::size_t j = 0; j < columns.size(); ++j) {
            if (j) out += ' ';
            append_cell(out, columns[j] ? &*columns[j] : nullptr, row);
        }
        out += '\n';
    }
    out += "\nShape: (";
    out += std::to_string(num_rows);
    out += ", ";
    out += std::to_string(column_map.size());
    out += ")\n";
    return out;
}

void PyDataFrame::print(std::ostream& out) const { out << render(); }
