// The ordinary kriging system of one neighbourhood, solved in semivariances.
//
// Members 0..m-1 are the neighbourhood's samples in increasing index order.
// With the weights summing to 1, the error of the estimate is a combination
// of the increments Z_i - Z_0 (i >= 1), whose covariance
//     K_ij = g(i,0) + g(j,0) - g(i,j)
// (g the semivariance) is symmetric positive definite for every valid model,
// bounded or not (Linear and Power included). Against the target t, with
//     b_i = g(i,0) + g(t,0) - g(i,t),  dz_i = z_i - z_0,  K = L L^T,
// the weights are K^-1 b and
//     estimate = z_0 + (L^-1 b) . (L^-1 dz),  variance = 2 g(t,0) - |L^-1 b|^2,
// which is the Lagrange system [G 1; 1^T 0] of ordinary kriging solved
// exactly. A K that is not positive definite (an invalid model, or a
// Gaussian without nugget beyond rounding) is solved by Eigen's LU with
// partial pivoting instead, and the target counted as such.
//
// A neighbourhood's K (tens of rows) is factorised by a left-looking loop over
// vectors of rows, which at these sizes takes about two thirds of the time of
// Eigen's LLT; all samples' K by Eigen's blocked LLT.
#pragma once

#include <Eigen/Dense>
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace orv::krige::kriging {

struct Result {
  double estimate;
  double variance;
};

class LocalSystem {
 public:
  // Factorises the system of `members` (m sample indices, increasing) with
  // the given values, unless it is the one factorised last (the same members
  // give the same bits, so the factorisation is reused). pair(a, b) gives the
  // semivariance between members a < b.
  template <class Pair>
  void factor(const std::uint32_t* members, std::size_t m, const double* values, Pair&& pair);

  // The estimate and variance at a target, from the semivariances between
  // each member and the target (member order) and of the target to member 0.
  Result solve(const double* target_gammas) const;

  // Whether the last factorisation fell back to LU.
  bool unstable() const { return !cholesky_; }

 private:
  // Cholesky of K (false: not positive definite), or LU of the whole K.
  bool factorise();
  void factorise_lu();

  std::vector<std::uint32_t> members_;
  bool valid_ = false;
  bool cholesky_ = true;
  double z0_ = 0.0;
  Eigen::MatrixXd k_;  // K, then its Cholesky factor L in the lower triangle
  Eigen::VectorXd dz_, u_, g0_;
  Eigen::PartialPivLU<Eigen::MatrixXd> lu_;
  mutable Eigen::VectorXd work_;
};

template <class Pair>
void LocalSystem::factor(const std::uint32_t* members, std::size_t m, const double* values,
                         Pair&& pair) {
  if (valid_ && members_.size() == m && std::equal(members, members + m, members_.begin())) {
    return;
  }
  members_.assign(members, members + m);
  valid_ = true;
  cholesky_ = true;
  if (m == 0) return;
  z0_ = values[0];
  const Eigen::Index n = static_cast<Eigen::Index>(m) - 1;
  g0_.resize(n);
  dz_.resize(n);
  for (Eigen::Index i = 0; i < n; ++i) {
    g0_[i] = pair(0, static_cast<std::size_t>(i) + 1);
    dz_[i] = values[i + 1] - z0_;
  }
  // K's lower triangle, column by column; the upper one only if needed.
  k_.resize(n, n);
  for (Eigen::Index j = 0; j < n; ++j) {
    double* column = k_.data() + j * n;
    const double g_j0 = g0_[j];
    column[j] = g_j0 + g_j0;
    for (Eigen::Index i = j + 1; i < n; ++i) {
      column[i] =
          (g0_[i] + g_j0) - pair(static_cast<std::size_t>(j) + 1, static_cast<std::size_t>(i) + 1);
    }
  }
  if (factorise()) return;
  // Not positive definite: K again, whole, for the LU fallback.
  for (Eigen::Index j = 0; j < n; ++j) {
    k_(j, j) = g0_[j] + g0_[j];
    for (Eigen::Index i = j + 1; i < n; ++i) {
      const double covariance = (g0_[i] + g0_[j]) - pair(static_cast<std::size_t>(j) + 1,
                                                         static_cast<std::size_t>(i) + 1);
      k_(i, j) = covariance;
      k_(j, i) = covariance;
    }
  }
  factorise_lu();
}

// The same system for all samples, factorised once, with the targets solved
// in batches of kLanes: the forward substitution runs over the lanes side by
// side, each lane with the operations of a single target in the same order,
// so a target's bits do not depend on its batch.
class GlobalSystem {
 public:
  static constexpr std::size_t kLanes = 16;

  // values: one per sample; pair(a, b) the semivariance between samples a < b.
  template <class Pair>
  GlobalSystem(std::size_t n, const double* values, Pair&& pair);

  std::size_t size() const { return n_; }
  bool unstable() const { return !cholesky_; }

  // gammas: kLanes rows of n semivariances (sample i to the target of the
  // lane); out: kLanes results. work: scratch of at least (n - 1) * kLanes.
  void solve(const double* gammas, Result* out, std::vector<double>& work) const;

 private:
  void factorise();

  std::size_t n_;
  bool cholesky_ = true;
  double z0_;
  Eigen::MatrixXd k_;
  Eigen::VectorXd g0_, dz_, u_;
  std::vector<double> packed_;  // rows of L, row i holding L(i, 0..i)
  Eigen::PartialPivLU<Eigen::MatrixXd> lu_;
};

template <class Pair>
GlobalSystem::GlobalSystem(std::size_t n, const double* values, Pair&& pair)
    : n_(n), z0_(n ? values[0] : 0.0) {
  const Eigen::Index m = static_cast<Eigen::Index>(n) - 1;
  if (m <= 0) return;
  Eigen::VectorXd& g0 = g0_;
  g0.resize(m);
  dz_.resize(m);
  for (Eigen::Index i = 0; i < m; ++i) {
    g0[i] = pair(0, static_cast<std::size_t>(i) + 1);
    dz_[i] = values[i + 1] - z0_;
  }
  k_.resize(m, m);
  for (Eigen::Index j = 0; j < m; ++j) {
    k_(j, j) = g0[j] + g0[j];
    for (Eigen::Index i = j + 1; i < m; ++i) {
      const double covariance =
          (g0[i] + g0[j]) - pair(static_cast<std::size_t>(j) + 1, static_cast<std::size_t>(i) + 1);
      k_(i, j) = covariance;
      k_(j, i) = covariance;
    }
  }
  factorise();
}

}  // namespace orv::krige::kriging
