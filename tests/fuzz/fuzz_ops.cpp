// Feeds arbitrary bytes to a reader, then puts the table through every operation and checks each
// result against a recomputation from the cells; every derived table must survive a write and a
// read. The first five bytes choose the parameters, the rest is the file:
//   byte 0: bit 0 the format (0 CSV, 1 JSON), the other bits the column to filter on;
//   byte 1: which of the first seven columns select keeps (bit 7 adds a name the table lacks);
//   bytes 2 and 3: the filter threshold and the factor, from the tables below;
//   byte 4: the row count for head (255: more rows than any table has).
// Every table is also exported as an Arrow C stream, as it is and asking for each column that
// mixes types as a union (dense for the table read, sparse for the tables derived from it), each
// cell read back from the arrays, and each column imported back from its array, whole and sliced.
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/column_builder.h"
#include "fuzz_support.h"
#include "io/arrow/arrow_export.h"
#include "io/arrow/arrow_import.h"
#include "text/number_writing.h"

namespace {

using kelvra::CellValue;
using kelvra::Column;
using kelvra::fuzz::cell_at;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kThresholds[] = {-kInf, -1e300, -1.0, -0.0,
                                  0.0,   0.5,    1.0,  2.5,
                                  1e15,  1e300,  kInf, std::numeric_limits<double>::quiet_NaN()};
constexpr double kFactors[] = {0.0, -0.0, 1.0, -1.0, 2.0, 0.5, 3.7, -2.5, 1e-300, 1e300, 1e-10};

[[noreturn]] void fault(const char* what, const std::string& detail) {
    std::fprintf(stderr, "%s: %s\n", what, detail.c_str());
    std::abort();
}

void require(bool ok, const char* what) {
    if (!ok) fault(what, "check failed");
}

void require_same(const PyDataFrame& got, const PyDataFrame& want, const char* what) {
    const std::string diff = kelvra::fuzz::table_difference(got, want);
    if (!diff.empty()) fault(what, diff);
}

// A number the way every operation reads a cell: integers and booleans convert, strings do not.
std::optional<double> number_of(const CellValue& cell) {
    if (const auto* i = std::get_if<std::int64_t>(&cell)) return static_cast<double>(*i);
    if (const auto* d = std::get_if<double>(&cell)) return *d;
    if (const auto* b = std::get_if<bool>(&cell)) return *b ? 1.0 : 0.0;
    return std::nullopt;
}

void push(Column& column, const std::optional<CellValue>& cell) {
    if (cell) {
        column.push_back(*cell);
    } else {
        column.push_null();
    }
}

// A table built cell by cell: for each name of the source, the cells that cell_of gives for
// rows 0 .. rows_of(column) - 1.
template <typename Rows, typename Cell>
PyDataFrame rebuild(const PyDataFrame& source, const std::vector<std::string>& names, Rows rows_of,
                    Cell cell_of) {
    PyDataFrame out;
    for (const std::string& name : names) {
        const auto column = source.get_column(name);
        if (!column || out.get_column(name)) continue;
        auto copy = std::make_shared<Column>();
        const std::size_t n = rows_of(*column);
        for (std::size_t i = 0; i < n; ++i) push(*copy, cell_of(*column, i));
        out.set_column(name, std::move(copy));
    }
    return out;
}

std::size_t whole(const Column& column) { return column.size(); }

// What a table comes back as from a file of the format: every column as long as the table,
// and what the format cannot hold turned into what it holds instead.
PyDataFrame after_file(const PyDataFrame& table, bool json) {
    if (json && (table.num_rows == 0 || table.column_order.empty())) return PyDataFrame{};
    const std::size_t rows = table.num_rows;
    return rebuild(
        table, table.column_order, [rows](const Column&) { return rows; },
        [json](const Column& column, std::size_t i) -> std::optional<CellValue> {
            auto cell = cell_at(column, i);
            if (!cell) return cell;
            if (const auto* d = std::get_if<double>(&*cell); d && !std::isfinite(*d)) {
                if (json) return std::nullopt;  // JSON has no literal for them: null
                char text[kelvra::kNumberTextMax];
                return CellValue(std::string(text, kelvra::format_double_lossless(text, *d)));
            }
            if (const auto* b = std::get_if<bool>(&*cell); b && !json) {
                return CellValue(std::int64_t{*b ? 1 : 0});
            }
            return cell;
        });
}

struct Files {
    kelvra::fuzz::TempFile csv{"ops-out.csv"};
    kelvra::fuzz::TempFile json{"ops-out.json"};
};

// Writes the table in the format, reads it back and compares. A JSON write may refuse text that
// is not UTF-8 (from a CSV file); then it must leave no file behind.
void check_round_trip(const PyDataFrame& table, bool json, const Files& files, const char* what) {
    const std::string& path = json ? files.json.path() : files.csv.path();
    std::remove(path.c_str());
    try {
        if (json) {
            table.to_json(path);
        } else {
            table.to_csv(path);
        }
    } catch (const std::invalid_argument&) {
        require(json, "to_csv refused a table");
        std::FILE* left = std::fopen(path.c_str(), "rb");
        if (left != nullptr) std::fclose(left);
        require(left == nullptr, "a refused to_json left a file");
        return;
    }
    const PyDataFrame again = json ? PyDataFrame::read_json(path) : PyDataFrame::read_csv(path);
    require_same(again, after_file(table, json), what);
}

void check_numbers(const kelvra::ColumnNumbers& got, const PyDataFrame& table, bool mean,
                   const char* what) {
    require(got.size() == table.column_order.size(), what);
    for (std::size_t j = 0; j < got.size(); ++j) {
        const std::string& name = table.column_order[j];
        const Column& column = *table.get_column(name);
        double sum = 0.0;
        std::size_t count = 0;
        for (std::size_t i = 0; i < column.size(); ++i) {
            const auto cell = cell_at(column, i);
            if (!cell) continue;
            if (const auto v = number_of(*cell)) {
                sum += *v;
                ++count;
            }
        }
        const double want = !mean ? sum : count == 0 ? 0.0 : sum / static_cast<double>(count);
        if (got[j].first != name || !kelvra::fuzz::same_cell(got[j].second, want)) {
            fault(what, "column '" + name + "'");
        }
    }
}

template <class T>
T load(const void* buffer, std::size_t i) {
    T v;
    std::memcpy(&v, static_cast<const char*>(buffer) + i * sizeof(T), sizeof(T));
    return v;
}

bool bit(const void* bitmap, std::size_t i) {
    return ((static_cast<const std::uint8_t*>(bitmap)[i / 8] >> (i % 8)) & 1) != 0;
}

// The cell at row i of an exported array, by its Arrow type; empty for a null.
std::optional<CellValue> arrow_cell(const ArrowSchema& type, const ArrowArray& array,
                                    std::size_t i) {
    require(array.offset == 0 && i < static_cast<std::size_t>(array.length), "Arrow row range");
    const std::string format = type.format;
    if (format == "n") return std::nullopt;
    if (format.starts_with("+u")) {
        const auto code = load<std::int8_t>(array.buffers[0], i);
        std::size_t child = 0;
        std::size_t at = 4;  // past "+ud:"
        for (; child < static_cast<std::size_t>(type.n_children); ++child) {
            if (std::stoi(format.substr(at)) == code) break;
            at = format.find(',', at) + 1;
        }
        require(child < static_cast<std::size_t>(type.n_children), "Arrow union type code");
        const std::size_t slot =
            format[2] == 'd' ? static_cast<std::size_t>(load<std::int32_t>(array.buffers[1], i))
                             : i;
        return arrow_cell(*type.children[child], *array.children[child], slot);
    }
    if (array.buffers[0] != nullptr && !bit(array.buffers[0], i)) return std::nullopt;
    if (format == "l") return CellValue(load<std::int64_t>(array.buffers[1], i));
    if (format == "g") return CellValue(load<double>(array.buffers[1], i));
    if (format == "b") return CellValue(bit(array.buffers[1], i));
    if (format == "vu") {
        // A string view: the length, then the text inline or its buffer index and offset.
        const char* view = static_cast<const char*>(array.buffers[1]) + 16 * i;
        const auto length = load<std::int32_t>(view, 0);
        require(length >= 0, "Arrow string view length");
        if (length <= 12) {
            return CellValue(std::in_place_index<kelvra::kString>, view + 4,
                             static_cast<std::size_t>(length));
        }
        const auto buffer = load<std::int32_t>(view + 8, 0);
        const auto offset = load<std::int32_t>(view + 12, 0);
        require(buffer >= 0 && buffer < array.n_buffers - 3 && offset >= 0, "Arrow string view");
        const auto* sizes = static_cast<const std::int64_t*>(array.buffers[array.n_buffers - 1]);
        require(offset + length <= sizes[buffer], "Arrow string view size");
        const char* bytes = static_cast<const char*>(array.buffers[2 + buffer]);
        require(std::memcmp(bytes + offset, view + 4, 4) == 0, "Arrow string view prefix");
        return CellValue(std::in_place_index<kelvra::kString>, bytes + offset,
                         static_cast<std::size_t>(length));
    }
    require(format == "U", "Arrow format");
    const auto start = load<std::int64_t>(array.buffers[1], i);
    const auto end = load<std::int64_t>(array.buffers[1], i + 1);
    require(start <= end, "Arrow string offsets");
    const char* bytes = static_cast<const char*>(array.buffers[2]);
    return CellValue(std::in_place_index<kelvra::kString>, bytes + start,
                     static_cast<std::size_t>(end - start));
}

// How a column's cells are exported: as they are, or (a column that mixes types, when no union is
// asked for) as float64 when its present cells are integers within +-2**53 and doubles and as
// the text that to_csv writes otherwise.
enum class Form { kOwn, kDouble, kText };

// The types of the column's present cells among the first `rows`, as bits by type index.
unsigned present_types(const Column& column, std::size_t rows) {
    unsigned types = 0;
    for (std::size_t i = 0; i < rows; ++i) {
        if (const auto cell = cell_at(column, i)) types |= 1u << cell->index();
    }
    return types;
}

Form default_form(const Column& column, std::size_t rows) {
    const unsigned types = present_types(column, rows);
    if (std::popcount(types) < 2) return Form::kOwn;
    if ((types & ~((1u << kelvra::kInt) | (1u << kelvra::kDouble))) != 0) return Form::kText;
    constexpr std::int64_t kExact = std::int64_t{1} << 53;
    for (std::size_t i = 0; i < rows; ++i) {
        const auto cell = cell_at(column, i);
        if (cell && cell->index() == kelvra::kInt) {
            const std::int64_t v = std::get<kelvra::kInt>(*cell);
            if (v < -kExact || v > kExact) return Form::kText;
        }
    }
    return Form::kDouble;
}

CellValue exported(const CellValue& cell, Form form) {
    if (form == Form::kOwn || (form == Form::kText && cell.index() == kelvra::kString)) {
        return cell;
    }
    if (form == Form::kDouble) {
        double v = 0.0;
        kelvra::numeric_reading(cell, v);
        return CellValue(v);
    }
    char text[kelvra::kNumberTextMax];
    const char* end = text;
    switch (cell.index()) {
        case kelvra::kInt:
            end = kelvra::format_int(text, std::get<kelvra::kInt>(cell));
            break;
        case kelvra::kDouble:
            end = kelvra::format_double_lossless(text, std::get<kelvra::kDouble>(cell));
            break;
        default:
            text[0] = std::get<kelvra::kBool>(cell) ? '1' : '0';
            end = text + 1;
            break;
    }
    return CellValue(std::in_place_index<kelvra::kString>, text,
                     static_cast<std::size_t>(end - text));
}

// A requested schema asking for every column that mixes types as a union of its cell types, in
// type order with the type indexes as codes, the string child as views.
class UnionRequest {
public:
    UnionRequest(const PyDataFrame& table, bool sparse) {
        constexpr const char* kFormats[] = {"l", "g", "vu", "b"};
        const std::size_t n = table.column_order.size();
        formats_.reserve(n);
        children_.reserve(n);
        child_pointers_.reserve(n);
        fields_.reserve(n);
        for (const std::string& name : table.column_order) {
            const unsigned types = present_types(*table.get_column(name), table.num_rows);
            if (std::popcount(types) < 2) continue;
            std::string format = sparse ? "+us:" : "+ud:";
            std::vector<ArrowSchema>& children = children_.emplace_back();
            for (unsigned t = 0; t < 4; ++t) {
                if (((types >> t) & 1u) == 0) continue;
                // Appended piece by piece: gcc 12 warns (-Wrestrict) of a false overlap in
                // `"," + std::to_string(t)` once inlined.
                if (!children.empty()) format += ',';
                format += static_cast<char>('0' + t);
                children.push_back(schema(kFormats[t], "", 0, nullptr));
            }
            std::vector<ArrowSchema*>& pointers = child_pointers_.emplace_back();
            for (ArrowSchema& child : children) pointers.push_back(&child);
            formats_.push_back(std::move(format));
            fields_.push_back(schema(formats_.back().c_str(), name.c_str(),
                                     static_cast<std::int64_t>(pointers.size()), pointers.data()));
        }
        for (ArrowSchema& field : fields_) field_pointers_.push_back(&field);
        top_ = schema("+s", "", static_cast<std::int64_t>(fields_.size()), field_pointers_.data());
    }
    UnionRequest(const UnionRequest&) = delete;
    UnionRequest& operator=(const UnionRequest&) = delete;

