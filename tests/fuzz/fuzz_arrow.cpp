// The Arrow import on arrays no exporter would make: the input describes a type (plain, the
// arrow.bool8 extension, dictionaries and unions nested a few levels, now and then one nested past
// the import's limit) and fills its buffers with its own bytes, as C structs made here. Every
// buffer is as large as its array's length says (the one thing a consumer must take on trust);
// what the buffers hold (offsets, indexes, type codes, views, sizes) is the input's. The import
// must read the array or refuse it with std::invalid_argument (or an integer out of range, or a
// text too long for a cell); one it reads must give the cells of a reading one row at a time.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "io/arrow/arrow_import.h"
#include "io/arrow/arrow_rows.h"

namespace {

// The input's bytes, read from the front; zeros once it runs out.
struct Input {
    const std::uint8_t* data;
    std::size_t size;
    std::size_t at = 0;

    std::uint8_t byte() { return at < size ? data[at++] : 0; }
    // Fills a buffer with the bytes that follow, over again from the start when they run out.
    void fill(std::vector<char>& out) {
        for (char& c : out) c = static_cast<char>(size == 0 ? 0 : data[at++ % size]);
    }
};

// Everything the structs point to.
struct Arena {
    std::deque<ArrowSchema> schemas;
    std::deque<ArrowArray> arrays;
    std::deque<std::vector<char>> bytes;
    std::deque<std::vector<const void*>> buffers;
    std::deque<std::vector<ArrowSchema*>> schema_lists;
    std::deque<std::vector<ArrowArray*>> array_lists;
    std::deque<std::string> texts;

