// The NEON kernels: the vector forms on 64-bit ARM, where NEON is always there.

#include "kernels/path.h"

#if defined(__aarch64__)
namespace neon_path {
#define KERNEL_TARGET
constexpr bool use_vectors = true;
constexpr bool use_byte_shuffles = true;
#include "kernels/base_body.h"
#include "kernels/colour_body.h"
#include "kernels/idct_body.h"
#undef KERNEL_TARGET
}  // namespace neon_path

const KernelSet* neon_kernels() {
  static constexpr KernelSet set = KERNEL_SET_OF(neon_path, KernelPath::neon);
  return &set;
}
#else
const KernelSet* neon_kernels() { return nullptr; }
#endif
