// A column's sum is a strict left-to-right double sum, so one column's additions form a chain in
// which each waits for the one before. The sums of several columns are independent chains: they
// advance side by side, a block of rows at a time, so that the processor overlaps them.
#include "column_totals.h"

#include <algorithm>
#include <array>
#include <bit>
#include <optional>

#include "column_view.h"

namespace kelvra {
namespace {

constexpr std::size_t kBlock = 256;
constexpr std::size_t kLanes = 8;
constexpr std::size_t kScratchOffset = 1024 / sizeof(double);
static_assert(kScratchOffset + kBlock <= 4096 / sizeof(double));

struct Lane {
    const std::uint64_t* payloads;
    bool doubles;  // payloads are doubles, else integers or booleans
    std::size_t rows;
    double sum = 0.0;
};

// Adds block rows [0, kBlock) of every lane's values to its sum, the lanes interleaved.
template <std::size_t K>
void add_block(const std::array<const double*, kLanes>& values, std::array<double, kLanes>& sums) {
    std::array<double, K> s;
    for (std::size_t c = 0; c < K; ++c) s[c] = sums[c];
    for (std::size_t j = 0; j < kBlock; ++j) {
        for (std::size_t c = 0; c < K; ++c) s[c] += values[c][j];
    }
    for (std::size_t c = 0; c < K; ++c) sums[c] = s[c];
}

template <std::size_t... K>
void add_block_of(std::size_t lanes, const std::array<const double*, kLanes>& values,
                  std::array<double, kLanes>& sums, std::index_sequence<K...>) {
    // Calls add_block<lanes>.
    (void)((lanes == K + 1 ? (add_block<K + 1>(values, sums), true) : false) || ...);
}

// Missing rows hold 0 and rows past a column's end are read as 0: adding +0.0 to a running sum
// that starts at +0.0 never changes it.
void sum_lanes(Lane* lanes, std::size_t count) {
    std::size_t longest = 0;
    for (std::size_t c = 0; c < count; ++c) longest = std::max(longest, lanes[c].rows);
    // Each lane's converted values lie in a 4 KB page of their own, starting a quarter into it.
    // A block of a column's array starts on a multiple of 2 KB (the arrays start on huge-page
    // boundaries), so a load from it and a store to the scratch never share the low 12 bits of
    // their addresses: the load never waits on a store that only looks like the same address
    // (4K aliasing, which made the conversion loop a third slower).
    struct alignas(4096) ScratchPage {
        double values[4096 / sizeof(double)];
    };
    std::array<ScratchPage, kLanes> scratch;
    std::array<const double*, kLanes> values{};
    std::array<double, kLanes> sums{};
    for (std::size_t begin = 0; begin < longest; begin += kBlock) {
        for (std::size_t c = 0; c < count; ++c) {
            const Lane& lane = lanes[c];
            const std::uint64_t* p = lane.payloads;
            const std::size_t end = std::min(lane.rows, begin + kBlock);
            if (lane.doubles && end == begin + kBlock) {
                values[c] = reinterpret_cast<const double*>(p + begin);
                continue;
            }
            double* out = scratch[c].values + kScratchOffset;
            std::size_t j = 0;
            if (lane.doubles) {
                for (std::size_t i = begin; i < end; ++i) out[j++] = std::bit_cast<double>(p[i]);
            } else {
                for (std::size_t i = begin; i < end; ++i) {
                    out[j++] = static_cast<double>(std::bit_cast<std::int64_t>(p[i]));
                }
            }
            std::fill(out + j, out + kBlock, 0.0);
            values[c] = out;
        }
        add_block_of(count, values, sums, std::make_index_sequence<kLanes>{});
    }
    for (std::size_t c = 0; c < count; ++c) lanes[c].sum = sums[c];
}

}  // namespace

std::vector<NumericTotal> column_totals(const std::vector<const Column*>& columns) {
    std::vector<NumericTotal> totals(columns.size());
    std::vector<Lane> lanes;
    std::vector<std::size_t> lane_of;
    for (std::size_t i = 0; i < columns.size(); ++i) {
        const Column& column = *columns[i];
        const ColumnView view(column);
        const std::optional<CellType> type = view.single_type();
        if (!type) {
            totals[i] = column.sum_and_count();  // mixed: a loop of its own over the type bytes
        } else if (*type != kString && column.size() > 0) {
            lanes.push_back(Lane{view.payloads(), *type == kDouble, column.size()});
            lane_of.push_back(i);
            totals[i].count = column.size() - column.null_mask.count_missing();
        }
    }
    for (std::size_t first = 0; first < lanes.size(); first += kLanes) {
        sum_lanes(lanes.data() + first, std::min(kLanes, lanes.size() - first));
    }
    for (std::size_t k = 0; k < lanes.size(); ++k) totals[lane_of[k]].sum = lanes[k].sum;
    return totals;
}

}  // namespace kelvra
