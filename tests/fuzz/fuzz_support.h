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

}  // namespace kelvra::fuzz
