// The scan: its header, the MCU loop with restart markers, and the decoding of one 8x8 block
// from Huffman codes to samples in its plane.

#include <cstdint>
#include <cstring>

#include "common/integer.h"
#include "common/vector_units.h"
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

// The Huffman tables of the scan, each with its short-code table.
struct ScanTables {
  FastEntry fast[4][1 << fast_bits];
};

// Between restart intervals the data must carry the next restart marker, byte-aligned; the DC
// predictions start again after it.
void read_restart_marker(BitReader& r, int32_t index) {
  consume_bits(r, r.count & 7);  // the rest of a partly read byte
  need_bits(r, 16);
  if (peek_bits(r, 16) != (0xFFD0u | static_cast<uint32_t>(index))) r.failed = true;
  consume_bits(r, 16);
  for (ComponentPlane& c : decoder.components) c.dc_predictor = 0;
}

// Fills the 8x8 block at `dest` with one value.
void fill_block(uint8_t* dest, int32_t stride, uint8_t value) {
  for (int32_t y = 0; y < 8; ++y, dest += stride) memset(dest, value, 8);
}

// Reads one block's codes into `coefficients`, dequantised, in natural order. Returns the rows
// that may hold a non-zero coefficient (bit r for row r).
inline uint32_t read_coefficients(BitReader& r, const ScanTables& tables,
                                  ComponentPlane& component) {
  int32_t* coefficients = decoder.coefficients;  // all zero on entry
  const uint8_t* quant = decoder.quant_tables[component.quant_index];
  const int32_t dc_index = component.dc_table;
  const HuffmanValue dc = read_huffman(r, tables.fast[dc_index], decoder.huffman_lookup[dc_index]);
  component.dc_predictor = wrap_add(component.dc_predictor, dc.value);
  coefficients[0] = wrap_mul(component.dc_predictor, quant[0]);
  const FastEntry* ac_fast = tables.fast[component.ac_table];
  const HuffmanEntry* ac_full = decoder.huffman_lookup[component.ac_table];
  uint32_t rows_used = 1;
  // A failure ends the scan after this block, so the loop need not ask about it: a code that
  // is not found gives symbol 0 and ends the block, and every pass moves k on.
  for (int32_t k = 0; k < 63;) {
    const HuffmanValue ac = read_huffman(r, ac_fast, ac_full);
    if ((ac.symbol & 0x0F) == 0) {  // no extra bits: end of block, or sixteen zeros
      if (ac.symbol == 0) break;
      if (ac.symbol != 0xF0) {
        r.failed = true;
        break;
      }
    }
    k += (ac.symbol >> 4) + 1;
    if (k > 63) {
      r.failed = true;
      break;
    }
    const int32_t natural = zigzag_order[k];
    coefficients[natural] = ac.value * quant[k];
    rows_used |= 1u << (natural >> 3);
  }
  return rows_used;
}

// Leaves `coefficients` all zero again for the next block, clearing only the rows it used.
inline void clear_rows(uint32_t rows_used) {
  for (int32_t row = 0; row < 8; ++row) {
    if ((rows_used >> row & 1) != 0)
      platform_fill(decoder.coefficients + 8 * row, 8 * sizeof(int32_t));
  }
}

