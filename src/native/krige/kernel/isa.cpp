// Run-time choice of the row kernels' instruction-set path.
#include <atomic>
#include <cstring>

#include "krige/kernel/row_kernels.hpp"

namespace orv::krige {
namespace {

bool available(const RowKernels& kernels) {
#if defined(__x86_64__) || defined(_M_X64)
  if (&kernels == &isa::kAvx2) return __builtin_cpu_supports("avx2");
  if (&kernels == &isa::kAvx512) {
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq");
  }
#endif
  return &kernels == &isa::kBaseline;
}

const RowKernels* const kAll[] = {
    &isa::kBaseline,
#if defined(__x86_64__) || defined(_M_X64)
    &isa::kAvx2,
    &isa::kAvx512,
#endif
};

const RowKernels* best() {
  const RowKernels* chosen = &isa::kBaseline;
  for (const RowKernels* kernels : kAll) {
    if (available(*kernels)) chosen = kernels;
  }
  return chosen;
}

std::atomic<const RowKernels*> g_forced{nullptr};

}  // namespace

std::vector<const char*> isa_paths() {
  std::vector<const char*> names;
  for (const RowKernels* kernels : kAll) {
    if (available(*kernels)) names.push_back(kernels->name);
  }
  return names;
}

bool force_isa(const char* name) {
  if (name == nullptr) {
    g_forced.store(nullptr);
    return true;
  }
  for (const RowKernels* kernels : kAll) {
    if (std::strcmp(kernels->name, name) == 0 && available(*kernels)) {
      g_forced.store(kernels);
      return true;
    }
  }
  return false;
}

const RowKernels& row_kernels() {
  static const RowKernels* const kBest = best();
  const RowKernels* forced = g_forced.load();
  return forced != nullptr ? *forced : *kBest;
}

}  // namespace orv::krige
