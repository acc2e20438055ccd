// Reading a column's cells: a read-only view of its storage, and the one dispatch that hands an
// operation the column's cells as the array its layout holds. Operations, the conversion to
// Python, rendering and the writers read through these and nothing else.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <type_traits>
#include <vector>

#include "column.h"

namespace kelvra {

// The texts of a column's string cells.
class StringCells {
public:
    StringCells() = default;
    explicit StringCells(const std::shared_ptr<StringStore>& store);

    std::string_view at(std::size_t cell) const noexcept { return text(cells_[cell]); }
    // The text of one of this column's cells.
    std::string_view text(const PackedString& s) const noexcept {
        const char* data = s.is_inline() ? s.text : bases_[s.buffer_index()] + s.offset();
        return {data, s.length};
    }
    const PackedString* cells() const noexcept { return cells_; }
    const StringStore* store() const noexcept { return store_; }
    // The column's shared ownership of its strings, for results that share them whole.
    const std::shared_ptr<StringStore>& owner() const noexcept { return *owner_; }

private:
    const std::shared_ptr<StringStore>* owner_ = nullptr;
    const StringStore* store_ = nullptr;
    const PackedString* cells_ = nullptr;
    std::vector<const char*> bases_;  // the start of each byte buffer
};

// The cells of a column by layout; each numeric array gives a row's value and its numeric reading.
struct NoCells {};  // no present cell: every row is missing
struct IntCells {
    const std::uint64_t* payloads;
    std::int64_t operator[](std::size_t i) const noexcept {
        return std::bit_cast<std::int64_t>(payloads[i]);
    }
    double reading(std::size_t i) const noexcept { return static_cast<double>((*this)[i]); }
};
struct DoubleCells {
    const std::uint64_t* payloads;
    double operator[](std::size_t i) const noexcept { return std::bit_cast<double>(payloads[i]); }
    double reading(std::size_t i) const noexcept { return (*this)[i]; }
};
struct BoolCells {
    const std::uint64_t* payloads;
    bool operator[](std::size_t i) const noexcept { return payloads[i] != 0; }
    double reading(std::size_t i) const noexcept { return static_cast<double>(payloads[i]); }
};
struct StringColumnCells {
    const StringCells* strings;  // cell i is row i
};
struct MixedCells {
    const std::uint64_t* payloads;
    RowTypeReader types;
    const StringCells* strings;  // a string row's payload is the index of its cell
    CellType type(std::size_t i) const noexcept { return types[i]; }
    // The numeric reading of a row that is not a string.
    double reading(std::size_t i) const noexcept {
        return type(i) == kDouble ? std::bit_cast<double>(payloads[i])
                                  : static_cast<double>(std::bit_cast<std::int64_t>(payloads[i]));
    }
};

// Whether an array of that kind holds rows with a numeric reading: not a column of strings or
// one without present cells.
template <class Cells>
constexpr bool has_numbers = !std::is_same_v<std::decay_t<Cells>, NoCells> &&
                             !std::is_same_v<std::decay_t<Cells>, StringColumnCells>;

class ColumnView {
public:
    explicit ColumnView(const Column& column);

    std::size_t size() const noexcept { return size_; }
    bool any_missing() const noexcept { return missing_ != nullptr; }
    // The null mask's words (bit set: missing), or nullptr when no row is missing.
    const std::uint64_t* missing_words() const noexcept { return missing_; }
    const NullMask& null_mask() const noexcept { return *mask_; }
    // Whether a row below size() is missing.
    bool missing(std::size_t row) const noexcept {
        return missing_ != nullptr && ((missing_[row / 64] >> (row % 64)) & 1u) != 0;
    }
    // Whether the row exists and holds a cell.
    bool present(std::size_t row) const noexcept { return row < size_ && !missing(row); }

    bool any_present() const noexcept { return store_->any_present; }
    // The type shared by every present cell, or nothing when the column mixes types. A column
    // without present cells reports kInt.
    std::optional<CellType> single_type() const noexcept {
        if (store_->mixed) return std::nullopt;
        return store_->single;
    }
    CellType type_at(std::size_t row) const noexcept {
        return store_->mixed ? store_->type_reader()[row] : store_->single;
    }

    std::int64_t int_at(std::size_t row) const noexcept {
        return std::bit_cast<std::int64_t>(payloads_[row]);
    }
    double double_at(std::size_t row) const noexcept {
        return std::bit_cast<double>(payloads_[row]);
    }
    bool bool_at(std::size_t row) const noexcept { return payloads_[row] != 0; }
    // A string row's text; its bytes may be read 16 bytes past their end.
    std::string_view string_at(std::size_t row) const noexcept {
        return strings_.at(store_->mixed ? static_cast<std::size_t>(payloads_[row]) : row);
    }
    // Calls f with a present row's int64, double, std::string_view or bool.
    template <class F>
    decltype(auto) visit(std::size_t row, F&& f) const {
        switch (type_at(row)) {
            case kInt:
                return f(int_at(row));
            case kDouble:
                return f(double_at(row));
            case kString:
                return f(string_at(row));
            default:
                return f(bool_at(row));
        }
    }

    // The raw arrays, for the exporters that hand them on as they are.
    const std::uint64_t* payloads() const noexcept { return payloads_; }
    const StringCells& strings() const noexcept { return strings_; }
    // The rows' types while the column mixes types.
    RowTypeReader row_types() const noexcept { return store_->type_reader(); }
    // The rows' types as one byte each holding the CellType, which an exporter may hand on as
    // they are, or nullptr when the column does not store them that way (then the exporter builds
    // them from row_types()).
    const std::uint8_t* type_codes() const noexcept {
        return store_->mixed ? store_->types.data() : nullptr;
    }

    // Calls f with the column's cells as one of NoCells, IntCells, DoubleCells, BoolCells,
    // StringColumnCells or MixedCells.
    template <class F>
    decltype(auto) dispatch(F&& f) const {
        if (!store_->any_present) return f(NoCells{});
        if (store_->mixed) return f(MixedCells{payloads_, store_->type_reader(), &strings_});
        switch (store_->single) {
            case kInt:
                return f(IntCells{payloads_});
            case kDouble:
                return f(DoubleCells{payloads_});
            case kString:
                return f(StringColumnCells{&strings_});
            default:
                return f(BoolCells{payloads_});
        }
    }

private:
    const CellStore* store_;
    const NullMask* mask_;
    std::size_t size_;
    const std::uint64_t* missing_;
    const std::uint64_t* payloads_;
    StringCells strings_;
};

}  // namespace kelvra
