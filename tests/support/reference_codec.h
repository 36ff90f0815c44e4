#pragma once
// A reference JPEG codec (libjpeg-turbo), for tests only: it encodes the inputs of tests and is
// the oracle our decoder's colour is compared against.

#include <cstdint>
#include <string>
#include <vector>

#include "support/files.h"

struct EncodeOptions {
  int32_t components = 3;            // 1 (grey), 3 (YCbCr from RGB input) or 4 (CMYK input)
  int32_t h_samp[4] = {2, 1, 1, 1};  // luma factors first
  int32_t v_samp[4] = {2, 1, 1, 1};
  int32_t quality = 90;
  int32_t restart_interval = 0;  // in MCUs; 0 for none
  bool ycck = false;             // four components coded as YCCK rather than CMYK
  bool extended = false;         // quantisers may pass 255 (16-bit tables, an extended frame)
};

// Encodes width x height pixels (1, 3 or 4 bytes each) as a sequential JPEG, baseline unless
// `extended`.
Bytes encode_jpeg(const Bytes& pixels, int32_t width, int32_t height, const EncodeOptions& options);

struct DecodedImage {
  int32_t width = 0;
  int32_t height = 0;
  int32_t components = 0;
  Bytes pixels;  // RGB, or grey for one component
};

// Runs the reference codec's transcoder, jpegtran, with `options` (which may name files of
// `dir`) on `jpeg`: the same quantised coefficients coded another way. Empty on failure.
Bytes transcode(const std::string& options, const Bytes& jpeg, const TempDir& dir);

// Decodes with the integer inverse DCT and plain replication upsampling. False on any error.
bool reference_decode(const Bytes& jpeg, DecodedImage* image);

// A deterministic test picture with smooth areas, edges and noise.
Bytes make_test_pixels(int32_t width, int32_t height, int32_t components, uint32_t seed);
