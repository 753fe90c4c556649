#include "semivariogram_kernel.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <system_error>
#include <thread>

namespace orv::krige {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr std::size_t kNoClass = static_cast<std::size_t>(-1);

// The chunk partition depends only on the pair and class counts: at least
// kMinChunkPairs pairs per chunk, at most kMaxChunks chunks, and at most
// kMaxClassSlots per-chunk class accumulators altogether.
constexpr std::size_t kMinChunkPairs = std::size_t{1} << 16;
constexpr std::size_t kMaxChunks = 64;
constexpr std::size_t kMaxClassSlots = std::size_t{1} << 22;
// Distances generated from points are computed a block at a time, so that the
// inner loop over one coordinate column can be vectorised.
constexpr std::size_t kBlock = 256;

// Neumaier's compensated sum. Once the plain sum is no longer finite the
// compensation is meaningless, and the plain sum (inf or NaN, as numpy would
// give) is the result.
class CompensatedSum {
 public:
  void add(double x) {
    const double t = sum_ + x;
    if (std::fabs(sum_) >= std::fabs(x)) {
      compensation_ += (sum_ - t) + x;
    } else {
      compensation_ += (x - t) + sum_;
    }
    sum_ = t;
  }

  void merge(const CompensatedSum &other) {
    add(other.sum_);
    if (std::isfinite(other.sum_)) {
      add(other.compensation_);
    }
  }

  double value() const { return std::isfinite(sum_) ? sum_ + compensation_ : sum_; }

 private:
  double sum_ = 0.0;
  double compensation_ = 0.0;
};

struct ClassSums {
  std::uint64_t count = 0;
  CompensatedSum distance;
  CompensatedSum semivariance;
};

// Finds the class of a distance from the edges alone. Classes that can hold
// nothing (NaN edge, upper edge not above the lower) are left out. When the
// remaining classes are ordered and disjoint, as equal-width edges always
// are, a distance belongs to at most one: it is guessed from the class width
// and confirmed against the actual edge values, falling back to a binary
// search. Otherwise every class is tested, so the membership rule holds for
// any edges.
class ClassLocator {
 public:
  explicit ClassLocator(const ClassEdges &edges) {
    for (std::size_t k = 0; k < edges.n_lags; ++k) {
      const double lower = edges.data[k];
      const double upper = edges.data[k + 1];
      if (!(lower < upper)) {
        continue;
      }
      if (!upper_.empty() && lower < upper_.back()) {
        ordered_ = false;
      }
      lower_.push_back(lower);
      upper_.push_back(upper);
      class_.push_back(k);
    }
    if (!lower_.empty()) {
      const double scale = static_cast<double>(lower_.size()) / (upper_.back() - lower_.front());
      scale_ = std::isfinite(scale) ? scale : 0.0;
    }
  }

  bool holds_nothing() const { return lower_.empty(); }

  // Calls add(k) for every class k with edges[k] <= d < edges[k + 1].
  template <class Add>
  void each_class(double d, Add &&add) const {
    if (ordered_) {
      const std::size_t k = find_ordered(d);
      if (k != kNoClass) {
        add(k);
      }
      return;
    }
    for (std::size_t m = 0; m < lower_.size(); ++m) {
      if (lower_[m] <= d && d < upper_[m]) {
        add(class_[m]);
      }
    }
  }

 private:
  std::size_t find_ordered(double d) const {
    if (!(d >= lower_.front() && d < upper_.back())) {
      return kNoClass;
    }
    const std::size_t last = lower_.size() - 1;
    // x >= 0 here, or NaN when d - lower_.front() overflowed and scale_ is 0.
    const double x = (d - lower_.front()) * scale_;
    std::size_t m = x < static_cast<double>(last) ? static_cast<std::size_t>(x) : last;
    if (d < lower_[m] || (m < last && d >= lower_[m + 1])) {
      const auto above = std::upper_bound(lower_.begin(), lower_.end(), d);
      m = static_cast<std::size_t>(above - lower_.begin()) - 1;
    }
    return d < upper_[m] ? class_[m] : kNoClass;
  }

