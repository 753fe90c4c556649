#include "krige/kernel/exact_sum.hpp"

#include <cstdint>
#include <cstring>
#include <limits>

namespace orv::krige {
namespace {

template <class T>
void put(std::string& out, T value) {
  char bytes[sizeof(T)];
  std::memcpy(bytes, &value, sizeof(T));
  out.append(bytes, sizeof(T));
}

template <class T>
bool take(const std::string& in, std::size_t* offset, T* value) {
  if (in.size() < sizeof(T) || *offset > in.size() - sizeof(T)) return false;
  std::memcpy(value, in.data() + *offset, sizeof(T));
  *offset += sizeof(T);
  return true;
}

}  // namespace

void ExactSum::add_special(double x) {
  special_ += x;
  if (std::isnan(special_)) special_ = std::numeric_limits<double>::quiet_NaN();
  has_special_ = true;
}

void ExactSum::add(double x) {
  if (!std::isfinite(x)) {
    add_special(x);
    return;
  }
  // Grow the expansion by x: every partial absorbs what it can and keeps
  // the exact rounding error of that addition.
  std::size_t kept = 0;
  for (double y : partials_) {
    if (std::fabs(x) < std::fabs(y)) std::swap(x, y);
    const double hi = x + y;
    const double lo = y - (hi - x);
    if (!std::isfinite(hi)) {
      add_special(hi);
      return;
    }
    if (lo != 0.0) partials_[kept++] = lo;
    x = hi;
  }
  partials_.resize(kept);
  partials_.push_back(x);
}

void ExactSum::merge(const ExactSum& other) {
  for (double partial : other.partials_) add(partial);
  if (other.has_special_) add_special(other.special_);
}

double ExactSum::value() const {
  if (has_special_) return special_;
  if (partials_.empty()) return 0.0;
  // Sum from the largest partial down; stop at the first inexact step and
  // correct a tie in round-half-even by the sign of what remains.
  std::size_t i = partials_.size() - 1;
  double hi = partials_[i];
  double lo = 0.0;
  while (i > 0) {
    const double x = hi;
    const double y = partials_[--i];
    hi = x + y;
    const double yr = hi - x;
    lo = y - yr;
    if (lo != 0.0) break;
  }
  if (i > 0 && ((lo < 0.0 && partials_[i - 1] < 0.0) || (lo > 0.0 && partials_[i - 1] > 0.0))) {
    const double y = lo * 2.0;
    const double x = hi + y;
    const double yr = x - hi;
    if (y == yr) hi = x;
  }
  return hi;
}

void ExactSum::write(std::string& out) const {
  put<std::uint64_t>(out, partials_.size());
  for (double partial : partials_) put(out, partial);
  put<std::uint8_t>(out, has_special_ ? 1 : 0);
  put(out, special_);
}

bool ExactSum::read(const std::string& in, std::size_t* offset) {
  std::uint64_t size = 0;
  if (!take(in, offset, &size) || size > (in.size() - *offset) / sizeof(double)) return false;
  partials_.assign(static_cast<std::size_t>(size), 0.0);
  for (double& partial : partials_) {
    if (!take(in, offset, &partial) || !std::isfinite(partial)) return false;
  }
  std::uint8_t flag = 0;
  if (!take(in, offset, &flag) || !take(in, offset, &special_) || flag > 1) return false;
  has_special_ = flag == 1;
  return true;
}

}  // namespace orv::krige