    const char* text(std::string s) { return texts.emplace_back(std::move(s)).c_str(); }
    const void* buffer(Input& in, std::size_t size) {
        std::vector<char>& b = bytes.emplace_back(size);
        in.fill(b);
        return b.data();
    }
};

constexpr const char* kPlain[] = {"n", "c", "s", "i", "l", "C", "S", "I",
                                  "L", "e", "f", "g", "b", "u", "U", "vu"};
constexpr std::size_t kWidth[] = {0, 1, 2, 4, 8, 1, 2, 4, 8, 2, 4, 8, 0, 4, 8, 16};
constexpr std::size_t kPlainKinds = sizeof(kPlain) / sizeof(kPlain[0]);

std::string bool8_metadata() {
    const std::string key = "ARROW:extension:name";
    const std::string value = "arrow.bool8";
    const auto int32 = [](std::size_t v) {
        const auto n = static_cast<std::int32_t>(v);
        return std::string(reinterpret_cast<const char*>(&n), 4);
    };
    return int32(1) + int32(key.size()) + key + int32(value.size()) + value;
}

struct Made {
    ArrowSchema* schema;
    ArrowArray* array;
};

Made make(Arena& arena, Input& in, int depth, std::size_t length);

// Buffer 0: a validity bitmap or none, and the null count that goes with it.
void validity(Arena& arena, Input& in, ArrowArray& a, std::vector<const void*>& buffers) {
    const std::size_t total = static_cast<std::size_t>(a.offset + a.length);
    const std::uint8_t choice = in.byte();
    buffers.push_back(choice % 3 == 0 ? nullptr : arena.buffer(in, (total + 7) / 8));
    a.null_count = choice % 3 == 1 ? -1 : choice % 3 == 2 ? 1 : 0;
}

void plain(Arena& arena, Input& in, std::size_t kind, ArrowArray& a,
           std::vector<const void*>& buffers) {
    const std::size_t total = static_cast<std::size_t>(a.offset + a.length);
    if (kind == 0) return;  // the null type has no buffers
    validity(arena, in, a, buffers);
    if (kind == 12) {
        buffers.push_back(arena.buffer(in, (total + 7) / 8));
    } else if (kind == 13 || kind == 14) {
        // Offsets as the input gives them; the last one within a data buffer that long.
        std::vector<char>& offsets = arena.bytes.emplace_back((total + 1) * kWidth[kind]);
        in.fill(offsets);
        std::int64_t end = 0;
        std::memcpy(&end, offsets.data() + total * kWidth[kind], kWidth[kind]);
        if (kWidth[kind] == 4) end = static_cast<std::int32_t>(end);
        if (end > 512) {
            end %= 512;
            std::memcpy(offsets.data() + total * kWidth[kind], &end, kWidth[kind]);
        }
        buffers.push_back(offsets.data());
        const auto size = static_cast<std::size_t>(std::max<std::int64_t>(end, 0));
        buffers.push_back(size == 0 && in.byte() % 2 == 0 ? nullptr : arena.buffer(in, size));
    } else if (kind == 15) {
        buffers.push_back(arena.buffer(in, 16 * total));
        const std::size_t data_buffers = in.byte() % 3;
        std::vector<std::int64_t> sizes;
        for (std::size_t b = 0; b < data_buffers; ++b) {
            const std::size_t size = in.byte() % 64;
            sizes.push_back(static_cast<std::int64_t>(size));
            buffers.push_back(size == 0 && in.byte() % 2 == 0 ? nullptr : arena.buffer(in, size));
        }
        std::vector<char>& size_bytes = arena.bytes.emplace_back(8 * data_buffers);
        if (data_buffers != 0) std::memcpy(size_bytes.data(), sizes.data(), 8 * data_buffers);
        buffers.push_back(data_buffers == 0 ? nullptr : size_bytes.data());
    } else {
        buffers.push_back(arena.buffer(in, total * kWidth[kind]));
    }
}

Made make(Arena& arena, Input& in, int depth, std::size_t length) {
    ArrowSchema& s = arena.schemas.emplace_back();
    ArrowArray& a = arena.arrays.emplace_back();
    s.name = "";
    a.length = static_cast<std::int64_t>(length);
    a.offset = in.byte() % 4;
    const std::size_t total = static_cast<std::size_t>(a.offset) + length;
    std::vector<const void*>& buffers = arena.buffers.emplace_back();
    const std::uint8_t choice = in.byte();
    const std::size_t kind = depth >= 3 ? choice % kPlainKinds : choice % (kPlainKinds + 4);
    if (kind < kPlainKinds) {
        s.format = kPlain[kind];
        plain(arena, in, kind, a, buffers);
    } else if (kind == kPlainKinds) {  // arrow.bool8
        s.format = "c";
        s.metadata = arena.text(bool8_metadata());
        plain(arena, in, 1, a, buffers);
    } else if (kind == kPlainKinds + 1) {  // a dictionary of any index type
        const std::size_t index = 1 + in.byte() % 8;
        s.format = kPlain[index];
        plain(arena, in, index, a, buffers);
        const Made values = make(arena, in, depth + 1, in.byte() % 8);
        s.dictionary = values.schema;
        a.dictionary = values.array;
    } else {  // a union, dense or sparse
        const bool dense = kind == kPlainKinds + 2;
        const std::size_t n = 1 + in.byte() % 3;
        std::string format = dense ? "+ud:" : "+us:";
        std::vector<ArrowSchema*>& schemas = arena.schema_lists.emplace_back();
        std::vector<ArrowArray*>& arrays = arena.array_lists.emplace_back();
        std::vector<std::size_t> codes;
        for (std::size_t k = 0; k < n; ++k) {
            codes.push_back(k + (in.byte() % 2) * 5);
            // Piece by piece: gcc 12 warns falsely (-Wrestrict) on a prefix joined to a string.
            if (k != 0) format += ',';
            format += std::to_string(codes.back());
            const Made child = make(arena, in, depth + 1, dense ? in.byte() % 8 : total);
            schemas.push_back(child.schema);
            arrays.push_back(child.array);
        }
        s.format = arena.text(format);
        s.n_children = a.n_children = static_cast<std::int64_t>(n);
        s.children = schemas.data();
        a.children = arrays.data();
        // Mostly codes the union has, now and then any byte; offsets likewise mostly in range.
        std::vector<char>& types = arena.bytes.emplace_back(total);
        for (char& t : types) {
            const std::uint8_t b = in.byte();
            t = static_cast<char>(b % 8 == 7 ? b : codes[b % n]);
        }
        buffers.push_back(types.data());
        if (dense) {
            std::vector<char>& offsets = arena.bytes.emplace_back(4 * total);
            for (std::size_t i = 0; i < total; ++i) {
                const std::uint8_t b = in.byte();
                const std::int32_t at = b % 16 == 15 ? -1 : b % 9;
                std::memcpy(offsets.data() + 4 * i, &at, 4);
            }
            buffers.push_back(offsets.data());
        }
    }
    a.n_buffers = static_cast<std::int64_t>(buffers.size());
    a.buffers = buffers.empty() ? nullptr : buffers.data();
    return {&s, &a};
}

[[noreturn]] void fault(const std::string& what) {
    std::fprintf(stderr, "Arrow import: %s\n", what.c_str());
    std::abort();
}

// The schema nested past the import's limit: refused before any array is read.
void check_deep_nesting(Arena& arena) {
    ArrowSchema* inner = &arena.schemas.emplace_back();
    inner->format = "l";
    for (int d = 0; d <= kelvra::arrow::kMaxTypeDepth + 1; ++d) {
        ArrowSchema& outer = arena.schemas.emplace_back();
        outer.format = "+us:0";
        outer.n_children = 1;
        outer.children = arena.schema_lists.emplace_back(1, inner).data();
        inner = &outer;
    }
    try {
        (void)kelvra::arrow::import_type(*inner);
    } catch (const std::invalid_argument&) {
        return;
    }
    fault("a type nested past the limit was not refused");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Input in{data, size};
    Arena arena;
    const std::uint8_t first = in.byte();
    if (first == 0xff) {
        check_deep_nesting(arena);
        return 0;
    }
    // Now and then more rows than one run holds.
    const std::size_t length = first % 16 == 15 ? 4000 + in.byte() * 8 : first % 16;
    const Made made = make(arena, in, 0, length);
    if (first % 32 == 14) {
        // An offset and length past what the buffers could hold: refused before any is read.
        made.array->offset = std::numeric_limits<std::int64_t>::max() - 1;
    }
    std::optional<kelvra::arrow::ImportType> type;
    try {
        type = kelvra::arrow::import_type(*made.schema);
    } catch (const std::invalid_argument&) {
        return 0;
    }
    if (!type) return 0;
    kelvra::Column runs;
    try {
        kelvra::ColumnBuilder builder(runs);
        kelvra::arrow::append_array(builder, *type, *made.array);
        builder.finish();
    } catch (const std::invalid_argument&) {
        return 0;  // malformed (every such offset among them)
    } catch (const std::length_error&) {
        return 0;  // a text longer than a cell holds
    } catch (const kelvra::arrow::IntegerOutOfRange& e) {
        if (!e.has_row()) fault("an integer out of range without its row");
        return 0;
    }
    // The same rows one at a time, which an array that reads must allow too.
    if (first % 32 == 14) fault("an offset past 64 bits was not refused");
    kelvra::Column rows;
    kelvra::ColumnBuilder builder(rows);
    const auto checked = kelvra::arrow::detail::rows_of(*type, *made.array);
    kelvra::arrow::detail::push_cells(builder, checked, 0, checked.length);
    builder.finish();
    if (runs.size() != rows.size() || runs.size() != length) fault("length");
    for (std::size_t i = 0; i < length; ++i) {
        const auto a = kelvra::fuzz::cell_at(runs, i);
        const auto b = kelvra::fuzz::cell_at(rows, i);
        if (a.has_value() != b.has_value() || (a && !kelvra::fuzz::same_cell(*a, *b))) {
            fault("row " + std::to_string(i) + " differs from the reading one row at a time");
        }
    }
    return 0;
}
