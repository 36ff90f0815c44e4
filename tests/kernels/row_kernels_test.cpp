// Every kernel path's row kernels give the plain kernels' bytes, for every colour model, toned
// or not, chroma in place or at half width, over random rows of every length to a few spans.

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "kernels/kernel_set.h"

namespace {

TEST(RowKernels, EveryPathMatchesThePlainOne) {
  const KernelSet& plain = *kernels_for(KernelPath::none);
  std::mt19937 random(11);
  for (const KernelPath path : {KernelPath::sse2, KernelPath::avx2, KernelPath::neon}) {
    const KernelSet* k = kernels_for(path);
    if (k == nullptr) continue;
    SCOPED_TRACE(kernel_path_name(path));
    for (const ColourModel model : {ColourModel::grey, ColourModel::ycbcr, ColourModel::rgb,
                                    ColourModel::cmyk, ColourModel::ycck}) {
      for (const bool tone : {false, true}) {
        for (const bool half : {false, true}) {
          if (half && model != ColourModel::ycbcr && model != ColourModel::rgb) continue;
          SCOPED_TRACE(::testing::Message()
                       << static_cast<int>(model) << " tone " << tone << " half " << half);
          for (int32_t width = 1; width <= 100; ++width) {
            std::vector<uint8_t> planes[4];
            const uint8_t* rows[4];
            for (int32_t i = 0; i < 4; ++i) {
              planes[i].resize(static_cast<size_t>(width) + 16);
              for (uint8_t& sample : planes[i]) sample = static_cast<uint8_t>(random());
              rows[i] = planes[i].data();
            }
            std::vector<uint8_t> want(3 * static_cast<size_t>(width) + 1, 0xA5);
            std::vector<uint8_t> have(want);
            plain.row_kernel(model, tone, half)(rows, width, want.data());
            k->row_kernel(model, tone, half)(rows, width, have.data());
            // The spare byte past the pixels is the kernel's to write or not.
            want.pop_back();
            have.pop_back();
            ASSERT_EQ(have, want) << "width " << width;
          }
        }
      }
    }
  }
}

}  // namespace
