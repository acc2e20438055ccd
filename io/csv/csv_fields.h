// One column's fields of a run of records, as the tokenizer hands them to the conversions: either
// views of finished fields, or the field ends of the structural index themselves, so that common
// records reach the payloads with no structure written in between.
#pragma once

#include <cstddef>
#include <cstring>
#include <string_view>

namespace kelvra {

// Turns each "" pair of the n bytes at `text` into one quote, in place; returns the bytes left.
inline std::size_t unescape_quote_pairs(char* text, std::size_t n) noexcept {
    const char* const end = text + n;
    char* out = text;
    const char* in = text;
    // Each quote found is kept and the one after it, its pair, dropped.
    while (const void* found = std::memchr(in, '"', static_cast<std::size_t>(end - in))) {
        const auto kept = static_cast<std::size_t>(static_cast<const char*>(found) + 1 - in);
        std::memmove(out, in, kept);
        out += kept;
        in += kept + 1;
    }
    std::memmove(out, in, static_cast<std::size_t>(end - in));
    out += end - in;
    return static_cast<std::size_t>(out - text);
}

// A field with its quotes taken off; `escaped` when it still holds "" pairs (it is then never a
// number).
struct CsvField {
    std::string_view view;
    bool escaped = false;
};

// Fields already finished, one view each.
struct CsvFieldViews {
    const std::string_view* views;

    // The field as it stands, for the quick readings: a field they turn away goes to field().
    std::string_view raw(std::size_t k) const noexcept { return views[k]; }
    CsvField field(std::size_t k) const noexcept { return {views[k], false}; }
    std::string_view text(const CsvField& f) const noexcept { return f.view; }
    // Drops the first n fields.
    void advance(std::size_t n) noexcept { views += n; }
};

// Fields between field ends of the index: field k starts after offset before[k * before_stride]
// of `base` and ends at offset ends[k * stride], its quoting still in place. A quoted field's
// closing quote lies just before its end.
struct CsvFieldEnds {
    char* base;
    const std::size_t* before;
    std::size_t before_stride;
    const std::size_t* ends;
    std::size_t stride;

    std::string_view raw(std::size_t k) const noexcept {
        const std::size_t begin = before[k * before_stride] + 1;
        return {base + begin, ends[k * stride] - begin};
    }
    CsvField field(std::size_t k) const noexcept {
        const std::string_view f = raw(k);
        if (f.empty() || f.front() != '"') return {f, false};
        const std::string_view inner = f.substr(1, f.size() - 2);
        return {inner, std::memchr(inner.data(), '"', inner.size()) != nullptr};
    }
    // The field's text, its "" pairs made one quote in place: each field's text is taken once.
    std::string_view text(const CsvField& f) const noexcept {
        if (!f.escaped) return f.view;
        char* const at = base + (f.view.data() - base);
        return {at, unescape_quote_pairs(at, f.view.size())};
    }
    void advance(std::size_t n) noexcept {
        before += n * before_stride;
        ends += n * stride;
    }
};

// One column's fields of the run just read: views when `views` is set, field ends otherwise.
struct CsvColumnFields {
    const std::string_view* views = nullptr;
    CsvFieldEnds ends{};

    // Field k's text (taken once per field, as for CsvFieldEnds::text).
    std::string_view text(std::size_t k) const noexcept {
        if (views != nullptr) return views[k];
        return ends.text(ends.field(k));
    }
};

}  // namespace kelvra
