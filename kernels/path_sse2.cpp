// The SSE2 kernels: the vector forms at the x86-64 baseline.

#include "kernels/path.h"

#if defined(__x86_64__)
namespace sse2_path {
#define KERNEL_TARGET
constexpr bool use_vectors = true;
constexpr bool use_byte_shuffles = false;
#include "kernels/base_body.h"
#include "kernels/colour_body.h"
#include "kernels/idct_body.h"
#undef KERNEL_TARGET
}  // namespace sse2_path

const KernelSet* sse2_kernels() {
  static constexpr KernelSet set = KERNEL_SET_OF(sse2_path, KernelPath::sse2);
  return &set;
}
#else
const KernelSet* sse2_kernels() { return nullptr; }
#endif
