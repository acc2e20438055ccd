#include "fuzz_support.h"

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>

namespace kelvra::fuzz {

TempFile::TempFile(const std::string& tag) {
    const char* dir = std::getenv("TMPDIR");
    path_ =
        std::string(dir ? dir : "/tmp") + "/kelvra-fuzz-" + std::to_string(::getpid()) + "-" + tag;
}

TempFile::~TempFile() { std::remove(path_.c_str()); }

void TempFile::write(const std::uint8_t* data, std::size_t size) const {
    std::ofstream out(path_, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    if (!out) std::abort();
}

std::optional<CellValue> cell_at(const Column& column, std::size_t i) {
    if (i >= column.size() || column.is_null(i)) return std::nullopt;
    return column.cell(i);
}

bool same_cell(const CellValue& a, const CellValue& b) {
    if (a.index() != b.index()) return false;
    if (a.index() == kDouble) {
        const double x = std::get<kDouble>(a), y = std::get<kDouble>(b);
        if (std::isnan(x) || std::isnan(y)) return std::isnan(x) && std::isnan(y);
        return std::memcmp(&x, &y, sizeof x) == 0;
    }
    return a == b;
}

std::string table_difference(const PyDataFrame& a, const PyDataFrame& b) {
    if (a.column_order != b.column_order) return "column names differ";
    if (a.shape() != b.shape()) {
        return "shape (" + std::to_string(a.num_rows) + ", " + std::to_string(a.column_map.size()) +
               ") vs (" + std::to_string(b.num_rows) + ", " + std::to_string(b.column_map.size()) +
               ")";
    }
    for (const auto& name : a.column_order) {
        const auto ca = a.get_column(name), cb = b.get_column(name);
        if (ca->size() != cb->size()) return "length of column '" + name + "' differs";
        for (std::size_t i = 0; i < ca->size(); ++i) {
            const auto x = cell_at(*ca, i), y = cell_at(*cb, i);
            if (x.has_value() != y.has_value() || (x && !same_cell(*x, *y))) {
                return "column '" + name + "' row " + std::to_string(i) + " differs";
            }
        }
    }
    return {};
}

void require_same(const PyDataFrame& first, const PyDataFrame& again, const char* what) {
    const std::string diff = table_difference(first, again);
    if (diff.empty()) return;
    std::fprintf(stderr, "%s round trip changed the table: %s\n", what, diff.c_str());
    std::abort();
}

int read_write_read(const std::uint8_t* data, std::size_t size, const char* format, Reader read,
                    Writer write) {
    const TempFile input(std::string("in.") + format), output(std::string("out.") + format);
    input.write(data, size);
    PyDataFrame table;
    try {
        table = read(input.path());
    } catch (const std::invalid_argument&) {
        return 0;  // malformed input is reported, which is what it should do
    }
    (table.*write)(output.path());
    require_same(table, read(output.path()), format);
    return 0;
}

}  // namespace kelvra::fuzz
