// The baseline path of the row kernels (compiler flags set in CMakeLists.txt).
#define ORV_ISA_PATH baseline
#define ORV_ISA_NAME "baseline"
#define ORV_ISA_VECTOR_BYTES 16
#define ORV_ISA_CONSTANT kBaseline
#include "krige/kernel/row_kernels.inl"
