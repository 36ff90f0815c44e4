#pragma once
// What a kernel path's file needs before it includes the kernel bodies inside its namespace:
// everything they use, so that the bodies themselves include nothing, and each path's
// functions stay its own.

#include <bit>
#include <cstdint>
#include <cstring>

#include "common/colour_model.h"
#include "common/integer.h"
#include "common/zigzag.h"
#include "kernels/coefficients.h"
#include "kernels/colour.h"
#include "kernels/colour_tables.h"
#include "kernels/kernel_set.h"
#include "kernels/lanes.h"

// The set of the kernels that namespace `ns` holds.
#define KERNEL_SET_OF(ns, kernel_path) \
  KernelSet { kernel_path, ns::transform, ns::transform_stored, ns::row_kernel }