  std::vector<double> lower_;
  std::vector<double> upper_;
  std::vector<std::size_t> class_;
  bool ordered_ = true;
  double scale_ = 0.0;
};

inline void add_pair(const ClassLocator &locator, ClassSums *sums, double d, double g) {
  locator.each_class(d, [&](std::size_t k) {
    ClassSums &s = sums[k];
    ++s.count;
    s.distance.add(d);
    s.semivariance.add(g);
  });
}

inline double half_squared_difference(double a, double b) {
  const double diff = b - a;
  return 0.5 * (diff * diff);
}

// Smallest and largest distance seen, and whether a NaN was among them.
struct RangeSums {
  double lower = kInf;
  double upper = -kInf;
  bool nan = false;

  void add(double d) {
    lower = std::min(lower, d);
    upper = std::max(upper, d);
    nan = nan || std::isnan(d);
  }

  void merge(const RangeSums &other) {
    lower = std::min(lower, other.lower);
    upper = std::max(upper, other.upper);
    nan = nan || other.nan;
  }
};

DistanceRange finish_range(const RangeSums &sums, std::size_t pairs) {
  if (pairs == 0 || sums.nan) {
    return {kNaN, kNaN, pairs};
  }
  return {sums.lower, sums.upper, pairs};
}

std::size_t chunk_count(std::size_t pairs, std::size_t n_lags) {
  const std::size_t by_size = pairs / kMinChunkPairs + (pairs % kMinChunkPairs != 0 ? 1 : 0);
  const std::size_t by_memory =
      std::max<std::size_t>(1, kMaxClassSlots / std::max<std::size_t>(n_lags, 1));
  return std::max<std::size_t>(1, std::min({by_size, kMaxChunks, by_memory}));
}

std::size_t triangle_pairs(std::size_t n) { return n < 2 ? 0 : n * (n - 1) / 2; }

// Splits the rows [0, n) into `chunks` consecutive ranges holding about equal
// numbers of pairs; row i holds pairs_in_row(i) of the `total` pairs.
// Returns chunks + 1 boundaries; a range may be empty.
template <class RowPairs>
std::vector<std::size_t> split_rows(std::size_t n, std::size_t chunks, std::size_t total,
                                    RowPairs pairs_in_row) {
  std::vector<std::size_t> bounds(chunks + 1, n);
  bounds[0] = 0;
  std::size_t next = 1;
  std::size_t seen = 0;
  for (std::size_t i = 0; i < n && next < chunks; ++i) {
    seen += pairs_in_row(i);
    while (next < chunks && seen * chunks >= total * next) {
      bounds[next++] = i + 1;
    }
  }
  return bounds;
}

// Runs work(c) for every chunk c on up to `threads` threads (the caller's
// included). Each chunk writes only its own slot, so the outcome does not
// depend on which thread ran it.
template <class Work>
void run_chunks(std::size_t chunks, unsigned threads, const Work &work) {
  if (threads == 0) {
    threads = std::max(1u, std::thread::hardware_concurrency());
  }
  const std::size_t workers = std::min<std::size_t>(threads, chunks);
  std::atomic<std::size_t> next{0};
  const auto drain = [&] {
    for (std::size_t c = next.fetch_add(1); c < chunks; c = next.fetch_add(1)) {
      work(c);
    }
  };
  std::vector<std::thread> helpers;
  helpers.reserve(workers);
  try {
    for (std::size_t w = 1; w < workers; ++w) {
      helpers.emplace_back(drain);
    }
  } catch (const std::system_error &) {
    // Fewer helpers than asked for: the chunks are still all drained below.
  }
  drain();
  for (std::thread &helper : helpers) {
    helper.join();
  }
}

template <class Visit>
RangeSums collect_range(std::size_t chunks, unsigned threads, const Visit &visit) {
  std::vector<RangeSums> partial(chunks);
  run_chunks(chunks, threads, [&](std::size_t c) { visit(c, partial[c]); });
  RangeSums total;
  for (const RangeSums &sums : partial) {
    total.merge(sums);
  }
  return total;
}

template <class Visit>
ClassTotals collect_classes(std::size_t chunks, const ClassEdges &edges, unsigned threads,
                            const Visit &visit) {
  const std::size_t n_lags = edges.n_lags;
  ClassTotals totals{std::vector<std::uint64_t>(n_lags, 0), std::vector<double>(n_lags, 0.0),
                     std::vector<double>(n_lags, 0.0)};
  const ClassLocator locator(edges);
  if (locator.holds_nothing()) {
    return totals;
  }
  std::vector<ClassSums> partial(chunks * n_lags);
  run_chunks(chunks, threads,
             [&](std::size_t c) { visit(c, locator, partial.data() + c * n_lags); });
  for (std::size_t k = 0; k < n_lags; ++k) {
    ClassSums merged;
    for (std::size_t c = 0; c < chunks; ++c) {
      const ClassSums &part = partial[c * n_lags + k];
      merged.count += part.count;
      merged.distance.merge(part.distance);
      merged.semivariance.merge(part.semivariance);
    }
    totals.count[k] = merged.count;
    totals.distance_sum[k] = merged.distance.value();
    totals.semivariance_sum[k] = merged.semivariance.value();
  }
  return totals;
}

// Point coordinates column by column, so that one column of a block of
// points is contiguous.
class PointColumns {
 public:
  explicit PointColumns(const ProjectedPoints &points)
      : n_(points.n), dims_(points.dims), data_(points.n * points.dims) {
    for (std::size_t i = 0; i < n_; ++i) {
      for (std::size_t c = 0; c < dims_; ++c) {
        data_[c * n_ + i] = points.coordinates[i * dims_ + c];
      }
    }
  }

