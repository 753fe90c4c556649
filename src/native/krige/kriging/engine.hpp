// Ordinary kriging of targets from prepared samples: the neighbourhoods, the
// systems and the threads. Each target's result is a function of its own
// neighbourhood and coordinates alone, computed by a fixed sequence of
// operations, so it is the same for every thread count, batch, block, tile
// and process.
#pragma once

#include <cstddef>
#include <memory>

#include "krige/kriging/model.hpp"
#include "krige/kriging/neighbours.hpp"
#include "krige/kriging/samples.hpp"
#include "krige/kriging/system.hpp"

namespace orv::krige::kriging {

// A window of a north-up grid: cell (c, r) of the whole grid has its centre at
// (x0 + (c + 0.5) dx, y0 - (r + 0.5) dy); the window holds the cells
// col_off <= c < col_off + width, row_off <= r < row_off + height.
struct Grid {
  double x0, y0, dx, dy;
  std::size_t col_off, row_off, width, height;
};

class Engine {
 public:
  // k == 0 with an infinite max_distance: every sample takes part (one
  // system, factorised here). Otherwise the k nearest in reach (every sample
  // in reach for k == 0).
  Engine(SampleSet samples, const Model& model, std::size_t k, double max_distance);
  ~Engine();
  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;

  bool global() const { return global_ != nullptr; }
  const SampleSet& samples() const { return samples_; }

  // Targets: m rows of samples().dims() coordinates. With leave_one_out,
  // target i does not use sample i (local neighbourhoods only). Returns how
  // many targets needed the LU fallback.
  std::size_t predict(const double* targets, std::size_t m, bool leave_one_out, double* estimate,
                      double* variance, unsigned threads) const;

  // The cells of a window, row by row into height x width arrays.
  std::size_t grid(const Grid& grid, double* estimate, double* variance, unsigned threads) const;

 private:
  struct Worker;
  template <class Pair>
  Result krige_local(Worker& worker, const Place& target, Pair&& pair) const;
  template <class RawOf, class Store>
  std::size_t global_pass(std::size_t m, unsigned threads, RawOf&& raw_of, Store&& store) const;
  std::size_t predict_global(const double* targets, std::size_t m, double* estimate,
                             double* variance, unsigned threads) const;
  std::size_t grid_global(const Grid& grid, double* estimate, double* variance,
                          unsigned threads) const;
  std::size_t block_edge(const Grid& grid) const;

  SampleSet samples_;
  Model model_;
  Reach reach_;
  std::unique_ptr<SampleTree> tree_;
  std::unique_ptr<GlobalSystem> global_;
};

}  // namespace orv::krige::kriging
