// Shared pieces of the reader fuzzers: the input as a temporary file, and table comparison.
#pragma once

#include <cstddef>
#include <cstdint>
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

// Empty when the tables hold the same names, order, shape and cells (type and value; doubles
// by bits, any NaN equal to any NaN); otherwise the first difference.
std::string table_difference(const PyDataFrame& a, const PyDataFrame& b);

// Aborts with the difference printed, so that libFuzzer saves the input.
void require_same(const PyDataFrame& first, const PyDataFrame& again, const char* what);

using Reader = PyDataFrame (*)(const std::string&);
using Writer = void (PyDataFrame::*)(const std::string&) const;

// The body of a reader's fuzz target. Malformed input may raise std::invalid_argument; any other
// exception, a crash, a sanitizer report or a hang is a fault. A table that reads is written and
// read again, and must come back the same.
int read_write_read(const std::uint8_t* data, std::size_t size, const char* format, Reader read,
                    Writer write);

}  // namespace kelvra::fuzz
