#include "row_gather.h"

#include <algorithm>
#include <type_traits>

#include "stream_store.h"

namespace kelvra {

std::size_t RowGather::result_bytes(const Column& source, std::size_t count) noexcept {
    const ColumnView view(source);
    if (!view.single_type()) return count * (sizeof(std::uint64_t) + 1 + sizeof(PackedString));
    return count * (*view.single_type() == kString ? sizeof(PackedString) : sizeof(std::uint64_t));
}

RowGather::RowGather(const Column& source, std::size_t count, bool stream)
    : view_(source),
      out_(std::make_shared<Column>(source.dtype)),
      build_(*out_),
      layout_(view_.single_type() == kString && view_.any_present() ? Layout::kStrings
              : view_.single_type()                                 ? Layout::kNumbers
                                                                    : Layout::kMixed),
      count_(count),
      stream_(stream) {
    if (view_.any_missing()) missing_.assign(NullMask::word_count(count), 0);
    if (layout_ == Layout::kStrings) {
        strings_.emplace(view_.strings(), count, stream_);
        return;
    }
    payloads_ = build_.payloads_for(count);
    if (layout_ == Layout::kMixed) {
        types_ = build_.types_for(count);
        if (view_.strings().store() != nullptr) strings_.emplace(view_.strings(), count, stream_);
    }
}

template <class Index>
void RowGather::take(const Index* rows, std::size_t n) {
    // The positions ascend, so those within the column come first.
    if (n != 0 && rows[n - 1] >= view_.size()) {
        n = static_cast<std::size_t>(std::lower_bound(rows, rows + n, view_.size()) - rows);
    }
    n = std::min(n, count_ - taken_);
    if (view_.any_missing()) take_missing(rows, n);
    if (layout_ == Layout::kStrings) {
        strings_->take(rows, n);
    } else if (layout_ == Layout::kMixed) {
        take_mixed(rows, n);
    } else {
        const std::uint64_t* source = view_.payloads();
        std::uint64_t* out = payloads_ + taken_;
        if (stream_) {
            for (std::size_t j = 0; j < n; ++j) stream_store(out + j, source[rows[j]]);
        } else {
            for (std::size_t j = 0; j < n; ++j) out[j] = source[rows[j]];
        }
    }
    taken_ += n;
}

// The result's bits are built a word at a time in a register: the rows up to the next word
// boundary of the result, then 64 at a time.
template <class Index>
void RowGather::take_missing(const Index* rows, std::size_t n) {
    const std::uint64_t* source = view_.missing_words();
    std::uint64_t* words = missing_.data();
    std::uint64_t word = missing_word_;
    std::size_t at = taken_;
    for (std::size_t j = 0; j < n;) {
        const std::size_t shift = at % NullMask::kBits;
        const std::size_t count = std::min(NullMask::kBits - shift, n - j);
        std::uint64_t bits = 0;
        for (std::size_t b = 0; b < count; ++b) {
            const std::size_t r = rows[j + b];
            bits |= ((source[r / NullMask::kBits] >> (r % NullMask::kBits)) & 1u) << b;
        }
        word |= bits << shift;
        words[at / NullMask::kBits] = word;
        j += count;
        at += count;
        if (at % NullMask::kBits == 0) word = 0;
    }
    missing_word_ = word;
}

// The payloads and types, and the string rows' cells renumbered in the result's order. A missing
// row holds 0 and is never a string row here. Everything the loop reads is in locals, so that its
// stores do not make the compiler read the members again for every row.
template <class Index>
void RowGather::take_mixed(const Index* rows, std::size_t n) {
    const std::uint64_t* source = view_.payloads();
    const RowTypeReader types = view_.row_types();
    const std::uint64_t* missing = view_.missing_words();
    std::uint64_t* out = payloads_ + taken_;
    std::uint8_t* out_types = types_.bytes + taken_;
    std::size_t* cell = strings_ ? string_cells_.extend_uninitialised(n) : nullptr;
    const std::uint64_t first_cell = string_rows_;
    std::size_t m = 0;
    unsigned seen = 0;
    const auto loop = [&](auto store, bool strings) {
        for (std::size_t j = 0; j < n; ++j) {
            const std::size_t r = rows[j];
            const CellType type = types[r];
            out_types[j] = static_cast<std::uint8_t>(type);
            const bool present =
                missing == nullptr ||
                ((missing[r / NullMask::kBits] >> (r % NullMask::kBits)) & 1u) == 0;
            seen |= (1u << type) & (0u - static_cast<unsigned>(present));
            std::uint64_t payload = source[r];
            if (strings) {
                // No branch on the row's kind: its payload becomes its cell's index only for a
                // string.
                const std::uint64_t string_row = (type == kString) & present;
                cell[m] = static_cast<std::size_t>(payload);
                payload ^= (payload ^ (first_cell + m)) & (0 - string_row);
                m += string_row;
            }
            store(out + j, payload);
        }
    };
    const auto plain = [](std::uint64_t* at, std::uint64_t v) { *at = v; };
    const auto streamed = [](std::uint64_t* at, std::uint64_t v) { stream_store(at, v); };
    if (stream_) {
        cell != nullptr ? loop(streamed, true) : loop(streamed, false);
    } else {
        cell != nullptr ? loop(plain, true) : loop(plain, false);
    }
    seen_ |= seen;
    if (cell != nullptr) {
        strings_->take(cell, m);
        string_rows_ += m;
    }
}

std::shared_ptr<Column> RowGather::finish() {
    if (stream_) stream_fence();
    if (view_.any_missing()) {
        build_.append_missing(missing_.data(), taken_);
    } else {
        PodBuffer<std::uint64_t> none(NullMask::word_count(taken_), 0);
        build_.append_missing(none.data(), taken_);
    }
    if (strings_) build_.adopt_strings(strings_->finish());
    switch (layout_) {
        case Layout::kStrings:
            build_.finish(taken_, kString);
            break;
        case Layout::kMixed:
            build_.finish(taken_, std::nullopt, seen_);
            break;
        default:
            build_.finish(taken_, view_.single_type());
            break;
    }
    return std::move(out_);
}

template void RowGather::take(const std::uint32_t*, std::size_t);
template void RowGather::take(const std::size_t*, std::size_t);

}  // namespace kelvra
