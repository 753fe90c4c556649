// Samples and targets in the two forms the kernel needs.
//
// The search space is where neighbours are nearest: projected coordinates
// after the anisotropy transform, or for geographic coordinates unit vectors
// on the sphere, whose chord length grows with the great-circle distance. The
// model distance is what the variogram is evaluated at: the Euclidean length
// in the search space, or the great-circle distance in km by the haversine
// code of the semivariogram pass, so that both see the same distances.
#pragma once

#include <cmath>
#include <cstddef>
#include <vector>

#include "krige/kernel/great_circle.hpp"

namespace orv::krige::kriging {

constexpr int kMaxDims = 3;

// p -> matrix * (p - center) for projected points of `dims` columns; the
// identity leaves coordinates untouched (no arithmetic at all).
struct Transform {
  int dims = 2;
  bool identity = true;
  double matrix[kMaxDims * kMaxDims] = {};  // row-major
  double center[kMaxDims] = {};
};

// A point placed in both forms.
struct Place {
  double search[kMaxDims];
  GeoPoint geo;  // geographic only
};

class SampleSet {
 public:
  // coordinates: n rows of `dims` columns (longitude, latitude when
  // geographic); values: n values.
  SampleSet(const double* coordinates, std::size_t n, int dims, const double* values,
            bool geographic, const Transform& transform);

  std::size_t size() const { return values_.size(); }
  bool geographic() const { return geographic_; }
  int dims() const { return dims_; }
  int search_dims() const { return search_dims_; }
  const double* search(std::size_t i) const { return &search_[i * search_dims_]; }
  double value(std::size_t i) const { return values_[i]; }

  // A target given by its `dims` raw coordinates.
  Place place(const double* raw) const;

  // Squared search distance from sample i: the sum over the search columns,
  // in column order, of (target - sample)^2. The k-d tree computes it with
  // the same operations, so both give the same bits.
  double search_distance2(std::size_t i, const Place& target) const {
    const double* s = search(i);
    double sum = 0.0;
    for (int c = 0; c < search_dims_; ++c) {
      const double diff = target.search[c] - s[c];
      sum += diff * diff;
    }
    return sum;
  }

  // The model distance from sample i, given search_distance2(i, target).
  double model_distance(std::size_t i, const Place& target, double distance2) const {
    if (!geographic_) return std::sqrt(distance2);
    const GeoPoint a = geo_point(geo_, i);
    return great_circle_km(a, target.geo.sin_half_lat, target.geo.cos_half_lat,
                           target.geo.sin_half_lon, target.geo.cos_half_lon, target.geo.cos_lat);
  }

  // The model distance between samples lo < hi (always taken in that order).
  double pair_distance(std::size_t lo, std::size_t hi) const;

  // The search-space squared distance that no pair within `km` great-circle
  // kilometres exceeds (geographic), or km^2 (projected); infinite for an
  // infinite reach.
  double search_reach2(double reach) const;

 private:
  bool geographic_;
  int dims_;
  int search_dims_;
  Transform transform_;
  std::vector<double> search_;
  std::vector<double> values_;
  GeoColumns geo_;
};

}  // namespace orv::krige::kriging
