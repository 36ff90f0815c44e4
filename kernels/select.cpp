// The choice of kernels, once per process: the best path that this build holds and this
// processor runs, or the one BMPSEPIA_SIMD asks for when that is lower.

#include <cstdlib>
#include <cstring>

#include "kernels/kernel_set.h"

namespace {

constexpr KernelPath paths_by_rank[] = {KernelPath::none, KernelPath::sse2, KernelPath::neon,
                                        KernelPath::avx2, KernelPath::avx512};

bool processor_runs(KernelPath path) {
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
  // The checks include the system's saving of the wider registers (XGETBV).
  if (path == KernelPath::avx2) return __builtin_cpu_supports("avx2");
#endif
  return path == KernelPath::none || path == KernelPath::sse2 || path == KernelPath::neon;
}

const KernelSet* built(KernelPath path) {
  switch (path) {
    case KernelPath::none:
      return plain_kernels();
    case KernelPath::sse2:
      return sse2_kernels();
    case KernelPath::avx2:
      return avx2_kernels();
    case KernelPath::avx512:
      return nullptr;
    case KernelPath::neon:
      return neon_kernels();
  }
  return nullptr;
}

// The rank of the path BMPSEPIA_SIMD names, or the top one when it names none.
size_t asked_rank() {
  const char* asked = getenv("BMPSEPIA_SIMD");
  constexpr size_t ranks = sizeof paths_by_rank / sizeof paths_by_rank[0];
  for (size_t rank = 0; asked != nullptr && rank < ranks; ++rank) {
    if (strcmp(asked, kernel_path_name(paths_by_rank[rank])) == 0) return rank;
  }
  return ranks - 1;
}

const KernelSet& choose() {
  const KernelSet* chosen = plain_kernels();
  const size_t top = asked_rank();
  for (size_t rank = 0; rank <= top; ++rank) {
    const KernelSet* set = kernels_for(paths_by_rank[rank]);
    if (set != nullptr) chosen = set;
  }
  return *chosen;
}

}  // namespace

const KernelSet* kernels_for(KernelPath path) {
  return processor_runs(path) ? built(path) : nullptr;
}

const KernelSet& kernels() {
  static const KernelSet& chosen = choose();  // made once, whichever thread comes first
  return chosen;
}

const char* kernel_path_name(KernelPath path) {
  switch (path) {
    case KernelPath::none:
      return "none";
    case KernelPath::sse2:
      return "sse2";
    case KernelPath::avx2:
      return "avx2";
    case KernelPath::avx512:
      return "avx512";
    case KernelPath::neon:
      return "neon";
  }
  return "none";
}
