// Reading a schema into the type the import works with: formats, dictionaries, unions and the one
// extension type whose values are cells as they stand.
#include <charconv>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>

#include "arrow_rows.h"

namespace kelvra::arrow {

namespace {

using detail::Kind;

std::optional<Kind> plain_kind(std::string_view format) {
    static constexpr std::pair<std::string_view, Kind> kKinds[] = {
        {"n", Kind::kNull},        {"c", Kind::kInt8},   {"s", Kind::kInt16},
        {"i", Kind::kInt32},       {"l", Kind::kInt64},  {"C", Kind::kUInt8},
        {"S", Kind::kUInt16},      {"I", Kind::kUInt32}, {"L", Kind::kUInt64},
        {"e", Kind::kHalf},        {"f", Kind::kFloat},  {"g", Kind::kDouble},
        {"b", Kind::kBool},        {"u", Kind::kString}, {"U", Kind::kLargeString},
        {"vu", Kind::kStringView},
    };
    for (const auto& [code, kind] : kKinds) {
        if (code == format) return kind;
    }
    return std::nullopt;
}

// The metadata's value of "ARROW:extension:name": nothing when there is none, "?" when the
// metadata cannot be read (a negative count or length). The metadata is an int32 count, then per
// pair an int32 length and the key's bytes, an int32 length and the value's bytes.
std::optional<std::string_view> extension_name(const char* metadata) {
    if (metadata == nullptr) return std::nullopt;
    constexpr std::string_view kKey = "ARROW:extension:name";
    const auto next_int = [&metadata]() {
        std::int32_t v;
        std::memcpy(&v, metadata, sizeof v);
        metadata += sizeof v;
        return v;
    };
    const std::int32_t pairs = next_int();
    if (pairs < 0) return "?";
    for (std::int32_t p = 0; p < pairs; ++p) {
        const std::int32_t key_size = next_int();
        if (key_size < 0) return "?";
        const std::string_view key(metadata, static_cast<std::size_t>(key_size));
        metadata += key_size;
        const std::int32_t value_size = next_int();
        if (value_size < 0) return "?";
        const std::string_view value(metadata, static_cast<std::size_t>(value_size));
        metadata += value_size;
        if (key == kKey) return value;
    }
    return std::nullopt;
}

std::optional<ImportType> type_at(const ArrowSchema& schema, int depth);

// A union's children and the type codes after "+ud:" / "+us:" ("0,1,2").
std::optional<ImportType> union_type(const ArrowSchema& schema, std::string_view codes, int depth) {
    ImportType type;
    type.kind = codes[2] == 'd' ? Kind::kDenseUnion : Kind::kSparseUnion;
    type.child_of_code.assign(128, -1);
    codes.remove_prefix(4);
    std::int64_t position = 0;
    while (!codes.empty()) {
        int code = -1;
        const auto [end, error] = std::from_chars(codes.data(), codes.data() + codes.size(), code);
        if (error != std::errc() || code < 0 || code > 127 || position >= schema.n_children ||
            type.child_of_code[static_cast<std::size_t>(code)] != -1) {
            return std::nullopt;
        }
        type.child_of_code[static_cast<std::size_t>(code)] = static_cast<std::int8_t>(position++);
        codes.remove_prefix(static_cast<std::size_t>(end - codes.data()));
        if (!codes.empty()) {
            if (codes.front() != ',') return std::nullopt;
            codes.remove_prefix(1);
        }
    }
    if (position != schema.n_children || schema.children == nullptr) return std::nullopt;
    for (std::int64_t k = 0; k < schema.n_children; ++k) {
        if (schema.children[k] == nullptr) return std::nullopt;
        std::optional<ImportType> child = type_at(*schema.children[k], depth + 1);
        if (!child) return std::nullopt;
        type.children.push_back(std::move(*child));
    }
    return type;
}

std::optional<ImportType> type_at(const ArrowSchema& schema, int depth) {
    if (depth > kMaxTypeDepth) {
        throw std::invalid_argument("Cannot read the Arrow type: it nests more than " +
                                    std::to_string(kMaxTypeDepth) + " levels deep");
    }
    if (schema.format == nullptr) return std::nullopt;
    const std::string_view format = schema.format;
    if (const std::optional<std::string_view> extension = extension_name(schema.metadata)) {
        // Values of an extension type mean what the extension says, not what its storage holds.
        if (*extension != "arrow.bool8" || format != "c" || schema.dictionary != nullptr) {
            return std::nullopt;
        }
        ImportType type;
        type.kind = Kind::kBool8;
        return type;
    }
    if (schema.dictionary != nullptr) {
        // The format is the indices' type; the dictionary's schema is the values'.
        const std::optional<Kind> index = plain_kind(format);
        if (!index || !is_integer(*index)) return std::nullopt;
        std::optional<ImportType> values = type_at(*schema.dictionary, depth + 1);
        if (!values || values->kind == Kind::kDictionary) return std::nullopt;
        ImportType type;
        type.kind = Kind::kDictionary;
        type.index = *index;
        type.children.push_back(std::move(*values));
        return type;
    }
    if (const std::optional<Kind> kind = plain_kind(format)) {
        ImportType type;
        type.kind = *kind;
        return type;
    }
    if (format.starts_with("+ud:") || format.starts_with("+us:")) {
        return union_type(schema, format, depth);
    }
    return std::nullopt;
}

}  // namespace

std::optional<ImportType> import_type(const ArrowSchema& schema) { return type_at(schema, 0); }

}  // namespace kelvra::arrow
