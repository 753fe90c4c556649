#include "krige/kriging/engine.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "parallel/threads.hpp"

namespace orv::krige::kriging {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
// Targets per task of a pass over given targets.
constexpr std::size_t kTargetsPerTask = 64;
// Candidates up to which a block keeps the semivariances of their pairs.
constexpr std::size_t kMaxCachedCandidates = 1024;
// Grid blocks: an edge of about this share of the neighbourhood radius, in
// cells, and at most kMaxBlockEdge cells.
constexpr double kBlockEdgePerRadius = 1.0 / 1.5;
constexpr std::size_t kMaxBlockEdge = 32;

bool finite_point(const double* raw, int dims) {
  for (int c = 0; c < dims; ++c) {
    if (!std::isfinite(raw[c])) return false;
  }
  return true;
}

// The raw coordinates of grid cell (c, r), from its indices in the whole grid.
void cell_centre(const Grid& grid, std::size_t c, std::size_t r, double* raw) {
  raw[0] = grid.x0 + (static_cast<double>(c) + 0.5) * grid.dx;
  raw[1] = grid.y0 - (static_cast<double>(r) + 0.5) * grid.dy;
}

}  // namespace

// Scratch of one thread.
struct Engine::Worker {
  LocalSystem system;
  std::vector<Neighbour> near;
  std::vector<double> distances;
  std::vector<std::uint32_t> members;
  std::vector<double> values;
  std::vector<double> gammas;
  std::vector<std::uint32_t> candidates;
  std::vector<double> pair_cache;
  std::vector<Place> places;
  std::vector<double> batch;
  std::vector<double> work;
  std::size_t unstable = 0;
};

Engine::Engine(SampleSet samples, const Model& model, std::size_t k, double max_distance)
    : samples_(std::move(samples)), model_(model) {
  const bool every_sample = k == 0 || k >= samples_.size();
  if (every_sample && !(max_distance < std::numeric_limits<double>::infinity())) {
    std::vector<double> values(samples_.size());
    for (std::size_t i = 0; i < values.size(); ++i) values[i] = samples_.value(i);
    global_ = std::make_unique<GlobalSystem>(samples_.size(), values.data(),
                                             [this](std::size_t lo, std::size_t hi) {
                                               return model_.at(samples_.pair_distance(lo, hi));
                                             });
    return;
  }
  reach_ = make_reach(samples_, every_sample ? samples_.size() : k, max_distance);
  tree_ = std::make_unique<SampleTree>(samples_);
}

Engine::~Engine() = default;

// The estimate at `target` from the neighbourhood in worker.near, in
// increasing index order; pair(a, b) gives the semivariance between
// neighbours a < b of worker.near.
template <class Pair>
Result Engine::krige_local(Worker& worker, const Place& target, Pair&& pair) const {
  const std::vector<Neighbour>& near = worker.near;
  if (near.empty()) return {kNaN, kNaN};
  const std::size_t m = near.size();
  worker.members.resize(m);
  worker.values.resize(m);
  worker.gammas.resize(m);
  for (std::size_t a = 0; a < m; ++a) {
    const std::uint32_t i = near[a].index;
    const double distance = samples_.model_distance(i, target, near[a].distance2);
    // At a sample the estimate is its value, exactly.
    if (distance == 0.0) return {samples_.value(i), 0.0};
    worker.members[a] = i;
    worker.values[a] = samples_.value(i);
    worker.gammas[a] = model_.beyond_zero(distance);
  }
  worker.system.factor(worker.members.data(), m, worker.values.data(), pair);
  if (worker.system.unstable()) ++worker.unstable;
  return worker.system.solve(worker.gammas.data());
}

