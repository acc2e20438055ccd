// Dictionaries and unions: the values their rows refer to decoded once, each by the runs of its
// own type, then gathered by each row's index. Numbers come over as payloads; a dictionary's
// strings as the decoded cells, which share the decoded texts' buffers; a union's strings straight
// from its child.
#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>

#include "arrow_rows.h"

namespace kelvra::arrow::detail {

namespace {

// At most how many more values than rows are decoded: beyond it (a short slice of a large
// dictionary) the rows go one at a time.
constexpr std::size_t kSpareValues = 4096;
// Up to how many string values get a table of their cells renumbered for the column.
constexpr std::size_t kTableCells = 1 << 16;

// Positions [lo, hi) of an array (counting from its offset), decoded into a column of their own.
struct Decoded {
    Column column;
    std::size_t lo = 0;
    std::optional<CellType> type;  // every present cell's; nothing when none or mixed
    const std::uint64_t* payloads = nullptr;
    const std::uint64_t* missing = nullptr;  // the missing words, nullptr when none
    const PackedString* cells = nullptr;
    const StringStore* strings = nullptr;
    // Once its buffers are the column's: where they start among the column's buffers, and for
    // few values (a dictionary's) their cells renumbered once.
    std::optional<std::uint32_t> base;
    std::vector<PackedString> table;
    // A union's child of strings is not decoded: its texts go straight to the column.
    const Rows* text = nullptr;

    Text text_of(std::size_t p) const {
        switch (text->type->kind) {
            case Kind::kString:
                return offset_text<std::int32_t>(*text, text->offset + p);
            case Kind::kLargeString:
                return offset_text<std::int64_t>(*text, text->offset + p);
            default:
                return view_text(*text, text->offset + p);
        }
    }

