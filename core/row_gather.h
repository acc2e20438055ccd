// Taking chosen rows of a column into a new column, a run of rows at a time: the row filter hands
// every column of a table the kept rows of one block before it goes on to the next, so that the
// block's positions stay in the cache while all the columns read them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

#include "column.h"
#include "column_builder.h"
#include "column_view.h"
#include "stream_store.h"

namespace kelvra {

class RowGather {
public:
    // A result of `count` rows: exactly that many rows below the column's size will be taken.
    // `stream`: its arrays are written with streaming stores (stream_store.h).
    RowGather(const Column& source, std::size_t count, bool stream);
    // The bytes of the arrays of a result of `count` rows of the column.
    static std::size_t result_bytes(const Column& source, std::size_t count) noexcept;
    RowGather(const RowGather&) = delete;
    RowGather& operator=(const RowGather&) = delete;

    // Appends the rows at positions rows[0..n), ascending; positions past the column's end are
    // skipped.
    template <class Index>
    void take(const Index* rows, std::size_t n);
    // The new column, once all its rows are taken.
    std::shared_ptr<Column> finish();

private:
    enum class Layout { kNumbers, kStrings, kMixed };

    template <class Index>
    void take_missing(const Index* rows, std::size_t n);
    template <class Index>
    void take_mixed(const Index* rows, std::size_t n);

    ColumnView view_;
    std::shared_ptr<Column> out_;
    ColumnBuilder build_;
    Layout layout_;
    std::size_t count_;
    bool stream_;  // the result's arrays are written around the cache
    std::size_t taken_ = 0;
    std::uint64_t* payloads_ = nullptr;
    RowTypeWriter types_{nullptr};
    // The result's missing bits, while the source has missing rows; the last word in a register.
    PodBuffer<std::uint64_t> missing_;
    std::uint64_t missing_word_ = 0;
    std::optional<StringGather> strings_;
    // In a mixed column: the string rows so far, the source cells of a run's string rows and the
    // set of the present rows' types.
    std::size_t string_rows_ = 0;
    PodBuffer<std::size_t> string_cells_;
    unsigned seen_ = 0;
};

}  // namespace kelvra
