// The AVX-512 kernels: the vector forms with the AVX-512 instructions on 256-bit registers
// (narrowing, masks, three-way logic). Not on Windows, as for AVX2.

#include "kernels/path.h"

#if defined(__x86_64__) && !defined(_WIN32)
namespace avx512_path {
#define KERNEL_TARGET __attribute__((target("avx2,avx512f,avx512bw,avx512vl,avx512dq")))
constexpr bool use_vectors = true;
constexpr bool use_byte_shuffles = true;
#include "kernels/colour_body.h"
#include "kernels/idct_body.h"
#undef KERNEL_TARGET
}  // namespace avx512_path

const KernelSet* avx512_kernels() {
  static constexpr KernelSet set = KERNEL_SET_OF(avx512_path, KernelPath::avx512);
  return &set;
}
#else
const KernelSet* avx512_kernels() { return nullptr; }
#endif
