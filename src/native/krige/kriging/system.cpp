#include "krige/kriging/system.hpp"

#include <cmath>
#include <cstring>
#include <limits>

namespace orv::krige::kriging {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Rounding can take the variance of a target next to a sample a hair below 0.
double variance_of(double value) { return value < 0.0 ? 0.0 : value; }

// Rows solved together by forward_substitution (each load of a solved row
// serves all of them), and lanes in vectors of four: GCC's vector extension,
// which every instruction set runs lane by lane with the same operations.
constexpr std::size_t kRowBlock = 4;
typedef double Four __attribute__((vector_size(32)));
constexpr std::size_t kVectors = GlobalSystem::kLanes / 4;
constexpr std::size_t kVectorsPerPass = 2;

// Passed by reference: a 32-byte vector by value would change the calling
// convention between the clones.
inline void load(Four& v, const double* p) { std::memcpy(&v, p, sizeof v); }

inline void store(double* p, const Four& v) { std::memcpy(p, &v, sizeof v); }

// Cholesky factor of the symmetric n x n matrix in the lower triangle of `a`
// (column-major, leading dimension n), in place; the strict upper triangle is
// left as it was. Left-looking, column by column: every entry gets its
// products subtracted in increasing column order, four rows at a time in
// vectors (a scalar tail does the same operations). False when a pivot is not
// positive (the matrix is not positive definite, or holds NaN).
__attribute__((target_clones("avx2", "default"))) bool cholesky_lower(double* a, std::size_t n) {
  for (std::size_t j = 0; j < n; ++j) {
    double* column = a + j * n;
    std::size_t i = j;
    // Sixteen rows at a time: four independent chains of subtractions.
    for (; i + 16 <= n; i += 16) {
      Four acc0, acc1, acc2, acc3;
      load(acc0, column + i);
      load(acc1, column + i + 4);
      load(acc2, column + i + 8);
      load(acc3, column + i + 12);
      for (std::size_t k = 0; k < j; ++k) {
        const double* left = a + k * n + i;
        const double factor = a[k * n + j];
        Four l0, l1, l2, l3;
        load(l0, left);
        load(l1, left + 4);
        load(l2, left + 8);
        load(l3, left + 12);
        acc0 -= l0 * factor;
        acc1 -= l1 * factor;
        acc2 -= l2 * factor;
        acc3 -= l3 * factor;
      }
      store(column + i, acc0);
      store(column + i + 4, acc1);
      store(column + i + 8, acc2);
      store(column + i + 12, acc3);
    }
    for (; i + 4 <= n; i += 4) {
      Four acc;
      load(acc, column + i);
      for (std::size_t k = 0; k < j; ++k) {
        Four left;
        load(left, a + k * n + i);
        acc -= left * a[k * n + j];
      }
      store(column + i, acc);
    }
    for (; i < n; ++i) {
      double acc = column[i];
      for (std::size_t k = 0; k < j; ++k) acc -= a[k * n + i] * a[k * n + j];
      column[i] = acc;
    }
    const double pivot = column[j];
    if (!(pivot > 0.0)) return false;
    const double root = std::sqrt(pivot);
    column[j] = root;
    for (i = j + 1; i < n; ++i) column[i] /= root;
  }
  return true;
}

// Solves L y = b in place for the kLanes right-hand sides in the rows of y
// (y[i * kLanes + t]), L given by its packed rows. For every row and lane the
// products are subtracted in increasing column order, then the diagonal
// divides: the operations of a single solve in the same order, whichever lane,
// row block or instruction-set clone (none has fused multiply-adds) runs it.
__attribute__((target_clones("avx2", "default"))) void forward_substitution(const double* packed,
                                                                            std::size_t m,
                                                                            double* y) {
  constexpr std::size_t L = GlobalSystem::kLanes;
  std::size_t i0 = 0;
  for (; i0 + kRowBlock <= m; i0 += kRowBlock) {
    const double* r0 = packed + i0 * (i0 + 1) / 2;
    const double* r1 = r0 + i0 + 1;
    const double* r2 = r1 + i0 + 2;
    const double* r3 = r2 + i0 + 3;
    const double* rows[kRowBlock] = {r0, r1, r2, r3};
    for (std::size_t v = 0; v < kVectors; v += kVectorsPerPass) {
      const std::size_t h = 4 * v;
      Four a0, b0, a1, b1, a2, b2, a3, b3;
      load(a0, y + i0 * L + h);
      load(b0, y + i0 * L + h + 4);
      load(a1, y + (i0 + 1) * L + h);
      load(b1, y + (i0 + 1) * L + h + 4);
      load(a2, y + (i0 + 2) * L + h);
      load(b2, y + (i0 + 2) * L + h + 4);
      load(a3, y + (i0 + 3) * L + h);
      load(b3, y + (i0 + 3) * L + h + 4);
      for (std::size_t j = 0; j < i0; ++j) {
        Four ya, yb;
        load(ya, y + j * L + h);
        load(yb, y + j * L + h + 4);
        const double l0 = r0[j], l1 = r1[j], l2 = r2[j], l3 = r3[j];
        a0 -= l0 * ya;
        b0 -= l0 * yb;
        a1 -= l1 * ya;
        b1 -= l1 * yb;
        a2 -= l2 * ya;
        b2 -= l2 * yb;
        a3 -= l3 * ya;
        b3 -= l3 * yb;
      }
      Four* accumulators[kRowBlock][2] = {{&a0, &b0}, {&a1, &b1}, {&a2, &b2}, {&a3, &b3}};
      // The block's own triangle, each row with the rows just solved above it.
      for (std::size_t r = 0; r < kRowBlock; ++r) {
        Four& a = *accumulators[r][0];
        Four& b = *accumulators[r][1];
        for (std::size_t q = 0; q < r; ++q) {
          const double l = rows[r][i0 + q];
          Four ya, yb;
          load(ya, y + (i0 + q) * L + h);
          load(yb, y + (i0 + q) * L + h + 4);
          a -= l * ya;
          b -= l * yb;
        }
        const double diagonal = rows[r][i0 + r];
        a /= diagonal;
        b /= diagonal;
        store(y + (i0 + r) * L + h, a);
        store(y + (i0 + r) * L + h + 4, b);
      }
    }
  }
  for (std::size_t i = i0; i < m; ++i) {
    const double* row = packed + i * (i + 1) / 2;
    double acc[L];
    for (std::size_t t = 0; t < L; ++t) acc[t] = y[i * L + t];
    for (std::size_t j = 0; j < i; ++j) {
      const double l = row[j];
      const double* solved = y + j * L;
      for (std::size_t t = 0; t < L; ++t) acc[t] -= l * solved[t];
    }
    const double diagonal = row[i];
    for (std::size_t t = 0; t < L; ++t) y[i * L + t] = acc[t] / diagonal;
  }
}

}  // namespace

