// The plain kernels: the inverse DCT a row and a column at a time, and pixel by pixel rows. They
// run where no vector path does, and every vector path is held to their results.

#include "kernels/idct.h"
#include "kernels/path.h"

namespace plain_path {
#define KERNEL_TARGET
constexpr bool use_vectors = false;
constexpr bool use_byte_shuffles = false;
#include "kernels/base_body.h"
#include "kernels/colour_body.h"
#include "kernels/idct_body.h"
#undef KERNEL_TARGET
}  // namespace plain_path

void idct_row(int32_t* row) { plain_path::row_pass(row); }

void idct_column(const int32_t* column, uint8_t* dest, int32_t stride) {
  plain_path::column_pass(column, dest, stride);
}

const KernelSet* plain_kernels() {
  static constexpr KernelSet set = KERNEL_SET_OF(plain_path, KernelPath::none);
  return &set;
}
