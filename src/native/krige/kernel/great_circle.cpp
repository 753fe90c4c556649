#include "krige/kernel/great_circle.hpp"

namespace orv::krige {

GeoColumns::GeoColumns(const double* lon_lat, std::size_t n)
    : sin_half_lat(n), cos_half_lat(n), sin_half_lon(n), cos_half_lon(n), cos_lat(n) {
  constexpr double kRadiansPerDegree = 3.14159265358979323846 / 180.0;
  for (std::size_t i = 0; i < n; ++i) {
    const double lon = lon_lat[2 * i] * kRadiansPerDegree;
    const double lat = lon_lat[2 * i + 1] * kRadiansPerDegree;
    sin_half_lat[i] = std::sin(0.5 * lat);
    cos_half_lat[i] = std::cos(0.5 * lat);
    sin_half_lon[i] = std::sin(0.5 * lon);
    cos_half_lon[i] = std::cos(0.5 * lon);
    cos_lat[i] = std::cos(lat);
  }
}

}  // namespace orv::krige
