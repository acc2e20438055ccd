#include "arrow_union.h"

#include <array>
#include <charconv>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string_view>
#include <utility>

#include "arrow_columns.h"

namespace kelvra::arrow {

namespace {

// The union's format with its type codes: "+ud:0,2".
std::string union_format(bool sparse, const std::vector<int>& codes) {
    std::string format = sparse ? "+us:" : "+ud:";
    for (std::size_t k = 0; k < codes.size(); ++k) {
        if (k != 0) format += ',';
        format += std::to_string(codes[k]);
    }
    return format;
}

bool same_children(const ArrowSchema& requested, const std::vector<CellType>& types) {
    if (requested.n_children != static_cast<std::int64_t>(types.size())) return false;
    for (std::size_t k = 0; k < types.size(); ++k) {
        const ArrowSchema* child = requested.children[k];
        if (child == nullptr || child->format == nullptr) return false;
        const std::string_view format = child->format;
        if (format != kFormats[types[k]] && !(types[k] == kString && is_text_format(format))) {
            return false;
        }
    }
    return true;
}

[[noreturn]] void throw_union_too_long(const std::string& name) {
    throw std::length_error(std::string(kExportFailure) + ": column '" + name +
                            "' mixes types in more rows than an Arrow union can index");
}

}  // namespace

std::vector<CellType> present_types(const Source& source) {
    const ColumnView& view = source.view();
    const RowTypeReader types = view.row_types();
    unsigned seen = 0;
    if (source.missing == 0) {
        for (std::size_t i = 0; i < source.rows; ++i) seen |= 1u << types[i];
    } else {
        for (std::size_t i = 0; i < source.rows; ++i) {
            if (!view.missing(i)) seen |= 1u << types[i];
        }
    }
    std::vector<CellType> codes;
    for (const CellType type : {kInt, kDouble, kString, kBool}) {
        if ((seen >> type) & 1u) codes.push_back(type);
    }
    return codes;
}

std::optional<UnionLayout> requested_union(const ArrowSchema* requested,
                                           const std::vector<CellType>& types) {
    if (requested == nullptr || requested->format == nullptr) return std::nullopt;
    std::string_view format = requested->format;
    if (!(format.starts_with("+ud:") || format.starts_with("+us:")) ||
        !same_children(*requested, types)) {
        return std::nullopt;
    }
    UnionLayout layout{format[2] == 's', {}, kFormats[kString]};
    for (std::size_t k = 0; k < types.size(); ++k) {
        if (types[k] == kString) layout.string_format = requested->children[k]->format;
    }
    format.remove_prefix(4);
    while (!format.empty()) {
        int code = -1;
        const auto [end, error] =
            std::from_chars(format.data(), format.data() + format.size(), code);
        if (error != std::errc() || code < 0 || code > 127) return std::nullopt;
        layout.codes.push_back(code);
        format.remove_prefix(static_cast<std::size_t>(end - format.data()));
        if (!format.empty()) {
            if (format.front() != ',') return std::nullopt;
            format.remove_prefix(1);
        }
    }
    if (layout.codes.size() != types.size()) return std::nullopt;
    // Repeated codes would leave a row's child ambiguous: such a union cannot be given.
    for (std::size_t k = 0; k < layout.codes.size(); ++k) {
        for (std::size_t m = 0; m < k; ++m) {
            if (layout.codes[m] == layout.codes[k]) return std::nullopt;
        }
    }
    return layout;
}

FieldType union_column(const std::string& name, ArrayOwner& owner, Source& source, bool cells_utf8,
                       const std::vector<CellType>& present, const UnionLayout& layout) {
    const ColumnView& view = source.view();
    const RowTypeReader types = view.row_types();
    const std::size_t rows = source.rows;
    if (!layout.sparse && rows > kInt32Max) throw_union_too_long(name);

    CellType null_type = present.front();
    for (const CellType type : present) {
        if (type != kString) {
            null_type = type;
            break;
        }
    }
    std::array<std::int8_t, 4> code_of{};
    bool own_codes = true;
    for (std::size_t k = 0; k < present.size(); ++k) {
        code_of[present[k]] = static_cast<std::int8_t>(layout.codes[k]);
        own_codes = own_codes && layout.codes[k] == static_cast<int>(present[k]);
    }
    if (own_codes && source.missing == 0 && view.type_codes() != nullptr) {
        owner.buffers[0] = view.type_codes();
    } else {
        std::int8_t* ids = owner.type_ids.extend_uninitialised(rows);
        for (std::size_t i = 0; i < rows; ++i) ids[i] = code_of[types[i] & 3];
        if (source.missing != 0) {
            for (std::size_t i = 0; i < rows; ++i) {
                if (view.missing(i)) ids[i] = code_of[null_type];
            }
        }
        owner.type_ids.set_size(rows);
        owner.buffers[0] = owner.type_ids.data();
    }
    const StringStore* strings = view.strings().store();
    const bool shared_cells = !layout.sparse && layout.string_format == kFormats[kString] &&
                              strings != nullptr && null_type != kString && cells_utf8 &&
                              strings->cells.size() <= kInt32Max;
    if (!layout.sparse) {
        const std::uint64_t* payloads = view.payloads();
        std::int32_t* offsets = owner.offsets32.extend_uninitialised(rows);
        for (std::size_t i = 0; i < rows; ++i) {
            offsets[i] = static_cast<std::int32_t>(
                shared_cells && string_row(view, types, i) ? payloads[i] : i);
        }
        owner.offsets32.set_size(rows);
        owner.buffers[1] = owner.offsets32.data();
    }

    std::vector<FieldType> children;
    owner.reserve_children(present.size());
    for (std::size_t k = 0; k < present.size(); ++k) {
        auto child = std::make_unique<ArrayOwner>();
        child->column = owner.column;
        const bool nulls = present[k] == null_type && source.missing != 0;
        child->buffers[0] = nulls ? validity(*child, source) : nullptr;
        const char* format = kFormats[present[k]];
        std::size_t length = rows;
        std::size_t n_buffers = 2;
        switch (present[k]) {
            case kInt:
            case kDouble:
                child->buffers[1] = view.payloads();
                break;
            case kBool:
                child->buffers[1] = boolean_bits(*child, source);
                break;
            default:
                if (is_text_format(layout.string_format)) {
                    format = cell_texts(*child, source, true, layout.string_format == "u");
                    n_buffers = 3;
                } else if (shared_cells) {
                    length = strings->cells.size();
                    n_buffers = view_buffers(*child, strings->cells.data(), *strings);
                } else {
                    n_buffers = view_buffers(*child, views_by_row(*child, source), *strings);
                }
                break;
        }
        children.push_back({format, kTypeNames[present[k]], true, {}});
        hand_over(std::move(child), length, nulls ? source.missing : 0, n_buffers,
                  owner.child_arrays[k]);
    }
    return FieldType{union_format(layout.sparse, layout.codes), name, true, std::move(children)};
}

}  // namespace kelvra::arrow
