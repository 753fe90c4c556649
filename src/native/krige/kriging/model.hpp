// The six variogram models as the kriging kernel evaluates them, with the
// formulas of the package's model functions (orv._algos.spmis.krige.variogram)
// written out in C++ so that a target's system is assembled without Python.
#pragma once

namespace orv::krige::kriging {

enum class ModelKind { Linear, Power, Gaussian, Spherical, Exponential, HoleEffect };

// A model and its parameters in the order of the core's DEFAULT_PARAMETERS:
// Linear (Slope, Nugget), Power (Scale, Exponent, Nugget), the others (PSill,
// Range, Nugget). Unused entries are ignored.
struct Model {
  ModelKind kind;
  double parameters[3];

  // The semivariance at distance h >= 0. At h == 0 it is 0, not the nugget:
  // a sample is perfectly correlated with itself, which makes kriging an
  // exact interpolator whatever the nugget.
  double at(double h) const { return h == 0.0 ? 0.0 : beyond_zero(h); }

  // The model function for h > 0 (the nugget included).
  double beyond_zero(double h) const;
};

// The kind named `name`; false for a name that is none of the six.
bool model_kind_of(const char* name, ModelKind* kind);

// How many parameters the kind takes (2 or 3).
int parameter_count(ModelKind kind);

}  // namespace orv::krige::kriging
