// JSON writing: an array with one object per row, one row per line.
#include <cmath>
#include <string>
#include <vector>

#include "../core/dataframe.h"
#include "file_io.h"
#include "json_escape.h"
#include "number_text.h"
#include "utf8.h"

namespace {

// What one member of every row object needs, looked up once per call rather than per row.
struct MemberSource {
    std::string prefix;  // ", " before all but the first member, then the quoted name and ": "
    const std::string* name;
    const kelvra::Column* column;
};

void append_value(std::string& out, const MemberSource& member, std::size_t row,
                  const std::string& path) {
    const kelvra::Column& column = *member.column;
    // A row past the end of a shorter column has no cell; null keeps the object valid JSON.
    if (row >= column.size() || column.is_null(row)) {
        out.append("null");
        return;
    }
    column.values.visit(row, [&](auto v) {
        using T = decltype(v);
        if constexpr (std::is_same_v<T, std::int64_t>) {
            kelvra::append_int(out, v);
        } else if constexpr (std::is_same_v<T, double>) {
            // JSON has no literal for NaN or the infinities.
            if (std::isfinite(v)) {
                kelvra::append_double_lossless(out, v);
            } else {
                out.append("null");
            }
        } else if constexpr (std::is_same_v<T, std::string_view>) {
            kelvra::require_utf8(v, path, *member.name, row);
            kelvra::append_json_string(out, v);
        } else {
            out.append(v ? "true" : "false");
        }
    });
}

}  // namespace

void PyDataFrame::to_json(const std::string& path) const {
    kelvra::BufferedWriter writer(path);
    std::string& out = writer.text();

    std::vector<MemberSource> members;
    members.reserve(column_order.size());
    for (const auto& name : column_order) {
        MemberSource member{members.empty() ? std::string() : std::string(", "), &name, nullptr};
        kelvra::require_utf8(name, path, name, std::nullopt);
        kelvra::append_json_string(member.prefix, name);
        member.prefix.append(": ");
        member.column = column_map.at(name).get();
        members.push_back(std::move(member));
    }

    out.append("[\n");
    for (std::size_t row = 0; row < num_rows; ++row) {
        out.append("  {");
        for (const MemberSource& member : members) {
            out.append(member.prefix);
            append_value(out, member, row, path);
        }
        out.append(row + 1 < num_rows ? "},\n" : "}\n");
        writer.maybe_flush();
    }
    out.append("]\n");
    writer.finish();
}
