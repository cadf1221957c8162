#include "row_order.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>

#include "simd_clones.hpp"

namespace tolvane::kernels {
namespace {

// Lists up to this long are sorted by insertion.
constexpr std::size_t kSmallList = 32;
// Deeper than this, bucketing is not splitting the values well (they spread
// over many orders of magnitude): a comparison sort finishes the list.
constexpr int kMaxBucketDepth = 6;
// At most this many buckets: a bucket number fits a 32-bit integer, whose
// conversion from a double vectorises.
constexpr std::size_t kMaxBuckets = std::size_t{1} << 24;
// Values per bucket when a day's values are cut into groups.
constexpr std::size_t kValuesPerBucket = 4;

bool by_value(const Ranked &a, const Ranked &b) {
    return a.value < b.value;
}

// Whether values from `lo` to `hi` can go into buckets `scale` apart: the
// range and the scale are finite (not so for values near both ends of the
// doubles, nor for a range of a few subnormals).
bool bucketable(double lo, double hi, double scale) {
    return std::isfinite(hi - lo) && std::isfinite(scale) && scale > 0.0;
}

void insertion_sort(Ranked *items, std::size_t count) {
    for (std::size_t i = 1; i < count; ++i) {
        const Ranked item = items[i];
        std::size_t j = i;
        for (; j > 0 && item.value < items[j - 1].value; --j)
            items[j] = items[j - 1];
        items[j] = item;
    }
}

// The smallest and the largest of `count` (at least one) values.
void value_range(const Ranked *items, std::size_t count, double &lo, double &hi) {
    lo = hi = items[0].value;
    for (std::size_t i = 1; i < count; ++i) {
        lo = std::min(lo, items[i].value);
        hi = std::max(hi, items[i].value);
    }
}

// Orders a list without buckets, equal values keeping their order: by
// insertion when it is short.
void sort_without_buckets(Ranked *items, std::size_t count) {
    if (count <= kSmallList)
        insertion_sort(items, count);
    else
        std::stable_sort(items, items + count, by_value);
}

// A stable bucket sort: one bucket per value on the linear scale from the
// smallest to the largest value, then each bucket on its own. A day's values
// of one factor are spread smoothly enough that almost every bucket holds a
// value or two, so a day costs a few passes over the stocks.
void bucket_sort(Ranked *items, std::size_t count, Ranked *scratch, int depth) {
    if (count <= kSmallList) {
        sort_without_buckets(items, count);
        return;
    }
    double lo, hi;
    value_range(items, count, lo, hi);
    if (lo == hi)
        return;
    const double scale = static_cast<double>(count) / (hi - lo);
    if (depth >= kMaxBucketDepth || !bucketable(lo, hi, scale)) {
        sort_without_buckets(items, count);
        return;
    }
    // (value - lo) * scale never decreases as the value grows, so equal
    // values share a bucket and buckets come in value order.
    const auto bucket_of = [&](double value) {
        return std::min(count - 1, static_cast<std::size_t>(static_cast<std::int64_t>((value - lo) * scale)));
    };
    std::vector<std::uint32_t> bucket_end(count + 1, 0);
    for (std::size_t i = 0; i < count; ++i)
        ++bucket_end[bucket_of(items[i].value) + 1];
    for (std::size_t b = 1; b <= count; ++b)
        bucket_end[b] += bucket_end[b - 1];
    for (std::size_t i = 0; i < count; ++i)
        scratch[bucket_end[bucket_of(items[i].value)]++] = items[i];
    std::memcpy(items, scratch, count * sizeof(Ranked));
    // bucket_end[b] is now where bucket b ends.
    std::size_t start = 0;
    for (std::size_t b = 0; b < count; ++b) {
        const std::size_t end = bucket_end[b];
        if (end - start > 1)
            bucket_sort(items + start, end - start, scratch + start, depth + 1);
        start = end;
    }
}

}  // namespace

void RowOrder::sort(std::span<Ranked> items) {
    if (scratch_.size() < items.size())
        scratch_.resize(items.size());
    bucket_sort(items.data(), items.size(), scratch_.data(), 0);
}

namespace {

constexpr double kInfinity = std::numeric_limits<double>::infinity();
// bucket_group values besides the groups: no group, and (from here down) split.
constexpr double kNoGroup = GroupCutter::kNoGroup;
constexpr double kSplit = -2.0;

bool is_finite(double value) {
    return (value > -kInfinity) & (value < kInfinity);
}

// The smallest and the largest finite value of `row` and how many there are.
// The count is kept in doubles (exact far beyond any row's length): a loop
// that mixed them with 64-bit integers would not be vectorised.
TOLVANE_SIMD_CLONES void finite_range(const double *row, std::size_t n, double &lo, double &hi,
                                      std::size_t &count) {
    double smallest = kInfinity, largest = -kInfinity, finite_count = 0.0;
#pragma omp simd reduction(min : smallest) reduction(max : largest) reduction(+ : finite_count)
    for (std::size_t position = 0; position < n; ++position) {
        const double value = row[position];
        const bool finite = is_finite(value);
        smallest = std::min(smallest, finite ? value : kInfinity);
        largest = std::max(largest, finite ? value : -kInfinity);
        finite_count += finite ? 1.0 : 0.0;
    }
    lo = smallest;
    hi = largest;
    count = static_cast<std::size_t>(finite_count);
}

// A day's row as the bucketing reads it: position i holds value i; values
// that are not finite take no part.
struct RowValues {
    const double *row;
    // + 0.0 makes -0.0 equal to 0.0 in every respect, not only in comparisons.
    double value(std::size_t i) const { return row[i] + 0.0; }
    std::size_t position(std::size_t i) const { return i; }
    // Positions fit 32 bits: a row is never longer.
    Ranked item(std::size_t i) const { return {value(i), static_cast<std::uint32_t>(i)}; }
    bool finite(std::size_t i) const { return is_finite(row[i]); }
};

// Values already gathered with their positions, all finite.
struct ItemValues {
    const Ranked *items;
    double value(std::size_t i) const { return items[i].value; }
    std::size_t position(std::size_t i) const { return items[i].position; }
    Ranked item(std::size_t i) const { return items[i]; }
    bool finite(std::size_t) const { return true; }
};

// Each value's bucket on the linear scale `scale` buckets per unit from
// `lo`, the largest values in the last of `n_buckets`; bucket `n_buckets` for
// values that are not finite. The day's row is bucketed in vectors of the
// widest kind the machine has.
template <typename Values>
TOLVANE_SIMD_CLONES void bucket_numbers(const Values &values, std::size_t size, double lo, double scale,
                                        std::size_t n_buckets, std::uint32_t *bucket) {
    const auto last_bucket = static_cast<std::int32_t>(n_buckets) - 1;
    const auto no_bucket = static_cast<std::int32_t>(n_buckets);
#pragma omp simd
    for (std::size_t i = 0; i < size; ++i) {
        const bool finite = values.finite(i);
        const double offset = finite ? values.value(i) - lo : 0.0;
        const auto scaled = static_cast<std::int32_t>(offset * scale);
        bucket[i] = static_cast<std::uint32_t>(finite ? std::min(last_bucket, scaled) : no_bucket);
    }
}

// Gives each value its bucket's group, and its bucket's share when
// `bucket_share` is given.
template <typename Values>
TOLVANE_SIMD_CLONES void give_bucket_values(const Values &values, std::size_t size,
                                            const std::uint32_t *bucket, const double *bucket_group,
                                            const double *bucket_share, double *group_of, double *share_of) {
    if (bucket_share == nullptr) {
#pragma omp simd
        for (std::size_t i = 0; i < size; ++i)
            group_of[values.position(i)] = bucket_group[bucket[i]];
        return;
    }
#pragma omp simd
    for (std::size_t i = 0; i < size; ++i) {
        group_of[values.position(i)] = bucket_group[bucket[i]];
        share_of[values.position(i)] = bucket_share[bucket[i]];
    }
}

// Values are looked for this many at a time: a whole run without one costs
// a few vector comparisons.
constexpr std::size_t kScanRun = 16;

// The first of values from..size-1 whose group is at or below `bound`, or
// `size` when there is none.
template <typename Values>
TOLVANE_SIMD_CLONES std::size_t next_group_at_or_below(const Values &values, const double *group_of,
                                                       std::size_t from, std::size_t size, double bound) {
    std::size_t i = from;
    for (; i + kScanRun <= size; i += kScanRun) {
        double lowest = group_of[values.position(i)];
#pragma omp simd reduction(min : lowest)
        for (std::size_t j = 1; j < kScanRun; ++j)
            lowest = std::min(lowest, group_of[values.position(i + j)]);
        if (lowest <= bound)
            break;
    }
    for (; i < size; ++i) {
        if (group_of[values.position(i)] <= bound)
            return i;
    }
    return size;
}

}  // namespace

std::size_t GroupCutter::cut(const double *row, std::size_t n, std::size_t n_groups, double *group_of,
                             double *share_of) {
    double lo = kInfinity, hi = -kInfinity;
    std::size_t count = 0;
    finite_range(row, n, lo, hi, count);
    count_ = count;
    n_groups_ = n_groups;
    group_of_ = group_of;
    share_of_ = share_of;
    if (n_groups == 0 || count < n_groups) {
        std::fill(group_of, group_of + n, kNoGroup);
        if (share_of != nullptr)
            std::fill(share_of, share_of + n, 0.0);
        return count;
    }
    group_share_.assign(n_groups + 1, 0.0);
    for (std::size_t group = 0; group < n_groups; ++group)
        group_share_[group + 1] = 1.0 / static_cast<double>(group_size(group, count, n_groups));
    // Dividing place * n_groups by count in doubles floors exactly while the
    // product stays far below 2^53 (a quotient that is not whole stays at
    // least 1 / count away from the next whole number); past that, integer
    // division takes over.
    exact_ratio_ = static_cast<double>(count) * static_cast<double>(n_groups) < 0x1p50;
    cut_values(RowValues{row}, n, count, 0, lo + 0.0, hi + 0.0, 0);
    return count;
}

// Gives the groups of places first_place.. to `items`, which come in value order.
void GroupCutter::assign_in_order(const Ranked *items, std::size_t size, std::size_t first_place) {
    std::size_t group = group_at(first_place);
    std::size_t next_start = group_start(group + 1);
    for (std::size_t i = 0; i < size; ++i) {
        while (first_place + i >= next_start)
            next_start = group_start(++group + 1);
        give(items[i].position, static_cast<double>(group));
    }
}

// `items` hold the finite values of places first_place.. listed by position
// (so ties are in order); orders them outright.
void GroupCutter::cut_in_order(Ranked *items, std::size_t size, std::size_t first_place, int depth) {
    if (size > kSmallList && depth < kMaxBucketDepth) {
        double lo, hi;
        value_range(items, size, lo, hi);
        if (lo < hi && bucketable(lo, hi, static_cast<double>(size) / (hi - lo))) {
            cut_values(ItemValues{items}, size, size, first_place, lo, hi, depth);
            return;
        }
    }
    sort_without_buckets(items, size);
    assign_in_order(items, size, first_place);
}

// `values` (`size` of them, listed by position, the finite ones from `lo` to
// `hi`) hold the values of places first_place..; gives each its group.
template <typename Values>
void GroupCutter::cut_values(const Values &values, std::size_t size, std::size_t finite_count,
                             std::size_t first_place, double lo, double hi, int depth) {
    // Finite values in buckets 0..n_buckets-1, a few values a bucket up to a
    // bound; the others in bucket `n_buckets`. Few enough buckets that the
    // day's tables stay in the first-level cache; the buckets a cut runs
    // through then hold a handful of values each, quickly ordered.
    const std::size_t n_buckets = std::clamp<std::size_t>(finite_count / kValuesPerBucket, 1, kMaxBuckets);
    const double scale = static_cast<double>(n_buckets) / (hi - lo);
    if (lo == hi || !bucketable(lo, hi, scale)) {
        order_and_assign(values, size, first_place);
        return;
    }
    Buckets own_buckets;
    Buckets &buckets = depth == 0 ? day_buckets_ : own_buckets;
    fill_buckets(values, size, lo, scale, n_buckets, buckets);
    SplitBuckets split = group_buckets(n_buckets, first_place, finite_count, buckets);
    std::vector<Ranked> pending = give_bucket_groups(values, size, n_buckets, split, buckets);
    std::size_t offset = 0;
    for (const std::size_t b : split.buckets) {
        const std::size_t members = buckets.start[b + 1] - buckets.start[b];
        cut_in_order(pending.data() + offset, members, first_place + buckets.start[b], depth + 1);
        offset += members;
    }
}

// All values tied (position order is the order), or too wide a range to
// bucket: the finite values are ordered outright.
template <typename Values>
void GroupCutter::order_and_assign(const Values &values, std::size_t size, std::size_t first_place) {
    std::vector<Ranked> items;
    for (std::size_t i = 0; i < size; ++i) {
        if (values.finite(i))
            items.push_back(values.item(i));
        else
            give(values.position(i), kNoGroup);
    }
    std::stable_sort(items.begin(), items.end(), by_value);
    assign_in_order(items.data(), items.size(), first_place);
}

// Each value's bucket, and where each bucket's values begin in value order.
template <typename Values>
void GroupCutter::fill_buckets(const Values &values, std::size_t size, double lo, double scale,
                               std::size_t n_buckets, Buckets &buckets) {
    buckets.of_value.resize(size);
    buckets.start.assign(n_buckets + 2, 0);
    std::uint32_t *bucket = buckets.of_value.data();
    bucket_numbers(values, size, lo, scale, n_buckets, bucket);
    std::vector<std::uint32_t> &start = buckets.start;
#pragma GCC unroll 4
    for (std::size_t i = 0; i < size; ++i)
        ++start[bucket[i] + 1];
    std::uint32_t running = 0;
    for (std::size_t b = 1; b <= n_buckets + 1; ++b) {
        running += start[b];
        start[b] = running;
    }
}

// Each bucket's group: the groups' places laid over the buckets; then every
// bucket that a cut between two groups runs through is marked split, as
// kSplit - (its index in the list of split buckets).
GroupCutter::SplitBuckets GroupCutter::group_buckets(std::size_t n_buckets, std::size_t first_place,
                                                     std::size_t finite_count, Buckets &buckets) const {
    const std::vector<std::uint32_t> &start = buckets.start;
    std::vector<double> &bucket_group = buckets.group;
    bucket_group.resize(n_buckets + 1);
    bucket_group[n_buckets] = kNoGroup;
    const auto bucket_of_place = [&](std::size_t local_place) {
        return static_cast<std::size_t>(
                   std::upper_bound(start.begin(), start.begin() + n_buckets + 1, local_place) -
                   start.begin()) -
               1;
    };
    const std::size_t first_group = group_at(first_place);
    const std::size_t last_group = group_at(first_place + finite_count - 1);
    for (std::size_t group = first_group; group <= last_group; ++group) {
        const std::size_t first = std::max(group_start(group), first_place) - first_place;
        const std::size_t end = std::min(group_start(group + 1) - first_place, finite_count);
        std::fill(bucket_group.begin() + static_cast<std::ptrdiff_t>(bucket_of_place(first)),
                  bucket_group.begin() + static_cast<std::ptrdiff_t>(bucket_of_place(end - 1) + 1),
                  static_cast<double>(group));
    }
    SplitBuckets split;
    for (std::size_t group = first_group + 1; group <= last_group; ++group) {
        const std::size_t cut = group_start(group) - first_place;
        const std::size_t b = bucket_of_place(cut);
        if (start[b] < cut && bucket_group[b] > kSplit) {
            bucket_group[b] = kSplit - static_cast<double>(split.buckets.size());
            split.buckets.push_back(b);
            split.filled.push_back(split.filled.back() + (start[b + 1] - start[b]));
        }
    }
    return split;
}

// Buckets inside one group are done: each value gets its bucket's group (and
// share). The values of the split buckets are gathered bucket by bucket,
// still in position order, to be cut further; they get their shares then.
template <typename Values>
std::vector<Ranked> GroupCutter::give_bucket_groups(const Values &values, std::size_t size,
                                                    std::size_t n_buckets, SplitBuckets &split,
                                                    Buckets &buckets) {
    const double *bucket_share = nullptr;
    if (share_of_ != nullptr) {
        std::vector<double> &shares = buckets.share;
        shares.resize(n_buckets + 1);
        for (std::size_t b = 0; b <= n_buckets; ++b) {
            const double group = std::max(buckets.group[b], kNoGroup);
            shares[b] = group_share_[static_cast<std::size_t>(group + 1.0)];
        }
        bucket_share = shares.data();
    }
    give_bucket_values(values, size, buckets.of_value.data(), buckets.group.data(), bucket_share, group_of_,
                       share_of_);
    std::vector<std::size_t> &filled = split.filled;
    std::vector<Ranked> pending(filled.back());
    if (split.buckets.empty())
        return pending;
    for (std::size_t i = next_group_at_or_below(values, group_of_, 0, size, kSplit); i < size;
         i = next_group_at_or_below(values, group_of_, i + 1, size, kSplit)) {
        const double group = group_of_[values.position(i)];
        pending[filled[static_cast<std::size_t>(kSplit - group)]++] = values.item(i);
    }
    return pending;
}

void average_ranks(std::span<const Ranked> ordered, double *rank_of) {
    std::size_t first = 0;
    while (first < ordered.size()) {
        std::size_t end = first + 1;
        while (end < ordered.size() && ordered[end].value == ordered[first].value)
            ++end;
        // Places first..end-1 (0-based) share the mean of ranks first+1..end.
        const double rank = 0.5 * static_cast<double>(first + 1 + end);
        for (std::size_t place = first; place < end; ++place)
            rank_of[ordered[place].position] = rank;
        first = end;
    }
}

}  // namespace tolvane::kernels
