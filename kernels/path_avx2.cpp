// The AVX2 kernels: the vector forms in 256-bit registers. Not on Windows, whose compilers do
// not align the stack for 32-byte spills.

#include "kernels/path.h"

#if defined(__x86_64__) && !defined(_WIN32)
#include <immintrin.h>

namespace avx2_path {
#define KERNEL_TARGET __attribute__((target("avx2")))
#define KERNEL_MUL_HIGH_U16(a, b) ((Uint16x16)_mm256_mulhi_epu16((__m256i)(a), (__m256i)(b)))
constexpr bool use_vectors = true;
constexpr bool use_byte_shuffles = true;
#include "kernels/colour_body.h"
#include "kernels/idct_body.h"
#undef KERNEL_MUL_HIGH_U16
#undef KERNEL_TARGET
}  // namespace avx2_path

const KernelSet* avx2_kernels() {
  static constexpr KernelSet set = KERNEL_SET_OF(avx2_path, KernelPath::avx2);
  return &set;
}
#else
const KernelSet* avx2_kernels() { return nullptr; }
#endif
