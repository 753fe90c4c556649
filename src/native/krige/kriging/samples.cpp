#include "krige/kriging/samples.hpp"

#include <limits>

namespace orv::krige::kriging {
namespace {

constexpr double kRadiansPerDegree = 3.14159265358979323846 / 180.0;

// The unit vector of a longitude and latitude in degrees.
void unit_vector(double lon, double lat, double* out) {
  const double lambda = lon * kRadiansPerDegree;
  const double phi = lat * kRadiansPerDegree;
  const double cos_phi = std::cos(phi);
  out[0] = cos_phi * std::cos(lambda);
  out[1] = cos_phi * std::sin(lambda);
  out[2] = std::sin(phi);
}

// The haversine terms of one point, computed as GeoColumns computes them for
// the samples (without its per-call allocations).
GeoPoint geo_point_of(double lon_degrees, double lat_degrees) {
  const double lon = lon_degrees * kRadiansPerDegree;
  const double lat = lat_degrees * kRadiansPerDegree;
  return {std::sin(0.5 * lat), std::cos(0.5 * lat), std::sin(0.5 * lon), std::cos(0.5 * lon),
          std::cos(lat)};
}

void transformed(const Transform& transform, const double* raw, double* out) {
  if (transform.identity) {
    for (int c = 0; c < transform.dims; ++c) out[c] = raw[c];
    return;
  }
  double centred[kMaxDims];
  for (int c = 0; c < transform.dims; ++c) centred[c] = raw[c] - transform.center[c];
  for (int r = 0; r < transform.dims; ++r) {
    double sum = 0.0;
    for (int c = 0; c < transform.dims; ++c) {
      sum += transform.matrix[r * transform.dims + c] * centred[c];
    }
    out[r] = sum;
  }
}

}  // namespace

SampleSet::SampleSet(const double* coordinates, std::size_t n, int dims, const double* values,
                     bool geographic, const Transform& transform)
    : geographic_(geographic),
      dims_(dims),
      search_dims_(geographic ? 3 : dims),
      transform_(transform),
      search_(n * static_cast<std::size_t>(search_dims_)),
      values_(values, values + n) {
  if (geographic_) geo_ = GeoColumns(coordinates, n);
  for (std::size_t i = 0; i < n; ++i) {
    const double* raw = coordinates + i * static_cast<std::size_t>(dims);
    double* out = &search_[i * search_dims_];
    if (geographic_) {
      unit_vector(raw[0], raw[1], out);
    } else {
      transformed(transform_, raw, out);
    }
  }
}

Place SampleSet::place(const double* raw) const {
  Place place{};
  if (geographic_) {
    unit_vector(raw[0], raw[1], place.search);
    place.geo = geo_point_of(raw[0], raw[1]);
  } else {
    transformed(transform_, raw, place.search);
  }
  return place;
}

double SampleSet::pair_distance(std::size_t lo, std::size_t hi) const {
  if (geographic_) {
    const GeoPoint a = geo_point(geo_, lo);
    return great_circle_km(a, geo_.sin_half_lat[hi], geo_.cos_half_lat[hi], geo_.sin_half_lon[hi],
                           geo_.cos_half_lon[hi], geo_.cos_lat[hi]);
  }
  const double* a = search(lo);
  const double* b = search(hi);
  double sum = 0.0;
  for (int c = 0; c < search_dims_; ++c) {
    const double diff = a[c] - b[c];
    sum += diff * diff;
  }
  return std::sqrt(sum);
}

double SampleSet::search_reach2(double reach) const {
  if (!(reach < std::numeric_limits<double>::infinity())) {
    return std::numeric_limits<double>::infinity();
  }
  if (!geographic_) return reach * reach;
  // The chord of the central angle reach / R, a little widened so that
  // rounding of either distance never leaves a sample in reach outside it.
  const double half_angle = 0.5 * reach / kEarthRadiusKm;
  if (half_angle >= 0.5 * 3.14159265358979323846) return 4.0 * (1.0 + 1e-9);
  const double chord = 2.0 * std::sin(half_angle);
  return chord * chord * (1.0 + 1e-9) + 1e-24;
}

}  // namespace orv::krige::kriging
