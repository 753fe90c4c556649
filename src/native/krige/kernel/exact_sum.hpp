// Summation helpers of the semivariogram passes: a compensated running sum
// for the terms of one tile, and an exact sum for merging tile results in
// any grouping and order.
#pragma once

#include <cmath>
#include <string>
#include <vector>

namespace orv::krige {

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

  double value() const { return std::isfinite(sum_) ? sum_ + compensation_ : sum_; }

  void reset() { *this = CompensatedSum(); }

 private:
  double sum_ = 0.0;
  double compensation_ = 0.0;
};

// The exact sum of the finite terms added, kept as a list of non-overlapping
// partials (Shewchuk's expansion), and the plain sum of the non-finite terms.
// The value is the exact sum correctly rounded, so it depends only on the
// multiset of terms, never on the order or grouping in which they arrive.
// Non-finite terms (or a finite total beyond the double range) give the IEEE
// sum of the infinities and NaNs, as a plain sum would; a NaN sum is always
// the same quiet NaN, since which NaN operand an addition passes on depends
// on the order.
class ExactSum {
 public:
  void add(double x);
  void merge(const ExactSum& other);
  double value() const;

  // Appends a self-delimiting binary form to `out`; read() takes it back
  // from `in` at `*offset`, advancing the offset (false on malformed input).
  void write(std::string& out) const;
  bool read(const std::string& in, std::size_t* offset);

 private:
  void add_special(double x);

  std::vector<double> partials_;
  double special_ = 0.0;
  bool has_special_ = false;
};

}  // namespace orv::krige