  // out[t] = squared distance between points i and first + t, t < count:
  // the squared coordinate differences summed in column order.
  void squared_distances(std::size_t i, std::size_t first, std::size_t count, double *out) const {
    if (dims_ == 0) {
      std::fill(out, out + count, 0.0);
      return;
    }
    const double *column = data_.data();
    double origin = column[i];
    for (std::size_t t = 0; t < count; ++t) {
      const double diff = column[first + t] - origin;
      out[t] = diff * diff;
    }
    for (std::size_t c = 1; c < dims_; ++c) {
      column = data_.data() + c * n_;
      origin = column[i];
      for (std::size_t t = 0; t < count; ++t) {
        const double diff = column[first + t] - origin;
        out[t] += diff * diff;
      }
    }
  }

  // Calls visit(first, count, squared) for the pairs (i, j), j > i, a block
  // at a time.
  template <class Visit>
  void each_block_after(std::size_t i, Visit &&visit) const {
    double squared[kBlock];
    for (std::size_t first = i + 1; first < n_; first += kBlock) {
      const std::size_t count = std::min(kBlock, n_ - first);
      squared_distances(i, first, count, squared);
      visit(first, count, static_cast<const double *>(squared));
    }
  }

 private:
  std::size_t n_;
  std::size_t dims_;
  std::vector<double> data_;
};

// Row i of the part below the diagonal holds i pairs.
std::size_t lower_row_pairs(std::size_t i) { return i; }

}  // namespace

std::vector<double> class_edges(double d_min, double d_max, std::size_t n_lags) {
  std::vector<double> edges(n_lags + 1);
  if (n_lags > 0) {
    const double dd = (d_max - d_min) / static_cast<double>(n_lags);
    for (std::size_t k = 0; k < n_lags; ++k) {
      // Stored and reloaded so that the product is rounded on its own, never
      // fused with the addition.
      volatile double step = dd * static_cast<double>(k);
      edges[k] = d_min + step;
    }
  }
  edges[n_lags] = std::max(d_max + 0.001, std::nextafter(d_max, kInf));
  return edges;
}

DistanceRange distance_range(const CondensedPairs &pairs, unsigned threads) {
  const std::size_t chunks = chunk_count(pairs.size, 1);
  const RangeSums sums = collect_range(chunks, threads, [&](std::size_t c, RangeSums &out) {
    const std::size_t end = pairs.size * (c + 1) / chunks;
    for (std::size_t m = pairs.size * c / chunks; m < end; ++m) {
      out.add(pairs.distance[m]);
    }
  });
  return finish_range(sums, pairs.size);
}

DistanceRange distance_range(const DistanceMatrix &matrix, unsigned threads) {
  const std::size_t total = triangle_pairs(matrix.n);
  const std::size_t chunks = chunk_count(total, 1);
  const auto bounds = split_rows(matrix.n, chunks, total, lower_row_pairs);
  const RangeSums sums = collect_range(chunks, threads, [&](std::size_t c, RangeSums &out) {
    for (std::size_t i = bounds[c]; i < bounds[c + 1]; ++i) {
      const double *row = matrix.data + i * matrix.row_stride;
      for (std::size_t j = 0; j < i; ++j) {
        out.add(row[j]);
      }
    }
  });
  return finish_range(sums, total);
}