std::size_t Engine::predict(const double* targets, std::size_t m, bool leave_one_out,
                            double* estimate, double* variance, unsigned threads) const {
  if (global_) return predict_global(targets, m, estimate, variance, threads);
  const int dims = samples_.dims();
  std::size_t unstable = 0;
  const std::size_t tasks = (m + kTargetsPerTask - 1) / kTargetsPerTask;
  parallel::for_each_index(
      tasks, threads, [] { return Worker(); },
      [&](Worker& worker, std::size_t task) {
        const std::size_t stop = std::min(m, (task + 1) * kTargetsPerTask);
        for (std::size_t t = task * kTargetsPerTask; t < stop; ++t) {
          const double* raw = targets + t * static_cast<std::size_t>(dims);
          Result result{kNaN, kNaN};
          if (finite_point(raw, dims)) {
            const Place place = samples_.place(raw);
            const std::uint32_t exclude =
                leave_one_out && t < samples_.size() ? static_cast<std::uint32_t>(t) : kNoSample;
            tree_->neighbourhood(place, reach_, exclude, worker.near);
            std::sort(worker.near.begin(), worker.near.end(),
                      [](const Neighbour& a, const Neighbour& b) { return a.index < b.index; });
            const std::vector<std::uint32_t>& members = worker.members;
            result = krige_local(worker, place, [&](std::size_t a, std::size_t b) {
              return model_.at(samples_.pair_distance(members[a], members[b]));
            });
          }
          estimate[t] = result.estimate;
          variance[t] = result.variance;
        }
      },
      [&](Worker& worker) { unstable += worker.unstable; });
  return unstable;
}

std::size_t Engine::block_edge(const Grid& grid) const {
  // Blocks about two thirds of the neighbourhood radius across (measured at
  // the window's middle, in cell diagonals): the candidates of a block are
  // then about twice a neighbourhood, and most semivariances between them are
  // shared by its cells. Any edge gives the same results.
  double raw[2];
  const std::size_t c = grid.col_off + grid.width / 2;
  const std::size_t r = grid.row_off + grid.height / 2;
  cell_centre(grid, c, r, raw);
  const Place centre = samples_.place(raw);
  cell_centre(grid, c + 1, r + 1, raw);
  const Place corner = samples_.place(raw);
  double spacing2 = 0.0;
  for (int d = 0; d < samples_.search_dims(); ++d) {
    const double diff = corner.search[d] - centre.search[d];
    spacing2 += diff * diff;
  }
  std::vector<Neighbour> near;
  Reach probe = reach_;
  probe.k = std::min(reach_.k, std::max<std::size_t>(1, samples_.size()));
  tree_->neighbourhood(centre, probe, kNoSample, near);
  if (near.empty() || !(spacing2 > 0.0) || !std::isfinite(spacing2)) return 1;
  const double ratio = std::sqrt(near.back().distance2 / spacing2) * kBlockEdgePerRadius;
  if (!(ratio >= 1.0)) return 1;
  return static_cast<std::size_t>(std::min(ratio, static_cast<double>(kMaxBlockEdge)));
}

std::size_t Engine::grid(const Grid& grid, double* estimate, double* variance,
                         unsigned threads) const {
  if (grid.width == 0 || grid.height == 0) return 0;
  if (global_) return grid_global(grid, estimate, variance, threads);
  const std::size_t edge = block_edge(grid);
  const std::size_t across = (grid.width + edge - 1) / edge;
  const std::size_t down = (grid.height + edge - 1) / edge;
  std::size_t unstable = 0;
  parallel::for_each_index(
      across * down, threads, [] { return Worker(); },
      [&](Worker& worker, std::size_t block) {
        const std::size_t c0 = (block % across) * edge;
        const std::size_t r0 = (block / across) * edge;
        const std::size_t c1 = std::min(grid.width, c0 + edge);
        const std::size_t r1 = std::min(grid.height, r0 + edge);
        // The block's cells and its middle, in both forms.
        double raw[2];
        worker.places.clear();
        for (std::size_t r = r0; r < r1; ++r) {
          for (std::size_t c = c0; c < c1; ++c) {
            cell_centre(grid, grid.col_off + c, grid.row_off + r, raw);
            worker.places.push_back(samples_.place(raw));
          }
        }
        const double middle_c =
            static_cast<double>(grid.col_off + c0) + 0.5 * static_cast<double>(c1 - c0 - 1);
        const double middle_r =
            static_cast<double>(grid.row_off + r0) + 0.5 * static_cast<double>(r1 - r0 - 1);
        raw[0] = grid.x0 + (middle_c + 0.5) * grid.dx;
        raw[1] = grid.y0 - (middle_r + 0.5) * grid.dy;
        const Place centre = samples_.place(raw);
        double spread2 = 0.0;
        bool finite = finite_point(raw, 2);
        for (const Place& place : worker.places) {
          double d2 = 0.0;
          for (int d = 0; d < samples_.search_dims(); ++d) {
            const double diff = place.search[d] - centre.search[d];
            d2 += diff * diff;
          }
          spread2 = std::max(spread2, d2);
          finite = finite && std::isfinite(d2);
        }
        if (finite) {
          tree_->candidates(centre, std::sqrt(spread2), reach_, worker.candidates);
        } else {
          worker.candidates.resize(samples_.size());
          for (std::size_t i = 0; i < samples_.size(); ++i) {
            worker.candidates[i] = static_cast<std::uint32_t>(i);
          }
        }
        const std::size_t count = worker.candidates.size();
        const bool cached = count <= kMaxCachedCandidates;
        if (cached) worker.pair_cache.assign(count * count, kNaN);
        std::size_t at = 0;
        for (std::size_t r = r0; r < r1; ++r) {
          for (std::size_t c = c0; c < c1; ++c, ++at) {
            const Place& place = worker.places[at];
            select_neighbourhood(samples_, worker.candidates, place, reach_, worker.near,
                                 worker.distances);
            // The candidate slots of the members, in member order.
            const Neighbour* near = worker.near.data();
            double* cache = worker.pair_cache.data();
            const Result result = krige_local(worker, place, [&](std::size_t a, std::size_t b) {
              if (!cached) {
                return model_.at(samples_.pair_distance(near[a].index, near[b].index));
              }
              double& gamma = cache[near[a].slot * count + near[b].slot];
              if (std::isnan(gamma)) {
                gamma = model_.at(samples_.pair_distance(near[a].index, near[b].index));
              }
              return gamma;
            });
            const std::size_t out = r * grid.width + c;
            estimate[out] = result.estimate;
            variance[out] = result.variance;
          }
        }
      },
      [&](Worker& worker) { unstable += worker.unstable; });
  return unstable;
}