// Runs the inverse DCT of `coefficients` into the block at `dest`.
inline void transform_block(uint32_t rows_used, int32_t stride, uint8_t* dest) {
  int32_t* coefficients = decoder.coefficients;
  if (rows_used == 1) {
    // Row 0 alone: every other row pass sees zeros and gives zeros, so every column pass takes
    // its shortcut on the first row's value. With the DC alone that is one value.
    idct_row(coefficients);
    bool flat = true;
    for (int32_t j = 1; j < 8; ++j) flat = flat && coefficients[j] == coefficients[0];
    if (flat) {
      fill_block(dest, stride, column_shortcut_value(coefficients[0]));
    } else {
      uint8_t row[8];
      for (int32_t j = 0; j < 8; ++j) row[j] = column_shortcut_value(coefficients[j]);
      for (int32_t y = 0; y < 8; ++y) memcpy(dest + y * stride, row, 8);
    }
    clear_rows(rows_used);
    return;
  }
  if constexpr (vector_units) {
    // With two rows or more in use, all eight row passes at once cost less than two alone.
    idct_rows(coefficients);
    idct_columns(coefficients, dest, stride);
  } else {
    // Rows that hold only zeros would come out as zeros.
    for (int32_t row = 0; row < 8; ++row) {
      if ((rows_used >> row & 1) != 0) idct_row(coefficients + 8 * row);
    }
    for (int32_t column = 0; column < 8; ++column) {
      idct_column(coefficients + column, dest + column, stride);
    }
  }
  clear_rows(rows_used);
}

// Decodes one block. The reader is held in locals for the block: plane stores (bytes, which may
// alias anything) would otherwise send it back to memory after each one.
void decode_block_from(BitReader& reader, const ScanTables& tables, ComponentPlane* component,
                       uint8_t* dest) {
  BitReader r = reader;
  const uint32_t rows_used = read_coefficients(r, tables, *component);
  reader = r;
  // After a failure the scan stops and the plane's samples no longer matter.
  if (!r.failed) transform_block(rows_used, component->stride, dest);
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
  ScanTables tables;
  for (int32_t t = 0; t < 4; ++t) build_fast_table(decoder.huffman_lookup[t], tables.fast[t]);
  McuGeometry mcus{decoder.mcus_across, decoder.mcus_down, false};
  if (decoder.component_count == 1) {
    const ComponentPlane& c = decoder.components[0];
    mcus = McuGeometry{(c.plane_width + 7) / 8, (c.plane_height + 7) / 8, true};
  }
  const int32_t interval = decoder.restart_interval;
  int32_t countdown = interval;
  int32_t restart_index = 0;
  BitReader r = load_bit_reader();
  platform_fill(decoder.coefficients, sizeof decoder.coefficients);
  for (int32_t my = 0; my < mcus.down; ++my) {
    for (int32_t mx = 0; mx < mcus.across; ++mx) {
      if (mcus.single_block) {
        ComponentPlane* c = &decoder.components[0];
        decode_block_from(r, tables, c, c->samples + 8 * (my * c->stride + mx));
        if (r.failed) break;
      } else {
        for (int32_t i = 0; i < decoder.component_count && !r.failed; ++i) {
          ComponentPlane* c = &decoder.components[i];
          for (int32_t v = 0; v < c->v_samp && !r.failed; ++v) {
            uint8_t* row = c->samples + 8 * ((my * c->v_samp + v) * c->stride + mx * c->h_samp);
            for (int32_t h = 0; h < c->h_samp && !r.failed; ++h) {
              decode_block_from(r, tables, c, row + 8 * h);
            }
          }
        }
        if (r.failed) break;
      }
      const bool last = my == mcus.down - 1 && mx == mcus.across - 1;
      if (interval != 0 && !last && --countdown == 0) {
        read_restart_marker(r, restart_index);
        if (r.failed) break;
        countdown = interval;
        restart_index = (restart_index + 1) & 7;
      }
    }
    if (r.failed) break;
  }
  store_bit_reader(r);
  if (!r.failed) decoder.status = status_scan_done;
}

void decode_block(ComponentPlane* component, uint8_t* dest) {
  ScanTables tables;
  build_fast_table(decoder.huffman_lookup[component->dc_table], tables.fast[component->dc_table]);
  build_fast_table(decoder.huffman_lookup[component->ac_table], tables.fast[component->ac_table]);
  BitReader r = load_bit_reader();
  platform_fill(decoder.coefficients, sizeof decoder.coefficients);
  decode_block_from(r, tables, component, dest);
  store_bit_reader(r);
}
