#pragma once
// What the progressive scans and the kernels share over a coefficient store, whose blocks keep
// 64 quantised values each in zig-zag order, 16 bits a value.

#include <cstdint>
#include <cstring>

#include "kernels/lanes.h"

// Bit k set where block[k] is not zero. Eight lanes at a time are compared in vectors, narrowed
// to bytes of 0 or 1 and gathered into eight bits by one multiplication: byte i of the product's
// top byte is lane i, as no two lanes' bits meet below it.
KERNEL_INLINE uint64_t nonzero_mask(const int16_t* block) {
  uint64_t mask = 0;
  for (int32_t first = 0; first < 64; first += 8) {
    Int16x8 values;
    memcpy(&values, block + first, sizeof values);
    const Int8x8 nonzero = __builtin_convertvector(values != 0, Int8x8);
    uint64_t lanes;
    memcpy(&lanes, &nonzero, sizeof lanes);
    mask |= ((lanes & 0x0101010101010101u) * 0x0102040810204080u) >> 56 << first;
  }
  return mask;
}
