#include "krige/kriging/model.hpp"

#include <cmath>
#include <cstring>

namespace orv::krige::kriging {

double Model::beyond_zero(double h) const {
  const double* p = parameters;
  switch (kind) {
    case ModelKind::Linear:
      return p[0] * h + p[1];
    case ModelKind::Power:
      return p[0] * std::pow(h, p[1]) + p[2];
    case ModelKind::Gaussian: {
      const double ratio = h / p[1];
      return p[0] * (1.0 - std::exp(-3.0 * (ratio * ratio))) + p[2];
    }
    case ModelKind::Spherical: {
      const double ratio = std::fmin(h / p[1], 1.0);
      return p[0] * (1.5 * ratio - 0.5 * (ratio * ratio * ratio)) + p[2];
    }
    case ModelKind::Exponential:
      return p[0] * (1.0 - std::exp(-3.0 * (h / p[1]))) + p[2];
    case ModelKind::HoleEffect: {
      constexpr double kPi = 3.14159265358979323846;
      const double angle = kPi * (h / p[1]);
      // sin(x)/x tends to 1 as x -> 0; an underflowing angle must not give 0/0.
      const double sinc = angle == 0.0 ? 1.0 : std::sin(angle) / angle;
      return p[0] * (1.0 - sinc) + p[2];
    }
  }
  return std::nan("");
}

bool model_kind_of(const char* name, ModelKind* kind) {
  static const struct {
    const char* name;
    ModelKind kind;
  } kNames[] = {{"Linear", ModelKind::Linear},           {"Power", ModelKind::Power},
                {"Gaussian", ModelKind::Gaussian},       {"Spherical", ModelKind::Spherical},
                {"Exponential", ModelKind::Exponential}, {"HoleEffect", ModelKind::HoleEffect}};
  for (const auto& entry : kNames) {
    if (std::strcmp(entry.name, name) == 0) {
      *kind = entry.kind;
      return true;
    }
  }
  return false;
}

int parameter_count(ModelKind kind) { return kind == ModelKind::Linear ? 2 : 3; }

}  // namespace orv::krige::kriging