    // Cell p as one of the column's, written straight to its slot (a cell put together on the
    // stack and then copied whole would wait for the pieces' stores): a long text's buffer index,
    // in the cell's second 8 bytes, raised by the base (the sum stays below 2**32, which
    // share_string_buffers checks).
    void put_shared(PackedString* out, std::size_t p) const noexcept {
        if (!table.empty()) {
            std::memcpy(static_cast<void*>(out), table.data() + p, sizeof *out);
            return;
        }
        std::uint64_t words[2];
        std::memcpy(words, cells + p, sizeof words);
        words[1] += static_cast<std::uint32_t>(words[0]) > PackedString::kInlineMax ? *base : 0;
        std::memcpy(static_cast<void*>(out), words, sizeof words);
    }
    PackedString shared(std::size_t p) const noexcept {
        PackedString out;
        put_shared(&out, p);
        return out;
    }
    bool absent(std::size_t p) const noexcept {
        if (text != nullptr) return !text->valid(p);
        return missing != nullptr && ((missing[p / 64] >> (p % 64)) & 1u) != 0;
    }
};

// The decoded values, or nothing when they cannot be gathered: an unsigned value out of range
// among them (the rows that name it raise, one at a time), or values of several types.
std::unique_ptr<Decoded> decode(const Rows& rows, std::size_t lo, std::size_t hi) {
    auto out = std::make_unique<Decoded>();
    ArrowArray slice = *rows.array;
    slice.release = nullptr;  // a view of the array, which stays its owner's
    slice.offset = static_cast<std::int64_t>(rows.offset + lo);
    slice.length = static_cast<std::int64_t>(hi - lo);
    if (slice.null_count != 0) slice.null_count = -1;
    ColumnBuilder builder(out->column);
    try {
        append_rows(builder, rows_of(*rows.type, slice));
    } catch (const IntegerOutOfRange&) {
        return nullptr;
    }
    builder.finish();
    out->lo = lo;
    const ColumnView view(out->column);
    if (!view.any_present() || !view.single_type()) return nullptr;
    out->type = view.single_type();
    out->payloads = view.payloads();
    out->missing = view.missing_words();
    if (out->type == kString) {
        out->cells = view.strings().cells();
        out->strings = view.strings().store();
    }
    return out;
}

// Which decoded values the n rows of a chunk take: source[k] and its position there, missing
// bits (of the row or of its value) and the set of the present values' types.
struct Picks {
    std::array<std::uint8_t, kChunk> source;
    std::array<std::size_t, kChunk> position;
    ChunkBits missing;
    unsigned types = 0;
};

void share(ColumnBuilder& column, const std::vector<std::unique_ptr<Decoded>>& sources) {
    for (const auto& s : sources) {
        if (!s || s->type != kString || s->base || s->text != nullptr) continue;
        s->base = column.share_string_buffers(*s->strings);
        const std::size_t n = s->strings->cells.size();
        if (n <= kTableCells) {
            std::vector<PackedString> table(n);
            for (std::size_t p = 0; p < n; ++p) table[p] = s->shared(p);
            s->table = std::move(table);
        }
    }
}

// The chunk's rows written as one run where the column's layout allows; false when they must go
// one at a time.
bool write_picks(ColumnBuilder& column, const std::vector<std::unique_ptr<Decoded>>& sources,
                 const Picks& picks, std::size_t n) {
    const auto present = [&picks](std::size_t k) { return !bit_set(picks.missing, k); };
    if (std::has_single_bit(picks.types) && picks.types != (1u << kString)) {
        const auto type = static_cast<CellType>(std::countr_zero(picks.types));
        if (std::uint64_t* const slots = column.number_run(type, n)) {
            for (std::size_t k = 0; k < n; ++k) {
                slots[k] = present(k) ? sources[picks.source[k]]->payloads[picks.position[k]] : 0;
            }
            column.commit_number_run(type, n, picks.missing.data(), true);
            return true;
        }
    }
    if (picks.types == (1u << kString)) {
        if (std::optional<ColumnBuilder::StringRun> run = column.string_run(n)) {
            share(column, sources);
            for (std::size_t k = 0; k < n; ++k) {
                const Decoded& from = *sources[picks.source[k]];
                if (!present(k)) {
                    run->cells[k] = PackedString{};
                } else if (from.text != nullptr) {
                    const Text text = from.text_of(picks.position[k]);
                    run->packer.pack(&run->cells[k], text.text, text.readable);
                } else {
                    from.put_shared(&run->cells[k], picks.position[k]);
                }
            }
            column.commit_string_run(n, picks.missing.data());
            return true;
        }
    }
    std::optional<ColumnBuilder::MixedRun> run = column.mixed_run(n);
    if (!run || ((picks.types & (1u << kString)) != 0 && !run->strings)) return false;
    if (run->strings) share(column, sources);
    for (std::size_t k = 0; k < n; ++k) {
        if (!present(k)) {
            run->payloads[k] = 0;
            run->types.set(k, kInt);
            continue;
        }
        const Decoded& from = *sources[picks.source[k]];
        const std::size_t p = picks.position[k];
        run->types.set(k, *from.type);
        if (*from.type != kString) {
            run->payloads[k] = from.payloads[p];
        } else if (from.text != nullptr) {
            const Text text = from.text_of(p);
            run->payloads[k] = run->strings->append(text.text, text.readable);
        } else {
            run->payloads[k] = run->strings->append_cell(from.shared(p));
        }
    }
    column.commit_mixed_run(n, picks.missing.data());
    return true;
}

// Notes that row k takes position p of source s.
void pick(Picks& picks, const Decoded& from, std::size_t s, std::size_t k, std::size_t p) {
    picks.source[k] = static_cast<std::uint8_t>(s);
    picks.position[k] = p - from.lo;
    if (from.absent(p - from.lo)) {
        set_bit(picks.missing, k);
    } else {
        picks.types |= 1u << *from.type;
    }
}

// The rows chunk by chunk: fill(start, n, picks) says what each row takes.
template <class Fill>
void gather(ColumnBuilder& column, const Rows& rows,
            const std::vector<std::unique_ptr<Decoded>>& sources, Fill fill) {
    const std::size_t total = column.size() + rows.length;
    // On the heap: values nested in values gather in turn.
    const auto picks = std::make_unique<Picks>();
    for (std::size_t start = 0; start < rows.length; start += kChunk) {
        const std::size_t n = std::min(kChunk, rows.length - start);
        fill(start, n, *picks);
        if (!write_picks(column, sources, *picks, n)) push_cells(column, rows, start, n);
        if (start == 0 && rows.length > n) column.reserve(total);
    }
}

template <class Stored>
bool gather_dictionary(ColumnBuilder& column, const Rows& rows) {
    const Rows& values = rows.children[0];
    const void* indexes = rows.buffer(1);
    const auto index = [indexes](std::size_t i) {
        // Negative indexes become 2**63 or more, past every dictionary's end.
        return static_cast<std::uint64_t>(static_cast<std::int64_t>(load<Stored>(indexes, i)));
    };
    // The present rows' indexes: checked, and the range of values they need.
    std::uint64_t lo = std::numeric_limits<std::uint64_t>::max();
    std::uint64_t hi = 0;
    bool any = false;
    if (rows.validity == nullptr) {
        for (std::size_t i = rows.offset; i < rows.offset + rows.length; ++i) {
            lo = std::min(lo, index(i));
            hi = std::max(hi, index(i));
        }
        any = true;
    } else {
        for (std::size_t row = 0; row < rows.length; ++row) {
            if (!rows.valid(row)) continue;
            const std::uint64_t at = index(rows.offset + row);
            lo = std::min(lo, at);
            hi = std::max(hi, at);
            any = true;
        }
    }
    if (!any) return false;
    if (hi >= values.length) malformed("a dictionary index points past the end of its values");
    if (hi - lo >= rows.length + kSpareValues) return false;
    std::vector<std::unique_ptr<Decoded>> sources;
    sources.push_back(decode(values, lo, hi + 1));
    if (!sources[0]) return false;
    const Decoded& from = *sources[0];
    const std::uint64_t last = hi - lo;
    const std::size_t total = column.size() + rows.length;
    for (std::size_t start = 0; start < rows.length; start += kChunk) {
        const std::size_t n = std::min(kChunk, rows.length - start);
        const std::size_t first = rows.offset + start;
        ChunkBits missing;
        chunk_missing(rows, start, n, missing);
        // A missing row's index may be anything: it reads value 0 instead. Present ones were
        // checked above; the clamp keeps the read inside the values all the same.
        const auto position = [&](std::size_t k) -> std::size_t {
            return bit_set(missing, k) ? 0 : std::min(index(first + k) - lo, last);
        };
        bool done = false;
        if (*from.type != kString) {
            if (std::uint64_t* const slots = column.number_run(*from.type, n)) {
                if (rows.validity == nullptr) {
                    for (std::size_t k = 0; k < n; ++k) {
                        slots[k] = from.payloads[std::min(index(first + k) - lo, last)];
                    }
                } else {
                    for (std::size_t k = 0; k < n; ++k) {
                        const std::uint64_t keep = bit_set(missing, k) ? 0 : ~std::uint64_t{0};
                        slots[k] = from.payloads[position(k)] & keep;
                    }
                }
                done = true;
            }
        } else if (std::optional<ColumnBuilder::StringRun> run = column.string_run(n)) {
            share(column, sources);
            for (std::size_t k = 0; k < n; ++k) {
                if (bit_set(missing, k)) {
                    run->cells[k] = PackedString{};
                } else {
                    from.put_shared(&run->cells[k], position(k));
                }
            }
            done = true;
        }
        if (done) {
            if (from.missing != nullptr) {
                for (std::size_t k = 0; k < n; ++k) {
                    if (!bit_set(missing, k) && from.absent(position(k))) set_bit(missing, k);
                }
            }
            if (*from.type != kString) {
                column.commit_number_run(*from.type, n, missing.data(), true);
            } else {
                column.commit_string_run(n, missing.data());
            }
        } else {
            push_cells(column, rows, start, n);
        }
        if (start == 0 && rows.length > n) column.reserve(total);
    }
    return true;
}

bool gather_union(ColumnBuilder& column, const Rows& rows) {
    const bool dense = rows.type->kind == Kind::kDenseUnion;
    const std::size_t children = rows.children.size();
    const auto child_of = [&rows](std::size_t i) {
        const auto code = load<std::int8_t>(rows.buffer(0), i);
        const int k = code < 0 ? -1 : rows.type->child_of_code[static_cast<std::size_t>(code)];
        if (k < 0) malformed("a union row has a type code that no child has");
        return static_cast<std::size_t>(k);
    };
    const auto position_of = [&rows, dense](std::size_t i, std::size_t child) {
        const std::int64_t at =
            dense ? load<std::int32_t>(rows.buffer(1), i) : static_cast<std::int64_t>(i);
        return child_position(at, rows.children[child].length, "a union row");
    };
    // Each child's range of positions that rows take, checked.
    std::vector<std::size_t> lo(children, std::numeric_limits<std::size_t>::max());
    std::vector<std::size_t> hi(children, 0);
    for (std::size_t i = rows.offset; i < rows.offset + rows.length; ++i) {
        const std::size_t k = child_of(i);
        const std::size_t p = position_of(i, k);
        lo[k] = std::min(lo[k], p);
        hi[k] = std::max(hi[k], p + 1);
    }
    for (std::size_t k = 0; k < children; ++k) {
        if (hi[k] > lo[k] && hi[k] - lo[k] > rows.length + kSpareValues) return false;
    }
    std::vector<std::unique_ptr<Decoded>> sources(children);
    for (std::size_t k = 0; k < children; ++k) {
        if (hi[k] <= lo[k]) continue;  // no row takes this child
        if (is_text(rows.children[k].type->kind)) {
            sources[k] = std::make_unique<Decoded>();
            sources[k]->type = kString;
            sources[k]->text = &rows.children[k];
            continue;
        }
        sources[k] = decode(rows.children[k], lo[k], hi[k]);
        if (!sources[k]) return false;
    }
    gather(column, rows, sources, [&](std::size_t start, std::size_t n, Picks& picks) {
        picks.missing.fill(0);
        picks.types = 0;
        for (std::size_t k = 0; k < n; ++k) {
            const std::size_t i = rows.offset + start + k;
            const std::size_t child = child_of(i);
            pick(picks, *sources[child], child, k, position_of(i, child));
        }
    });
    return true;
}

}  // namespace

bool append_gathered(ColumnBuilder& column, const Rows& rows) {
    if (rows.length == 0) return true;
    if (is_union(rows.type->kind)) return gather_union(column, rows);
    switch (rows.type->index) {
        case Kind::kInt8:
            return gather_dictionary<std::int8_t>(column, rows);
        case Kind::kInt16:
            return gather_dictionary<std::int16_t>(column, rows);
        case Kind::kInt32:
            return gather_dictionary<std::int32_t>(column, rows);
        case Kind::kInt64:
            return gather_dictionary<std::int64_t>(column, rows);
        case Kind::kUInt8:
            return gather_dictionary<std::uint8_t>(column, rows);
        case Kind::kUInt16:
            return gather_dictionary<std::uint16_t>(column, rows);
        case Kind::kUInt32:
            return gather_dictionary<std::uint32_t>(column, rows);
        default:
            return gather_dictionary<std::uint64_t>(column, rows);
    }
}

}  // namespace kelvra::arrow::detail