DistanceRange distance_range(const ProjectedPoints &points, unsigned threads) {
  const std::size_t n = points.n;
  const std::size_t total = triangle_pairs(n);
  const std::size_t chunks = chunk_count(total, 1);
  const auto bounds = split_rows(n, chunks, total, [n](std::size_t i) { return n - 1 - i; });
  const PointColumns columns(points);
  // sqrt is monotonic and correctly rounded, so the extremes of the squared
  // distances give the extremes of the distances exactly.
  const RangeSums squared = collect_range(chunks, threads, [&](std::size_t c, RangeSums &out) {
    for (std::size_t i = bounds[c]; i < bounds[c + 1]; ++i) {
      columns.each_block_after(i, [&](std::size_t, std::size_t count, const double *sq) {
        for (std::size_t t = 0; t < count; ++t) {
          out.add(sq[t]);
        }
      });
    }
  });
  DistanceRange range = finish_range(squared, total);
  range.min = std::sqrt(range.min);
  range.max = std::sqrt(range.max);
  return range;
}

ClassTotals class_totals(const CondensedPairs &pairs, const ClassEdges &edges, unsigned threads) {
  const std::size_t chunks = chunk_count(pairs.size, edges.n_lags);
  return collect_classes(
      chunks, edges, threads, [&](std::size_t c, const ClassLocator &locator, ClassSums *sums) {
        const std::size_t end = pairs.size * (c + 1) / chunks;
        for (std::size_t m = pairs.size * c / chunks; m < end; ++m) {
          add_pair(locator, sums, pairs.distance[m], 0.5 * pairs.squared_difference[m]);
        }
      });
}

ClassTotals class_totals(const DistanceMatrix &matrix, const ClassEdges &edges, unsigned threads) {
  const std::size_t total = triangle_pairs(matrix.n);
  const std::size_t chunks = chunk_count(total, edges.n_lags);
  const auto bounds = split_rows(matrix.n, chunks, total, lower_row_pairs);
  return collect_classes(
      chunks, edges, threads, [&](std::size_t c, const ClassLocator &locator, ClassSums *sums) {
        for (std::size_t i = bounds[c]; i < bounds[c + 1]; ++i) {
          const double *row = matrix.data + i * matrix.row_stride;
          const double value = matrix.values[i];
          for (std::size_t j = 0; j < i; ++j) {
            add_pair(locator, sums, row[j], half_squared_difference(value, matrix.values[j]));
          }
        }
      });
}

ClassTotals class_totals(const ProjectedPoints &points, const ClassEdges &edges, unsigned threads) {
  const std::size_t n = points.n;
  const std::size_t total = triangle_pairs(n);
  const std::size_t chunks = chunk_count(total, edges.n_lags);
  const auto bounds = split_rows(n, chunks, total, [n](std::size_t i) { return n - 1 - i; });
  const PointColumns columns(points);
  return collect_classes(
      chunks, edges, threads, [&](std::size_t c, const ClassLocator &locator, ClassSums *sums) {
        for (std::size_t i = bounds[c]; i < bounds[c + 1]; ++i) {
          const double value = points.values[i];
          columns.each_block_after(i, [&](std::size_t first, std::size_t count, const double *sq) {
            // Separate simple loops, so that the square roots and the
            // semivariances of a block are vectorised.
            double distance[kBlock];
            double semivariance[kBlock];
            for (std::size_t t = 0; t < count; ++t) {
              distance[t] = std::sqrt(sq[t]);
            }
            const double *other = points.values + first;
            for (std::size_t t = 0; t < count; ++t) {
              semivariance[t] = half_squared_difference(value, other[t]);
            }
            for (std::size_t t = 0; t < count; ++t) {
              add_pair(locator, sums, distance[t], semivariance[t]);
            }
          });
        }
      });
}

Semivariogram nonempty_class_means(const ClassTotals &totals) {
  Semivariogram result;
  for (std::size_t k = 0; k < totals.count.size(); ++k) {
    if (totals.count[k] == 0) {
      continue;  // an empty class has a NaN mean
    }
    const double count = static_cast<double>(totals.count[k]);
    const double semivariance = totals.semivariance_sum[k] / count;
    if (std::isnan(semivariance)) {
      continue;
    }
    result.lags.push_back(totals.distance_sum[k] / count);
    result.semivariance.push_back(semivariance);
  }
  return result;
}

}  // namespace orv::krige
