#pragma once
// What the samples of a picture stand for: decided once per picture by the decoder, read by the
// renderer and its kernels.

#include <cstdint>

enum class ColourModel : uint8_t { grey, ycbcr, rgb, cmyk, ycck };