// Solves L y = b in place, L in the lower triangle of `l` (column-major),
// column by column: each y_i gets its products subtracted in increasing j.
void solve_lower(const Eigen::MatrixXd& l, Eigen::VectorXd& y) {
  const Eigen::Index n = y.size();
  double* v = y.data();
  for (Eigen::Index j = 0; j < n; ++j) {
    const double* column = l.data() + j * l.rows();
    const double solved = v[j] / column[j];
    v[j] = solved;
    for (Eigen::Index i = j + 1; i < n; ++i) v[i] -= column[i] * solved;
  }
}

bool LocalSystem::factorise() {
  cholesky_ = cholesky_lower(k_.data(), static_cast<std::size_t>(k_.rows()));
  if (cholesky_) {
    u_ = dz_;
    solve_lower(k_, u_);
  }
  return cholesky_;
}

void LocalSystem::factorise_lu() { lu_.compute(k_); }

Result LocalSystem::solve(const double* target_gammas) const {
  const std::size_t m = members_.size();
  if (m == 0) return {kNaN, kNaN};
  const double g_t0 = target_gammas[0];
  if (m == 1) return {z0_, variance_of(g_t0 + g_t0)};
  const Eigen::Index n = static_cast<Eigen::Index>(m) - 1;
  work_.resize(n);
  for (Eigen::Index i = 0; i < n; ++i) work_[i] = (g0_[i] + g_t0) - target_gammas[i + 1];
  double estimate = z0_;
  double explained = 0.0;
  if (cholesky_) {
    solve_lower(k_, work_);
    for (Eigen::Index i = 0; i < n; ++i) {
      estimate += work_[i] * u_[i];
      explained += work_[i] * work_[i];
    }
  } else {
    const Eigen::VectorXd weights = lu_.solve(work_);
    for (Eigen::Index i = 0; i < n; ++i) {
      estimate += weights[i] * dz_[i];
      explained += weights[i] * work_[i];
    }
  }
  return {estimate, variance_of((g_t0 + g_t0) - explained)};
}

