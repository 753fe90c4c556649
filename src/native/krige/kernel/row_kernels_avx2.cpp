// The avx2 path of the row kernels (compiler flags set in CMakeLists.txt).
#if defined(__x86_64__) || defined(_M_X64)
#define ORV_ISA_PATH avx2
#define ORV_ISA_NAME "avx2"
#define ORV_ISA_VECTOR_BYTES 32
#define ORV_ISA_CONSTANT kAvx2
#include "krige/kernel/row_kernels.inl"
#endif
