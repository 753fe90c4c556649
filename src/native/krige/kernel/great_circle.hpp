// Great-circle distances by the haversine formula, with everything that
// depends on one point alone computed once per point. Per pair there remain
// products, sums, one square root and the arcsine below, whose operations
// are the same in every instruction-set path (no libm call, no fused
// multiply-add), so that any path gives the same bits.
#pragma once

#include <cmath>
#include <cstddef>
#include <vector>

namespace orv::krige {

// Mean Earth radius (IUGG), in kilometres.
constexpr double kEarthRadiusKm = 6371.0088;

// Per point, from longitude and latitude in degrees: the sine and cosine of
// half the latitude and of half the longitude, and the cosine of the
// latitude, one array each (structure of arrays, so a run of points is
// contiguous).
class GeoColumns {
 public:
  GeoColumns() = default;
  // lon_lat: n rows of (longitude, latitude).
  GeoColumns(const double* lon_lat, std::size_t n);

  std::size_t size() const { return sin_half_lat.size(); }

  std::vector<double> sin_half_lat, cos_half_lat, sin_half_lon, cos_half_lon, cos_lat;
};

// The five per-point terms of one point, as the pair formula reads them.
struct GeoPoint {
  double sin_half_lat, cos_half_lat, sin_half_lon, cos_half_lon, cos_lat;
};

inline GeoPoint geo_point(const GeoColumns& columns, std::size_t i) {
  return {columns.sin_half_lat[i], columns.cos_half_lat[i], columns.sin_half_lon[i],
          columns.cos_half_lon[i], columns.cos_lat[i]};
}

namespace asin_terms {
// The rational approximation of (asin(x) - x) / x^3 on z = x^2 <= 1/4.
constexpr double kP0 = 1.66666666666666657415e-01;
constexpr double kP1 = -3.25565818622400915405e-01;
constexpr double kP2 = 2.01212532134862925881e-01;
constexpr double kP3 = -4.00555345006794114027e-02;
constexpr double kP4 = 7.91534994289814532176e-04;
constexpr double kP5 = 3.47933107596021167570e-05;
constexpr double kQ1 = -2.40339491173441421878e+00;
constexpr double kQ2 = 2.02094576023350569471e+00;
constexpr double kQ3 = -6.88283971605453293030e-01;
constexpr double kQ4 = 7.70381505559019352791e-02;
constexpr double kHalfPiHi = 1.57079632679489655800e+00;
constexpr double kHalfPiLo = 6.12323399573676603587e-17;
}  // namespace asin_terms

// Internal linkage (static) for the pair formula: each instruction-set path
// compiles its own copy, which the linker must never exchange for another's.
//
// asin(sqrt(h)) for h in [0, 1] (NaN stays NaN), given x = sqrt(h). Below
// x = 1/2 it is x + x * r(h); above, asin(x) = pi/2 - 2 asin(sqrt((1 - x) / 2))
// with the same r. Written with selects only, so the vector paths compute
// both sides and pick per lane with the very same operations.
static inline double asin_of_root(double h, double x) {
  using namespace asin_terms;
  const bool small = x < 0.5;
  const double half_rest = (1.0 - x) * 0.5;
  const double t = small ? h : half_rest;
  const double p = t * (kP0 + t * (kP1 + t * (kP2 + t * (kP3 + t * (kP4 + t * kP5)))));
  const double q = 1.0 + t * (kQ1 + t * (kQ2 + t * (kQ3 + t * kQ4)));
  const double root = std::sqrt(t);
  const double s = small ? x : root;
  const double y = s + s * (p / q);
  const double large = kHalfPiHi - (2.0 * y - kHalfPiLo);
  return small ? y : large;
}

// The haversine of the central angle between point a and point b, clipped
// to [0, 1]. The terms are formed so that (a, b) and (b, a) round alike and
// a point is at haversine exactly 0 from itself; a NaN or infinite
// coordinate gives NaN.
static inline double haversine(const GeoPoint& a, double sin_half_lat, double cos_half_lat,
                               double sin_half_lon, double cos_half_lon, double cos_lat) {
  const double dlat = a.sin_half_lat * cos_half_lat - a.cos_half_lat * sin_half_lat;
  const double dlon = a.sin_half_lon * cos_half_lon - a.cos_half_lon * sin_half_lon;
  double h = (a.cos_lat * cos_lat) * (dlon * dlon) + dlat * dlat;
  // Rounding can push h a hair outside [0, 1]; NaN passes through.
  h = h > 1.0 ? 1.0 : h;
  h = h < 0.0 ? 0.0 : h;
  return h;
}

// The great-circle distance in km of haversine h.
static inline double distance_of_haversine(double h) {
  return (2.0 * kEarthRadiusKm) * asin_of_root(h, std::sqrt(h));
}

// Great-circle distance in km between point a and point b.
static inline double great_circle_km(const GeoPoint& a, double sin_half_lat, double cos_half_lat,
                                     double sin_half_lon, double cos_half_lon, double cos_lat) {
  return distance_of_haversine(
      haversine(a, sin_half_lat, cos_half_lat, sin_half_lon, cos_half_lon, cos_lat));
}

}  // namespace orv::krige
