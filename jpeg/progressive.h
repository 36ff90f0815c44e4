#pragma once
// The progressive processes (T.81 G.1.2, G.2): scans into the coefficient store, and the store
// turned into samples one MCU row at a time.

#include <cstdint>

#include "jpeg/decoder.h"
#include "jpeg/scan_header.h"

// A scan whose header has passed its checks.
void decode_progressive_scan(DecoderState& d, const ScanHeader& scan);
// Turns MCU row `row` of the store into samples in `planes`, which then hold that row alone:
// the blocks that picture columns first_x to end_x - 1 need, in their places.
void fill_progressive_strip(const DecoderState& d, int32_t row, int32_t first_x, int32_t end_x,
                            StripPlanes* planes);
