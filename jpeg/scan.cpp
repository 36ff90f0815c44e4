// The scan: its header, the MCU loop with restart markers, and the decoding of one 8x8 block
// from Huffman codes to samples in its plane.

#include <cstdint>

#include "common/integer.h"
#include "jpeg/bit_reader.h"
#include "jpeg/decoder.h"
#include "platform/platform.h"

const uint8_t zigzag_order[64] = {0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,
                                  12, 19, 26, 33, 40, 48, 41, 34, 27, 20, 13, 6,  7,  14, 21, 28,
                                  35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23, 30, 37, 44, 51,
                                  58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63};

namespace {

// Reads the scan header; false (with `status` failed) unless it names every frame component in
// frame order with baseline spectral values.
bool read_scan_header() {
  read_segment_length();
  if (decoder.status != status_running) return false;
  const int32_t count = decoder.component_count;
  if (decoder.segment_left < 2 * (count + 2) || decoder.cursor[0] != count) {
    fail();
    return false;
  }
  skip_bytes(1);
  for (int32_t i = 0; i < count; ++i) {
    ComponentPlane& c = decoder.components[i];
    const uint8_t selectors = decoder.cursor[1];
    if (decoder.cursor[0] != c.id || (selectors & 0xEE) != 0) {
      fail();
      return false;
    }
    c.dc_table = selectors >> 4;
    c.ac_table = (selectors & 1) | 2;
    skip_bytes(2);
  }
  if (decoder.cursor[0] != 0 || decoder.cursor[1] != 63 || decoder.cursor[2] != 0) {
    fail();
    return false;
  }
  skip_bytes(decoder.segment_left);
  return true;
}

// Between restart intervals the data must carry the next restart marker, byte-aligned; the DC
// predictions start again after it.
void read_restart_marker(int32_t index) {
  decoder.bit_count &= 0xF8;
  if (get_bits(16) != (0xFFD0 | index)) {
    fail();
    return;
  }
  for (ComponentPlane& c : decoder.components) c.dc_predictor = 0;
}

struct McuGeometry {
  int32_t across;
  int32_t down;
  bool single_block;  // one component: each MCU is one block, whatever its sampling factors
};

}  // namespace

void decode_scan() {
  // Without a frame there is nothing to decode into, and no picture to report.
  if (!decoder.frame_seen) {
    fail();
    return;
  }
  if (!read_scan_header()) return;
  McuGeometry mcus{decoder.mcus_across, decoder.mcus_down, false};
  if (decoder.component_count == 1) {
    const ComponentPlane& c = decoder.components[0];
    mcus = McuGeometry{(c.plane_width + 7) / 8, (c.plane_height + 7) / 8, true};
  }
  const int32_t interval = decoder.restart_interval;
  int32_t countdown = interval;
  int32_t restart_index = 0;
  for (int32_t my = 0; my < mcus.down; ++my) {
    for (int32_t mx = 0; mx < mcus.across; ++mx) {
      if (mcus.single_block) {
        ComponentPlane* c = &decoder.components[0];
        decode_block(c, c->samples + 8 * (my * c->stride + mx));
        if (decoder.status != status_running) return;
      } else {
        for (int32_t i = 0; i < decoder.component_count; ++i) {
          ComponentPlane* c = &decoder.components[i];
          for (int32_t v = 0; v < c->v_samp; ++v) {
            for (int32_t h = 0; h < c->h_samp; ++h) {
              const int32_t row = my * c->v_samp + v;
              const int32_t column = mx * c->h_samp + h;
              decode_block(c, c->samples + 8 * (row * c->stride + column));
              if (decoder.status != status_running) return;
            }
          }
        }
      }
      const bool last = my == mcus.down - 1 && mx == mcus.across - 1;
      if (interval != 0 && !last && --countdown == 0) {
        read_restart_marker(restart_index);
        if (decoder.status != status_running) return;
        countdown = interval;
        restart_index = (restart_index + 1) & 7;
      }
    }
  }
  decoder.status = status_scan_done;
}

void decode_block(ComponentPlane* component, uint8_t* dest) {
  int32_t* coefficients = decoder.coefficients;
  platform_fill(coefficients, sizeof decoder.coefficients);
  uint8_t symbol = 0;
  const uint8_t* quant = decoder.quant_tables[component->quant_index];
  const int32_t dc = decode_huffman(decoder.huffman_lookup[component->dc_table], nullptr);
  component->dc_predictor = wrap_add(component->dc_predictor, dc);
  coefficients[0] = wrap_mul(component->dc_predictor, quant[0]);
  const HuffmanEntry* ac_table = decoder.huffman_lookup[component->ac_table];
  for (int32_t k = 0; k < 63;) {
    const int32_t v = decode_huffman(ac_table, &symbol);
    if (symbol == 0) break;  // end of block
    if ((symbol & 0x0F) == 0 && symbol != 0xF0) {
      fail();
      return;
    }
    k += (symbol >> 4) + 1;
    if (k > 63) {
      fail();
      return;
    }
    coefficients[zigzag_order[k]] = v * quant[k];
  }
  for (int32_t r = 0; r < 8; ++r) idct_row(coefficients + 8 * r);
  for (int32_t j = 0; j < 8; ++j) idct_column(coefficients + j, dest + j, component->stride);
}