void GlobalSystem::factorise() {
  const Eigen::Index m = k_.rows();
  // The strict upper triangle keeps K for the LU fallback; the factorisation
  // overwrites the lower one and the diagonal.
  const Eigen::VectorXd diagonal = k_.diagonal();
  Eigen::LLT<Eigen::Ref<Eigen::MatrixXd>> llt(k_);
  cholesky_ = llt.info() == Eigen::Success;
  if (cholesky_) {
    u_ = dz_;
    k_.triangularView<Eigen::Lower>().solveInPlace(u_);
    packed_.resize(static_cast<std::size_t>(m) * static_cast<std::size_t>(m + 1) / 2);
    std::size_t at = 0;
    for (Eigen::Index i = 0; i < m; ++i) {
      for (Eigen::Index j = 0; j <= i; ++j) packed_[at++] = k_(i, j);
    }
  } else {
    k_.diagonal() = diagonal;
    k_.triangularView<Eigen::StrictlyLower>() = k_.transpose();
    lu_.compute(k_);
  }
  k_.resize(0, 0);
}

void GlobalSystem::solve(const double* gammas, Result* out, std::vector<double>& work) const {
  constexpr std::size_t L = kLanes;
  if (n_ == 0) {
    for (std::size_t t = 0; t < L; ++t) out[t] = {kNaN, kNaN};
    return;
  }
  double g_t0[L];
  for (std::size_t t = 0; t < L; ++t) g_t0[t] = gammas[t * n_];
  if (n_ == 1) {
    for (std::size_t t = 0; t < L; ++t) out[t] = {z0_, variance_of(g_t0[t] + g_t0[t])};
    return;
  }
  const std::size_t m = n_ - 1;
  // b in rows of lanes: y[i * L + t] is b_i of the target in lane t.
  work.resize(m * L);
  double* y = work.data();
  for (std::size_t i = 0; i < m; ++i) {
    for (std::size_t t = 0; t < L; ++t) y[i * L + t] = (g0_[i] + g_t0[t]) - gammas[t * n_ + i + 1];
  }
  double estimate[L];
  double explained[L];
  for (std::size_t t = 0; t < L; ++t) {
    estimate[t] = z0_;
    explained[t] = 0.0;
  }
  if (cholesky_) {
    forward_substitution(packed_.data(), m, y);
    for (std::size_t i = 0; i < m; ++i) {
      const double u = u_[static_cast<Eigen::Index>(i)];
      for (std::size_t t = 0; t < L; ++t) {
        estimate[t] += y[i * L + t] * u;
        explained[t] += y[i * L + t] * y[i * L + t];
      }
    }
  } else {
    Eigen::VectorXd b(static_cast<Eigen::Index>(m));
    for (std::size_t t = 0; t < L; ++t) {
      for (std::size_t i = 0; i < m; ++i) b[static_cast<Eigen::Index>(i)] = y[i * L + t];
      const Eigen::VectorXd weights = lu_.solve(b);
      for (Eigen::Index i = 0; i < static_cast<Eigen::Index>(m); ++i) {
        estimate[t] += weights[i] * dz_[i];
        explained[t] += weights[i] * b[i];
      }
    }
  }
  for (std::size_t t = 0; t < L; ++t) {
    out[t] = {estimate[t], variance_of((g_t0[t] + g_t0[t]) - explained[t])};
  }
}

}  // namespace orv::krige::kriging
