#pragma once
// The kernels chosen for the processor the library finds itself on: vector forms for AVX2 on
// x86-64 beside the SSE2 baseline, NEON on 64-bit ARM, plain C++ everywhere. One binary holds
// them all and picks once per process; every path gives the same bytes.
// BMPSEPIA_SIMD=none|sse2|avx2|avx512|neon in the environment asks for a lower path than the
// best (one this processor or build lacks gives the best below it). No AVX-512 forms are built:
// avx512 stands for the best path below it.

#include <cstdint>

#include "common/colour_model.h"
#include "kernels/colour.h"

enum class KernelPath : uint8_t { none, sse2, avx2, avx512, neon };

struct KernelSet {
  KernelPath path;
  // The inverse DCT of a block of dequantised coefficients held column by column (row v,
  // column u at 8u + v; 32-byte aligned), whose rows outside `rows_used` (bit v for row v) hold
  // only zeros, into the 8x8 samples at `dest`; leaves the coefficients all zero.
  void (*transform)(int32_t* coefficients, uint32_t rows_used, uint8_t* dest, int32_t stride);
  // A progressive frame's stored block (64 quantised values in zig-zag order) dequantised with
  // `quant` (zig-zag order) and transformed likewise; `coefficients` is all zero on entry.
  void (*transform_stored)(const int16_t* block, const uint16_t* quant, int32_t* coefficients,
                           uint8_t* dest, int32_t stride);
  // The row kernel for a picture (see kernels/colour.h).
  RowKernel (*row_kernel)(ColourModel model, bool tone, bool half_chroma);
};

// The process's kernels, chosen at the first call (from any thread) and kept.
const KernelSet& kernels();
// The kernels of one path, or null where this processor or build does not have it.
const KernelSet* kernels_for(KernelPath path);
const char* kernel_path_name(KernelPath path);

// Each path's set, or null: defined in the path's own file.
const KernelSet* plain_kernels();
const KernelSet* sse2_kernels();
const KernelSet* avx2_kernels();
const KernelSet* neon_kernels();
