// Shared pieces of the fuzzers: the input as a temporary file, cell access and table comparison.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "core/dataframe.h"

namespace kelvra::fuzz {

// A file holding the given bytes, removed when the object goes.
class TempFile {
public:
    explicit TempFile(const std::string& tag);
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    ~TempFile();
    void write(const std::uint8_t* data, std::size_t size) const;
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// The cell of a column at row i, empty when it is missing or past the column's end. Everything
// the fuzzers know of a column's storage goes through here.
std::optional<CellValue> cell_at(const Column& column, std::size_t i);

// Same type and value; doubles by bits, any NaN equal to any NaN.
bool same_cell(const CellValue& a, const CellValue& b);

// Empty when the tables hold the same names, order, shape and cells (type and value; doubles
// by bits, any NaN equal to any NaN); otherwise the first difference.
std::string table_difference(const PyDataFrame& a, const PyDataFrame& b);

// Aborts with the difference printed, so that libFuzzer saves the input.
void require_same(const PyDataFrame& first, const PyDataFrame& again, const char* what);

using Reader = PyDataFrame (*)(const std::string&);
using Writer = void (PyDataFrame::*)(const std::string&) const;

// The body of a reader's fuzz target. Malformed input may raise std::invalid_argument; any other
// exception, a crash, a sanitizer report or a hang is a fault. A table that reads is written and
// read again, and must come back the same; the input as gzip members must read as the input does
// (a compressed input itself is decoded as the readers decode any file).
int read_write_read(const std::uint8_t* data, std::size_t size, const char* format, Reader read,
                    Writer write);

}  // namespace kelvra::fuzz