    const ArrowSchema* get() const { return &top_; }

private:
    static ArrowSchema schema(const char* format, const char* name, std::int64_t n,
                              ArrowSchema** children) {
        ArrowSchema s{};
        s.format = format;
        s.name = name;
        s.n_children = n;
        s.children = children;
        return s;
    }

    std::vector<std::string> formats_;
    std::vector<std::vector<ArrowSchema>> children_;
    std::vector<std::vector<ArrowSchema*>> child_pointers_;
    std::vector<ArrowSchema> fields_;
    std::vector<ArrowSchema*> field_pointers_;
    ArrowSchema top_{};
};

// Imports rows from `from` on of an exported array (a slice of it, through its offset, its null
// count left unknown) and checks them against the column they came from, in the form exported.
void check_import(const Column& column, Form form, const ArrowSchema& type, const ArrowArray& array,
                  std::size_t from) {
    const auto import = kelvra::arrow::import_type(type);
    require(import.has_value(), "Arrow import of an exported type");
    ArrowArray slice = array;
    slice.release = nullptr;  // a view of the array, which stays its owner's
    slice.offset += static_cast<std::int64_t>(from);
    slice.length -= static_cast<std::int64_t>(from);
    slice.null_count = -1;
    Column back;
    kelvra::ColumnBuilder builder(back);
    kelvra::arrow::append_array(builder, *import, slice);
    builder.finish();
    require(back.size() == static_cast<std::size_t>(slice.length), "Arrow import length");
    for (std::size_t i = 0; i < back.size(); ++i) {
        const auto want = cell_at(column, from + i);
        const auto got = cell_at(back, i);
        if (want.has_value() != got.has_value() ||
            (want && !kelvra::fuzz::same_cell(*got, exported(*want, form)))) {
            fault("Arrow import", "row " + std::to_string(from + i));
        }
    }
}

// Exports the table as an Arrow stream and checks every cell of its one batch against the
// columns. Text that is not UTF-8 (from a CSV file) may be refused.
void check_arrow(const PyDataFrame& table, const ArrowSchema* requested) {
    ArrowArrayStream stream{};
    try {
        kelvra::arrow::export_table(table, requested, stream);
    } catch (const std::invalid_argument&) {
        require(stream.release == nullptr, "a refused export left a stream");
        return;
    }
    ArrowSchema schema{};
    ArrowArray batch{};
    require(stream.get_schema(&stream, &schema) == 0 && stream.get_next(&stream, &batch) == 0,
            "Arrow stream callbacks");
    require(std::string(schema.format) == "+s" && batch.release != nullptr &&
                schema.n_children == static_cast<std::int64_t>(table.column_order.size()) &&
                batch.length == static_cast<std::int64_t>(table.num_rows),
            "Arrow batch shape");
    for (std::size_t j = 0; j < table.column_order.size(); ++j) {
        const std::string& name = table.column_order[j];
        require(name == schema.children[j]->name, "Arrow field name");
        const Column& column = *table.get_column(name);
        const Form form = requested != nullptr ? Form::kOwn : default_form(column, table.num_rows);
        const std::string format = schema.children[j]->format;
        require(form != Form::kDouble || format == "g", "Arrow float64 of a mixed column");
        require(form != Form::kText || format == "vu", "Arrow text of a mixed column");
        for (std::size_t i = 0; i < table.num_rows; ++i) {
            const auto want = cell_at(column, i);
            const auto got = arrow_cell(*schema.children[j], *batch.children[j], i);
            if (want.has_value() != got.has_value() ||
                (want && !kelvra::fuzz::same_cell(*got, exported(*want, form)))) {
                fault("Arrow export", "column '" + name + "' row " + std::to_string(i));
            }
        }
        check_import(column, form, *schema.children[j], *batch.children[j], 0);
        check_import(column, form, *schema.children[j], *batch.children[j], table.num_rows / 3);
    }
    ArrowArray end{};
    require(stream.get_next(&stream, &end) == 0 && end.release == nullptr, "Arrow stream end");
    batch.release(&batch);
    schema.release(&schema);
    stream.release(&stream);
}

void check_arrow(const PyDataFrame& table, bool sparse) {
    check_arrow(table, nullptr);
    const UnionRequest unions(table, sparse);
    check_arrow(table, unions.get());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    constexpr std::size_t kHeader = 5;
    if (size < kHeader) return 0;
    const bool json = (data[0] & 1) != 0;
    const kelvra::fuzz::TempFile input(json ? "ops-in.json" : "ops-in.csv");
    input.write(data + kHeader, size - kHeader);
    PyDataFrame table;
    try {
        table = json ? PyDataFrame::read_json(input.path()) : PyDataFrame::read_csv(input.path());
    } catch (const std::invalid_argument&) {
        return 0;  // malformed input is reported, which is what it should do
    }
    const std::vector<std::string>& order = table.column_order;
    const Files files;
    std::vector<PyDataFrame> derived;

    // select
    std::vector<std::string> names;
    for (std::size_t k = 0; k < 7 && k < order.size(); ++k) {
        if ((data[1] >> k) & 1) names.push_back(order[k]);
    }
    if (data[1] & 0x80) names.push_back("\x01 not a column");
    if (!names.empty()) names.push_back(names.front());  // a repeated name is taken once
    derived.push_back(table.select(names));
    require_same(derived.back(), rebuild(table, names, whole, cell_at), "select");

    // filter_gt
    const double threshold = kThresholds[data[2] % std::size(kThresholds)];
    const std::string on =
        order.empty() ? std::string("absent") : order[(data[0] >> 1) % order.size()];
    derived.push_back(table.filter_gt(on, threshold));
    if (const auto column = table.get_column(on)) {
        std::vector<std::size_t> kept;
        for (std::size_t i = 0; i < table.num_rows && i < column->size(); ++i) {
            const auto cell = cell_at(*column, i);
            const auto v = cell ? number_of(*cell) : std::nullopt;
            if (v && *v > threshold) kept.push_back(i);
        }
        const PyDataFrame want = rebuild(
            table, order,
            [&kept](const Column& c) {
                std::size_t n = 0;
                while (n < kept.size() && kept[n] < c.size()) ++n;
                return n;
            },
            [&kept](const Column& c, std::size_t i) { return cell_at(c, kept[i]); });
        require_same(derived.back(), want, "filter_gt");
    } else {
        require_same(derived.back(), PyDataFrame{}, "filter_gt on a missing column");
    }

    // multiply
    const double factor = kFactors[data[3] % std::size(kFactors)];
    derived.push_back(table.multiply(factor));
    require_same(derived.back(),
                 rebuild(table, order, whole,
                         [factor](const Column& c, std::size_t i) -> std::optional<CellValue> {
                             auto cell = cell_at(c, i);
                             if (!cell) return cell;
                             if (const auto v = number_of(*cell)) return CellValue(*v * factor);
                             return cell;
                         }),
                 "multiply");

    // sum and mean
    check_numbers(table.sum(), table, false, "sum");
    check_numbers(table.mean(), table, true, "mean");

    // head and its text
    const std::size_t n = data[4] == 255 ? std::numeric_limits<std::size_t>::max() : data[4];
    derived.push_back(table.head(n));
    require_same(derived.back(),
                 rebuild(
                     table, order,
                     [n, &table](const Column& c) {
                         return n >= table.num_rows ? c.size() : std::min(n, c.size());
                     },
                     cell_at),
                 "head");
    const std::string text = derived.back().render();
    const std::string shape = "Shape: (" + std::to_string(derived.back().num_rows) + ", " +
                              std::to_string(derived.back().column_map.size()) + ")\n";
    require(order.empty() ? text == "Empty DataFrame\n" : text.ends_with(shape), "head text");

    check_arrow(table, false);
    for (const PyDataFrame& result : derived) {
        check_arrow(result, true);
        check_round_trip(result, json, files, json ? "JSON round trip" : "CSV round trip");
        if (!json) check_round_trip(result, true, files, "CSV table through JSON");
    }
    return 0;
}
