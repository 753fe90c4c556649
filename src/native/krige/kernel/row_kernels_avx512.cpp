// The avx512 path of the row kernels (compiler flags set in CMakeLists.txt).
#if defined(__x86_64__) || defined(_M_X64)
#define ORV_ISA_PATH avx512
#define ORV_ISA_NAME "avx512"
#define ORV_ISA_VECTOR_BYTES 64
#define ORV_ISA_CONSTANT kAvx512
#include "krige/kernel/row_kernels.inl"
#endif
