// The class sums of one tile (or unit) of a pair pass for equal-width
// classes: the row kernels add each pair to a plain per-(class, lane) slot,
// which is folded, in slot order, into the tile's compensated class sums
// every few runs; the rounded class sums go to the partials at the end of the
// tile. The order of every addition is therefore fixed by the tile alone.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "krige/kernel/exact_sum.hpp"
#include "krige/kernel/row_kernels.hpp"
#include "krige/kernel/semivariogram_kernel.hpp"

namespace orv::krige {

// Lanes per class (pairs go to lane c % 8 of their class).
constexpr std::size_t kSlotLanes = 8;
// Plain sums run over at least this many runs of a tile per lane before they
// are folded: a few hundred terms each.
constexpr std::size_t kMinFoldRuns = 16;

class LaneSlots {
 public:
  explicit LaneSlots(std::size_t n_lags)
      : n_lags_(n_lags),
        fold_runs_(std::max<std::size_t>(kMinFoldRuns, (n_lags + 1) / 2)),
        slots_((n_lags + 1) * kSlotLanes * kSlotWidth, 0.0),
        count_(n_lags, 0),
        distance_(n_lags),
        estimate_(n_lags) {}

  // The slots the row kernels fill; the last kSlotLanes take the pairs of no
  // class.
  double* data() { return slots_.data(); }

  // Call after each run the row kernels added, or with the rows of the
  // register sums added.
  void runs_added(std::size_t runs = 1) {
    runs_ += runs;
    if (runs_ >= fold_runs_) fold();
  }

  // Adds a leaf pair's register sums of `classes` classes from class
  // `first` (leaf_sums), lane by lane.
  void add_leaf(std::size_t first, std::size_t classes, const LeafSums& sums) {
    for (std::size_t j = 0; j < classes; ++j) {
      double* slot = slots_.data() + (first + j) * kSlotLanes * kSlotWidth;
      for (std::size_t lane = 0; lane < kSlotLanes; ++lane, slot += kSlotWidth) {
        if (sums.count[j][lane] == 0.0) continue;
        slot[0] += sums.distance[j][lane];
        slot[1] += sums.semivariance[j][lane];
        slot[2] += sums.count[j][lane];
      }
    }
  }

  // The tile's class sums to the partials; the slots start afresh.
  void finish(ClassPartials& partials) {
    fold();
    for (std::size_t k = 0; k < n_lags_; ++k) {
      if (count_[k] == 0) continue;
      partials.add_tile_class(k, count_[k], distance_[k].value(), estimate_[k].value());
      count_[k] = 0;
      distance_[k].reset();
      estimate_[k].reset();
    }
  }

 private:
  void fold() {
    for (std::size_t k = 0; k < n_lags_; ++k) {
      for (std::size_t lane = 0; lane < kSlotLanes; ++lane) {
        double* slot = slots_.data() + (k * kSlotLanes + lane) * kSlotWidth;
        if (slot[2] == 0.0) continue;
        count_[k] += static_cast<std::uint64_t>(slot[2]);
        distance_[k].add(slot[0]);
        estimate_[k].add(slot[1]);
        std::fill(slot, slot + kSlotWidth, 0.0);
      }
    }
    // The slots of no class only take the pairs left out.
    std::fill(slots_.begin() + n_lags_ * kSlotLanes * kSlotWidth, slots_.end(), 0.0);
    runs_ = 0;
  }

  std::size_t n_lags_;
  std::size_t fold_runs_;
  std::vector<double> slots_;
  std::vector<std::uint64_t> count_;
  std::vector<CompensatedSum> distance_;
  std::vector<CompensatedSum> estimate_;
  std::size_t runs_ = 0;
};

}  // namespace orv::krige
