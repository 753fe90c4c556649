#include "krige/kriging/neighbours.hpp"

#include <algorithm>
#include <cmath>
#include <nanoflann.hpp>

namespace orv::krige::kriging {
namespace {

constexpr double kInfinity = std::numeric_limits<double>::infinity();

// A bound a little above `d2`, for the tree's pruning: its running lower
// bound of a node's distance is rounded differently from a point's own
// distance, so a strict bound could drop a sample that ties the k-th.
double widened(double d2) { return d2 + d2 * 1e-12 + 1e-300; }

// The samples' search coordinates as nanoflann reads them.
struct SearchCloud {
  const SampleSet* samples;
  std::size_t kdtree_get_point_count() const { return samples->size(); }
  double kdtree_get_pt(std::uint32_t i, std::size_t dim) const { return samples->search(i)[dim]; }
  template <class Box>
  bool kdtree_get_bbox(Box&) const {
    return false;
  }
};

using Tree = nanoflann::KDTreeSingleIndexAdaptor<nanoflann::L2_Simple_Adaptor<double, SearchCloud>,
                                                 SearchCloud, -1, std::uint32_t>;

// nanoflann result set keeping the `capacity` nearest admitted samples by
// `nearer` (ties at the k-th distance resolved by index, which nanoflann's
// own sets leave to the traversal order).
class NearestSet {
 public:
  NearestSet(const SampleSet& samples, const Place& target, const Reach& reach,
             std::uint32_t exclude, std::vector<Neighbour>& kept)
      : samples_(samples), target_(target), reach_(reach), exclude_(exclude), kept_(kept) {
    kept_.clear();
    kept_.reserve(reach.k);
  }

  std::size_t size() const { return kept_.size(); }
  bool full() const { return kept_.size() == reach_.k; }

  double worstDist() const { return widened(full() ? kept_.back().distance2 : reach_.search2); }

  bool addPoint(double d2, std::uint32_t index) {
    if (index == exclude_) return true;
    const Neighbour candidate{d2, index, 0};
    if (full() && !nearer(candidate, kept_.back())) return true;
    if (!reach_.admits(samples_, index, target_, d2)) return true;
    if (full()) kept_.pop_back();
    kept_.insert(std::upper_bound(kept_.begin(), kept_.end(), candidate, nearer), candidate);
    return true;
  }

 private:
  const SampleSet& samples_;
  const Place& target_;
  const Reach& reach_;
  std::uint32_t exclude_;
  std::vector<Neighbour>& kept_;
};

// nanoflann result set collecting every sample within a squared distance.
class WithinSet {
 public:
  WithinSet(double radius2, std::vector<std::uint32_t>& found) : radius2_(radius2), found_(found) {
    found_.clear();
  }
  std::size_t size() const { return found_.size(); }
  bool full() const { return true; }
  double worstDist() const { return radius2_; }
  bool addPoint(double d2, std::uint32_t index) {
    if (d2 <= radius2_) found_.push_back(index);
    return true;
  }

 private:
  double radius2_;
  std::vector<std::uint32_t>& found_;
};

}  // namespace

Reach make_reach(const SampleSet& samples, std::size_t k, double max_distance) {
  Reach reach;
  reach.k = std::max<std::size_t>(1, std::min(k, samples.size()));
  reach.distance = max_distance;
  reach.search2 = samples.search_reach2(max_distance);
  return reach;
}

struct SampleTree::Index {
  SearchCloud cloud;
  Tree tree;
  Index(const SampleSet& samples, int dims)
      : cloud{&samples}, tree(dims, cloud, nanoflann::KDTreeSingleIndexAdaptorParams(16)) {}
};

SampleTree::SampleTree(const SampleSet& samples)
    : samples_(samples), index_(std::make_unique<Index>(samples, samples.search_dims())) {}

SampleTree::~SampleTree() = default;

void SampleTree::neighbourhood(const Place& target, const Reach& reach, std::uint32_t exclude,
                               std::vector<Neighbour>& out) const {
  NearestSet set(samples_, target, reach, exclude, out);
  index_->tree.findNeighbors(set, target.search, nanoflann::SearchParams());
}

void SampleTree::candidates(const Place& centre, double spread, const Reach& reach,
                            std::vector<std::uint32_t>& out) const {
  // Any target within `spread` of the centre has k samples within r_k +
  // spread (r_k: the centre's k-th distance, reach aside), so its k nearest
  // lie within r_k + 2 spread of the centre; and those in reach within the
  // reach + spread.
  double radius = kInfinity;
  if (reach.k < samples_.size()) {
    Reach unbounded;
    unbounded.k = reach.k;
    std::vector<Neighbour> nearest;
    NearestSet set(samples_, centre, unbounded, kNoSample, nearest);
    index_->tree.findNeighbors(set, centre.search, nanoflann::SearchParams());
    if (nearest.size() == reach.k) radius = std::sqrt(nearest.back().distance2) + 2.0 * spread;
  }
  radius = std::min(radius, std::sqrt(reach.search2) + spread);
  if (!(radius < kInfinity)) {
    out.resize(samples_.size());
    for (std::size_t i = 0; i < out.size(); ++i) out[i] = static_cast<std::uint32_t>(i);
    return;
  }
  WithinSet set(widened(radius * radius * (1.0 + 1e-9)), out);
  index_->tree.findNeighbors(set, centre.search, nanoflann::SearchParams());
  std::sort(out.begin(), out.end());
}

void select_neighbourhood(const SampleSet& samples, const std::vector<std::uint32_t>& candidates,
                          const Place& target, const Reach& reach, std::vector<Neighbour>& out,
                          std::vector<double>& distances) {
  out.clear();
  for (std::size_t slot = 0; slot < candidates.size(); ++slot) {
    const std::uint32_t i = candidates[slot];
    const double d2 = samples.search_distance2(i, target);
    if (reach.admits(samples, i, target, d2)) {
      out.push_back({d2, i, static_cast<std::uint32_t>(slot)});
    }
  }
  if (out.size() <= reach.k) return;
  // The k-th smallest distance t; then every candidate nearer than t and, in
  // index (candidate) order, those at t until there are k: the first k by
  // `nearer`, left in candidate order.
  distances.resize(out.size());
  for (std::size_t i = 0; i < out.size(); ++i) distances[i] = out[i].distance2;
  const auto kth = distances.begin() + static_cast<std::ptrdiff_t>(reach.k - 1);
  std::nth_element(distances.begin(), kth, distances.end());
  const double t = *kth;
  std::size_t below = 0;
  for (const Neighbour& n : out) below += n.distance2 < t;
  std::size_t at_t = reach.k - below;
  std::size_t kept = 0;
  for (const Neighbour& n : out) {
    if (n.distance2 < t || (n.distance2 == t && at_t > 0 && at_t--)) out[kept++] = n;
  }
  out.resize(kept);
}

}  // namespace orv::krige::kriging
