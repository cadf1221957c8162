// Ordering one day's values across the stocks: the factor groups cut the
// ordered values into equal-count groups, the rank correlation ranks them.
//
// Only finite values take part. Values come in ascending order and equal
// values in the order of their positions, so a cut through a run of ties
// falls the same way every time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace tolvane::kernels {

// A value and where it came from: a stock's column, or its place in a list.
struct Ranked {
    double value;
    std::uint32_t position;
};

// Sorts lists of values, reusing its buffer from one day to the next.
class RowOrder {
  public:
    // Sorts `items` by value, equal values keeping their order.
    void sort(std::span<Ranked> items);

  private:
    std::vector<Ranked> scratch_;
};

// Cuts one day's finite values into `n_groups` groups of equal count: in the
// order above, the value at place p (0 = smallest) of `count` goes to group
// floor(p * n_groups / count), so group sizes differ by at most one and the
// larger groups are spread evenly. With fewer values than groups, nobody is
// grouped.
//
// Only the places next to a cut between two groups need the exact order, so
// the values are bucketed on a linear scale between the smallest and the
// largest, and just the few buckets a cut runs through are ordered further.
class GroupCutter {
  public:
    // The group written for a value that is in no group.
    static constexpr double kNoGroup = -1.0;

    // Writes the group (0-based, as a double) of each of the `n` values of
    // `row` (contiguous) to `group_of[position]`, or kNoGroup where the value is not
    // finite or the day has fewer finite values than groups; and, when
    // `share_of` is given, the value's share of its group to
    // `share_of[position]`: 1 / the group's size, 0 where it has no group.
    // Returns the number of finite values.
    std::size_t cut(const double *row, std::size_t n, std::size_t n_groups, double *group_of,
                    double *share_of = nullptr);

    // The number of members of `group` when `count` values are cut into `n_groups`.
    static std::size_t group_size(std::size_t group, std::size_t count, std::size_t n_groups) {
        return count < n_groups
                   ? 0
                   : group_start(group + 1, count, n_groups) - group_start(group, count, n_groups);
    }

  private:
    // One level's bucket tables: each value's bucket, where each bucket's
    // values begin in value order, each bucket's group (or its mark as split)
    // and share. The day's level keeps its tables from one day to the next.
    struct Buckets {
        std::vector<std::uint32_t> of_value;
        std::vector<std::uint32_t> start;
        std::vector<double> group;
        std::vector<double> share;
    };
    // The buckets a cut between two groups runs through, and where each one's
    // values go in the list gathered to cut them further.
    struct SplitBuckets {
        std::vector<std::size_t> buckets;
        std::vector<std::size_t> filled{0};
    };

    template <typename Values>
    void cut_values(const Values &values, std::size_t size, std::size_t finite_count, std::size_t first_place,
                    double lo, double hi, int depth);
    template <typename Values>
    void order_and_assign(const Values &values, std::size_t size, std::size_t first_place);
    template <typename Values>
    static void fill_buckets(const Values &values, std::size_t size, double lo, double scale,
                             std::size_t n_buckets, Buckets &buckets);
    SplitBuckets group_buckets(std::size_t n_buckets, std::size_t first_place, std::size_t finite_count,
                               Buckets &buckets) const;
    template <typename Values>
    std::vector<Ranked> give_bucket_groups(const Values &values, std::size_t size, std::size_t n_buckets,
                                           SplitBuckets &split, Buckets &buckets);
    void cut_in_order(Ranked *items, std::size_t size, std::size_t first_place, int depth);
    void assign_in_order(const Ranked *items, std::size_t size, std::size_t first_place);
    void give(std::size_t position, double group) {
        group_of_[position] = group;
        if (share_of_ != nullptr)
            share_of_[position] = group_share_[static_cast<std::size_t>(group + 1.0)];
    }

    // The first place of a group: ceil(group * count / n_groups).
    static std::size_t group_start(std::size_t group, std::size_t count, std::size_t n_groups) {
        return (group * count + n_groups - 1) / n_groups;
    }
    std::size_t group_start(std::size_t group) const { return group_start(group, count_, n_groups_); }
    // floor(place * n_groups / count)
    std::size_t group_at(std::size_t place) const {
        return exact_ratio_ ? static_cast<std::size_t>(static_cast<std::int64_t>(
                                  static_cast<double>(place * n_groups_) / static_cast<double>(count_)))
                            : place * n_groups_ / count_;
    }

    std::size_t count_ = 0;
    std::size_t n_groups_ = 0;
    bool exact_ratio_ = false;
    double *group_of_ = nullptr;
    double *share_of_ = nullptr;
    // Each group's share at group + 1; 0 at 0, for no group.
    std::vector<double> group_share_;
    Buckets day_buckets_;
};

// The average rank (1-based; ties share the mean of their places) of each
// ordered value, written to `rank_of[position]`.
void average_ranks(std::span<const Ranked> ordered, double *rank_of);

}  // namespace tolvane::kernels