template <class RawOf, class Store>
std::size_t Engine::global_pass(std::size_t m, unsigned threads, RawOf&& raw_of,
                                Store&& store) const {
  constexpr std::size_t L = GlobalSystem::kLanes;
  const std::size_t n = samples_.size();
  const int dims = samples_.dims();
  parallel::for_each_index(
      (m + L - 1) / L, threads, [] { return Worker(); },
      [&](Worker& worker, std::size_t task) {
        const std::size_t first = task * L;
        const std::size_t count = std::min(L, m - first);
        worker.batch.resize(L * n);
        Result exact[L];
        bool hit[L] = {};
        bool finite[L] = {};
        for (std::size_t t = 0; t < count; ++t) {
          double raw[kMaxDims];
          raw_of(first + t, raw);
          double* gammas = &worker.batch[t * n];
          finite[t] = finite_point(raw, dims);
          if (!finite[t]) {
            std::fill(gammas, gammas + n, 0.0);
            continue;
          }
          const Place place = samples_.place(raw);
          for (std::size_t i = 0; i < n; ++i) {
            const double distance =
                samples_.model_distance(i, place, samples_.search_distance2(i, place));
            if (distance == 0.0 && !hit[t]) {
              hit[t] = true;
              exact[t] = {samples_.value(i), 0.0};
            }
            gammas[i] = model_.at(distance);
          }
        }
        // Lanes past the last target repeat it; their results are dropped.
        for (std::size_t t = count; t < L; ++t) {
          std::copy(&worker.batch[(count - 1) * n], &worker.batch[count * n], &worker.batch[t * n]);
        }
        Result results[L];
        global_->solve(worker.batch.data(), results, worker.work);
        for (std::size_t t = 0; t < count; ++t) {
          store(first + t, !finite[t] ? Result{kNaN, kNaN} : hit[t] ? exact[t] : results[t]);
        }
      },
      [](Worker&) {});
  return global_->unstable() ? m : 0;
}

std::size_t Engine::predict_global(const double* targets, std::size_t m, double* estimate,
                                   double* variance, unsigned threads) const {
  const std::size_t dims = static_cast<std::size_t>(samples_.dims());
  return global_pass(
      m, threads,
      [&](std::size_t t, double* raw) {
        for (std::size_t c = 0; c < dims; ++c) raw[c] = targets[t * dims + c];
      },
      [&](std::size_t t, const Result& result) {
        estimate[t] = result.estimate;
        variance[t] = result.variance;
      });
}

std::size_t Engine::grid_global(const Grid& grid, double* estimate, double* variance,
                                unsigned threads) const {
  return global_pass(
      grid.width * grid.height, threads,
      [&](std::size_t t, double* raw) {
        cell_centre(grid, grid.col_off + t % grid.width, grid.row_off + t / grid.width, raw);
      },
      [&](std::size_t t, const Result& result) {
        estimate[t] = result.estimate;
        variance[t] = result.variance;
      });
}

}  // namespace orv::krige::kriging
