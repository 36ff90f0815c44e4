// The AVX2 kernels: the vector forms in 256-bit registers. Not on Windows, whose compilers do
// not align the stack for 32-byte spills.

#include "kernels/path.h"

#if defined(__x86_64__) && !defined(_WIN32)
namespace avx2_path {
#define KERNEL_TARGET __attribute__((target("avx2")))
constexpr bool use_vectors = true;
constexpr bool use_byte_shuffles = true;
#include "kernels/colour_body.h"
#include "kernels/idct_body.h"
#undef KERNEL_TARGET
}  // namespace avx2_path

const KernelSet* avx2_kernels() {
  static constexpr KernelSet set = KERNEL_SET_OF(avx2_path, KernelPath::avx2);
  return &set;
}
#else
const KernelSet* avx2_kernels() { return nullptr; }
#endif
