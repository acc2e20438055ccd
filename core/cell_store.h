// The cells of one column, stored column-wise.
//
// - An 8-byte payload per row holds an int64, a double or a bool (0 or 1). A missing row holds 0.
//   A column whose present cells are all strings has no payloads at all.
// - The type of each row: while every present cell has the same type (the common case) that one
//   type stands for all rows and nothing is stored per row; once a second type arrives, one type
//   byte per row, so a mixed column stays exact per cell.
// - Strings: the bytes of all string cells packed in one buffer, with an offset per row (rows
//   that hold no string have an empty range). The strings are immutable once the column is
//   complete, so a derived column holding exactly the same rows shares them instead of copying.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

#include "cell.h"
#include "pod_buffer.h"

namespace kelvra {

class Column;

// The bytes of a column's string cells: row i is bytes[offsets[i], offsets[i + 1]).
struct StringData {
    PodBuffer<std::uint64_t> offsets;  // rows + 1 entries
    PodBuffer<char> bytes;

    std::string_view at(std::size_t row) const noexcept {
        return {bytes.data() + offsets[row], offsets[row + 1] - offsets[row]};
    }
};

class CellStore {
public:
    std::size_t size() const noexcept { return size_; }

    // The type shared by every present cell, or nothing when the column mixes types. A column
    // without present cells reports kInt: its payloads are all 0.
    std::optional<CellType> single_type() const noexcept {
        if (mixed()) return std::nullopt;
        return single_;
    }
    bool mixed() const noexcept { return mixed_; }
    // The type of a present row.
    CellType type_at(std::size_t i) const noexcept {
        return mixed_ ? static_cast<CellType>(types_[i]) : single_;
    }

    std::int64_t int_at(std::size_t i) const noexcept { return std::bit_cast<std::int64_t>(payload_[i]); }
    double double_at(std::size_t i) const noexcept { return std::bit_cast<double>(payload_[i]); }
    bool bool_at(std::size_t i) const noexcept { return payload_[i] != 0; }
    std::string_view string_at(std::size_t i) const noexcept { return strings_->at(i); }

    // A present row as one cell value, for the edges (tests, conversions of single values).
    CellValue cell(std::size_t i) const;

    // Calls f with the row's int64, double, std::string_view or bool.
    template <class F>
    decltype(auto) visit(std::size_t i, F&& f) const {
        switch (type_at(i)) {
            case kInt:
                return f(int_at(i));
            case kDouble:
                return f(double_at(i));
            case kString:
                return f(string_at(i));
            default:
                return f(bool_at(i));
        }
    }

    void push_int(std::int64_t v) { push_payload(kInt, std::bit_cast<std::uint64_t>(v)); }
    void push_double(double v) { push_payload(kDouble, std::bit_cast<std::uint64_t>(v)); }
    void push_bool(bool v) { push_payload(kBool, v ? 1u : 0u); }
    void push_string(std::string_view text) {
        if (!mixed_ && single_ == kString && any_present_ && strings_.use_count() == 1) {
            strings_->bytes.append(text.data(), text.size());
            strings_->offsets.push_back(strings_->bytes.size());
            ++size_;
            return;
        }
        push_string_slow(text);
    }
    void push_missing();
    void pop_back();

    void reserve(std::size_t rows);
    // Room for this many more string bytes, in a column that holds strings.
    void reserve_string_bytes(std::size_t bytes);
    // The bytes of all string cells so far.
    std::size_t string_bytes() const noexcept { return strings_ ? strings_->bytes.size() : 0; }
    // Gives back room reserved far beyond what the column holds.
    void trim();

    // Storage, for the operations that run one loop per column type.
    const std::uint64_t* payloads() const noexcept { return payload_.data(); }
    // The type byte of each row while mixed(), otherwise nullptr.
    const std::uint8_t* types() const noexcept { return mixed_ ? types_.data() : nullptr; }
    // The string cells' bytes, or nullptr when the column has never held a string.
    const StringData* strings() const noexcept { return strings_.get(); }

    // Appending a run of rows at a time, for the readers.
    //
    // Payload slots for up to n more rows of `type`, when every present cell so far has that
    // type and the column holds no strings; nullptr otherwise. Missing rows hold 0.
    // commit_payloads(type, k, any_present) then keeps the first k rows.
    std::uint64_t* payload_run(CellType type, std::size_t n) {
        if (mixed_ || strings_ || !has_payload_ || (any_present_ && single_ != type)) return nullptr;
        return payload_.extend_uninitialised(n);
    }
    void commit_payloads(CellType type, std::size_t k, bool any_present) noexcept {
        payload_.set_size(size_ + k);
        size_ += k;
        if (any_present && !any_present_) {
            single_ = type;
            any_present_ = true;
        }
    }
    // The strings of a column whose cells so far are all strings (at least one) or missing,
    // with room for n more offsets; nullptr otherwise. Append each row's bytes and its end
    // offset, then commit_strings(k).
    StringData* string_run(std::size_t n) {
        if (mixed_ || has_payload_ || strings_.use_count() != 1) return nullptr;
        strings_->offsets.reserve(strings_->offsets.size() + n);
        return strings_.get();
    }
    void commit_strings(std::size_t k) noexcept { size_ += k; }
    // The arrays of a column that mixes types, with room for n more rows; `ends` and `strings`
    // are nullptr while it holds no strings. A row is a payload (0 for a string or a missing
    // row), a type byte (kInt for a missing row) and, with strings, the end of its bytes.
    // commit_mixed(k) then keeps the first k rows.
    struct MixedRun {
        std::uint64_t* payloads = nullptr;
        std::uint8_t* types = nullptr;
        StringData* strings = nullptr;
        std::uint64_t* ends = nullptr;
    };
    std::optional<MixedRun> mixed_run(std::size_t n) {
        if (!mixed_ || !has_payload_ || (strings_ && strings_.use_count() != 1)) return std::nullopt;
        MixedRun run{payload_.extend_uninitialised(n), types_.extend_uninitialised(n), strings_.get()};
        if (run.strings != nullptr) run.ends = run.strings->offsets.extend_uninitialised(n);
        return run;
    }
    void commit_mixed(std::size_t k) noexcept {
        payload_.set_size(size_ + k);
        types_.set_size(size_ + k);
        if (strings_) strings_->offsets.set_size(strings_->offsets.size() + k);
        size_ += k;
    }

private:
    friend class Column;

    void note_type(CellType type);
    void become_mixed();
    void push_payload(CellType type, std::uint64_t bits) {
        if (!mixed_ && any_present_ && single_ == type && has_payload_ && !strings_) {
            payload_.push_back(bits);
            ++size_;
            return;
        }
        push_payload_slow(type, bits);
    }
    void push_payload_slow(CellType type, std::uint64_t bits);
    void push_string_slow(std::string_view text);
    StringData& own_strings();

    PodBuffer<std::uint64_t> payload_;  // size_ entries while has_payload_
    PodBuffer<std::uint8_t> types_;     // size_ entries while mixed_
    std::shared_ptr<StringData> strings_;
    std::size_t size_ = 0;
    CellType single_ = kInt;
    bool mixed_ = false;
    bool any_present_ = false;
    bool has_payload_ = true;
};

}  // namespace kelvra
