#include "fuzz_support.h"

#include <unistd.h>

#include <algorithm>
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

namespace {

std::uint32_t crc32_of(const std::uint8_t* data, std::size_t size) {
    std::uint32_t crc = 0xFFFFFFFFu;
    for (std::size_t i = 0; i < size; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

void append_le32(std::string& out, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>(value >> (8 * i)));
}

// One gzip member holding the bytes in stored (uncompressed) deflate blocks.
void append_gzip_member(std::string& out, const std::uint8_t* data, std::size_t size) {
    out.append("\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\xff", 10);
    std::size_t at = 0;
    do {
        const std::size_t n = std::min<std::size_t>(size - at, 0xFFFF);
        out.push_back(at + n == size ? 1 : 0);  // the last block's flag, block type 0
        const auto len = static_cast<std::uint16_t>(n);
        const auto nlen = static_cast<std::uint16_t>(~len);
        out.push_back(static_cast<char>(len & 0xFF));
        out.push_back(static_cast<char>(len >> 8));
        out.push_back(static_cast<char>(nlen & 0xFF));
        out.push_back(static_cast<char>(nlen >> 8));
        out.append(reinterpret_cast<const char*>(data + at), n);
        at += n;
    } while (at < size);
    append_le32(out, crc32_of(data, size));
    append_le32(out, static_cast<std::uint32_t>(size));
}

// Bytes that a reader takes for a compressed file of its own: not wrapped once more.
bool starts_like_compressed(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return false;
    const std::uint8_t a = data[0], b = data[1];
    return (a == 0x1f && b == 0x8b) || (a == 0x28 && b == 0xb5) || (a == 'P' && b == 'K') ||
           (a == 'B' && b == 'Z') || a == 0xfd;
}

// The bytes as two gzip members (split in the middle) must read as the bytes themselves do: the
// same table, or a fault reported.
void require_same_when_compressed(const std::uint8_t* data, std::size_t size, const char* format,
                                  Reader read, const PyDataFrame* table) {
    if (starts_like_compressed(data, size)) return;
    std::string stored;
    append_gzip_member(stored, data, size / 2);
    append_gzip_member(stored, data + size / 2, size - size / 2);
    const TempFile compressed(std::string("in.gz.") + format);
    compressed.write(reinterpret_cast<const std::uint8_t*>(stored.data()), stored.size());
    try {
        const PyDataFrame decoded = read(compressed.path());
        if (table == nullptr) {
            std::fprintf(stderr, "the gzip-compressed input read, the input itself did not\n");
            std::abort();
        }
        require_same(*table, decoded, "gzip");
    } catch (const std::invalid_argument& error) {
        if (table != nullptr) {
            std::fprintf(stderr, "the gzip-compressed input failed: %s\n", error.what());
            std::abort();
        }
    }
}

}  // namespace

int read_write_read(const std::uint8_t* data, std::size_t size, const char* format, Reader read,
                    Writer write) {
    const TempFile input(std::string("in.") + format), output(std::string("out.") + format);
    input.write(data, size);
    PyDataFrame table;
    try {
        table = read(input.path());
    } catch (const std::invalid_argument&) {
        // Malformed input is reported, which is what it should do.
        require_same_when_compressed(data, size, format, read, nullptr);
        return 0;
    }
    require_same_when_compressed(data, size, format, read, &table);
    (table.*write)(output.path());
    require_same(table, read(output.path()), format);
    return 0;
}

}  // namespace kelvra::fuzz
