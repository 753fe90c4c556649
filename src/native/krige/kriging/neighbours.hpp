// The neighbourhood of a target: which samples its kriging system uses.
//
// It is defined without reference to any search structure, so that every
// route to it gives the same set: among the samples in reach of the target
// (all, or those within the maximum distance; never the left-out sample of a
// cross-validation), the k that come first by (squared search distance,
// sample index). The k-d tree (nanoflann) only narrows the candidates; the
// choice among them is always made by `nearer` on distances computed by
// SampleSet::search_distance2, which the tree computes with the same
// operations.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <vector>

#include "krige/kriging/samples.hpp"

namespace orv::krige::kriging {

constexpr std::uint32_t kNoSample = std::numeric_limits<std::uint32_t>::max();

struct Neighbour {
  double distance2;
  std::uint32_t index;
  std::uint32_t slot;  // position among the candidates it was selected from
};

// The order of neighbours: by squared search distance, then index.
struct Nearer {
  bool operator()(const Neighbour& a, const Neighbour& b) const {
    return a.distance2 < b.distance2 || (a.distance2 == b.distance2 && a.index < b.index);
  }
};
constexpr Nearer nearer{};

// Which samples a target may use.
struct Reach {
  std::size_t k = 1;                                          // at most this many
  double distance = std::numeric_limits<double>::infinity();  // model distance bound
  double search2 = std::numeric_limits<double>::infinity();   // its search-space bound

  // Whether sample i, at squared search distance d2 from `target`, is in
  // reach (the model distance is only computed for geographic bounds).
  bool admits(const SampleSet& samples, std::size_t i, const Place& target, double d2) const {
    if (!(d2 <= search2)) return false;
    if (!samples.geographic() || !(distance < std::numeric_limits<double>::infinity())) {
      return true;
    }
    return samples.model_distance(i, target, d2) <= distance;
  }
};

Reach make_reach(const SampleSet& samples, std::size_t k, double max_distance);

class SampleTree {
 public:
  explicit SampleTree(const SampleSet& samples);
  ~SampleTree();
  SampleTree(const SampleTree&) = delete;
  SampleTree& operator=(const SampleTree&) = delete;

  // The neighbourhood of `target` (sorted by `nearer`), leaving out sample
  // `exclude` (kNoSample: none).
  void neighbourhood(const Place& target, const Reach& reach, std::uint32_t exclude,
                     std::vector<Neighbour>& out) const;

  // Every sample that can be in the neighbourhood of a target within search
  // distance `spread` of `centre`, in increasing index order (a superset).
  void candidates(const Place& centre, double spread, const Reach& reach,
                  std::vector<std::uint32_t>& out) const;

 private:
  struct Index;
  const SampleSet& samples_;
  std::unique_ptr<Index> index_;
};

// The neighbourhood of `target` among `candidates` (sample indices,
// increasing), as SampleTree::neighbourhood would give it when the
// candidates include it, but in candidate order. distances: working space.
void select_neighbourhood(const SampleSet& samples, const std::vector<std::uint32_t>& candidates,
                          const Place& target, const Reach& reach, std::vector<Neighbour>& out,
                          std::vector<double>& distances);

}  // namespace orv::krige::kriging
