// The scan: its header and the checks of the frame's process, the tables it needs, and the
// sequential processes: each block decoded straight into its plane, from Huffman codes or
// arithmetic-coded decisions.

#include "jpeg/scan.h"

#include <cstdint>
#include <cstring>

#include "common/integer.h"
#include "jpeg/arithmetic.h"
#include "jpeg/bit_reader.h"
#include "jpeg/decoder.h"
#include "jpeg/transform.h"
#include "platform/platform.h"

const uint8_t zigzag_order[64] = {0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,
                                  12, 19, 26, 33, 40, 48, 41, 34, 27, 20, 13, 6,  7,  14, 21, 28,
                                  35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23, 30, 37, 44, 51,
                                  58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63};

namespace {

// Reads the scan header: 1 to 4 of the frame's components, named by id in frame order (T.81
// B.2.3), each once. False (with `status` failed) when it does not fit the frame.
bool read_scan_header(DecoderState& d, ScanHeader& scan) {
  read_segment_length(d);
  if (d.status != status_running) return false;
  const auto refuse = [&d] {
    fail(d, Fault::bad_scan, d.scan_count);
    return false;
  };
  scan.count = d.segment_left >= 1 ? d.cursor[0] : 0;
  if (scan.count < 1 || scan.count > max_components || d.segment_left < 2 * scan.count + 4) {
    return refuse();
  }
  skip_bytes(d, 1);
  int32_t next = 0;  // the frame component after the last one named
  for (int32_t i = 0; i < scan.count; ++i) {
    const uint8_t id = d.cursor[0];
    const uint8_t selectors = d.cursor[1];
    // In the frame's order, which other decoders hold to too.
    ComponentPlane* c = nullptr;
    for (; next < d.component_count && c == nullptr; ++next) {
      if (d.components[next].id == id) c = &d.components[next];
    }
    if (c == nullptr || (selectors & 0xCC) != 0) return refuse();
    c->dc_table = selectors >> 4;
    c->ac_table = selectors & 0x0F;
    scan.components[i] = c;
    skip_bytes(d, 2);
  }
  scan.ss = d.cursor[0];
  scan.se = d.cursor[1];
  scan.ah = d.cursor[2] >> 4;
  scan.al = d.cursor[2] & 0x0F;
  skip_bytes(d, d.segment_left);
  return true;
}

// A sequential frame codes each component once, whole, with spectral values 0, 63 and no
// successive approximation.
bool check_sequential_scan(DecoderState& d, const ScanHeader& scan) {
  bool fits = scan.ss == 0 && scan.se == 63 && scan.ah == 0 && scan.al == 0;
  for (int32_t i = 0; i < scan.count; ++i) fits = fits && !scan.components[i]->coded;
  if (!fits) fail(d, Fault::bad_scan, d.scan_count);
  return fits;
}

// T.81 G.1.1.1: a progressive scan codes a band of coefficients, the DC alone (of any of the
// components) or a band of AC coefficients of one component that has had its first DC scan;
// each coefficient first whole but its Al low bits, then one bit more a scan.
bool check_progressive_scan(DecoderState& d, const ScanHeader& scan) {
  bool fits = scan.ss <= scan.se && scan.se <= 63 && (scan.ss != 0 || scan.se == 0) &&
              (scan.ss == 0 || scan.count == 1) && scan.al <= 13;
  for (int32_t i = 0; i < scan.count && fits; ++i) {
    const ComponentPlane& c = *scan.components[i];
    fits = scan.ss == 0 || c.last_al[0] >= 0;
    for (int32_t k = scan.ss; k <= scan.se && fits; ++k) {
      fits = scan.ah == 0 ? c.last_al[k] < 0 : c.last_al[k] == scan.ah && scan.al == scan.ah - 1;
    }
  }
  if (!fits) {
    fail(d, Fault::bad_progression, d.scan_count);
    return false;
  }
  for (int32_t i = 0; i < scan.count; ++i) {
    ComponentPlane& c = *scan.components[i];
    // Dequantised, at the end, with the tables in force at the component's first scan.
    if (!c.coded) {
      for (int32_t k = 0; k < 64; ++k) c.quant[k] = d.quant_tables[c.quant_index][k];
      c.coded = true;
    }
    for (int32_t k = scan.ss; k <= scan.se; ++k) c.last_al[k] = static_cast<int8_t>(scan.al);
  }
  return true;
}

// What one component's blocks are decoded with in a scan, looked up once for the scan.
struct BlockTables {
  const FastEntry* dc_fast;
  const HuffmanEntry* dc_full;
  const FastEntry* ac_fast;
  const HuffmanEntry* ac_full;
  const uint16_t* quant;
};

BlockTables block_tables(const DecoderState& d, const ScanTables& tables, const ComponentPlane& c) {
  return {tables.fast[0][c.dc_table], d.huffman_lookup[0][c.dc_table], tables.fast[1][c.ac_table],
          d.huffman_lookup[1][c.ac_table], d.quant_tables[c.quant_index]};
}

// Reads one block's codes into `coefficients` (all zero on entry), dequantised, in natural
// order. Returns the rows that may hold a non-zero coefficient (bit r for row r).
inline uint32_t read_coefficients(int32_t* coefficients, BitReader& r, const BlockTables& t,
                                  int32_t& dc_predictor) {
  const uint16_t* quant = t.quant;
  const HuffmanValue dc = read_huffman(r, t.dc_fast, t.dc_full);
  dc_predictor = wrap_add(dc_predictor, dc.value);
  coefficients[0] = wrap_mul(dc_predictor, quant[0]);
  const FastEntry* ac_fast = t.ac_fast;
  const HuffmanEntry* ac_full = t.ac_full;
  uint32_t rows_used = 1;
  // A failure ends the scan after this block, so the loop need not ask about it: a code that
  // is not found gives symbol 0 and ends the block, and every pass moves k on.
  for (int32_t k = 0; k < 63;) {
    const HuffmanValue ac = read_huffman(r, ac_fast, ac_full);
    if ((ac.symbol & 0x0F) == 0) {  // no extra bits: end of block, or sixteen zeros
      if (ac.symbol == 0) break;
      if (ac.symbol != 0xF0) {
        reader_fail(r, Fault::bad_coefficients);
        break;
      }
    }
    k += (ac.symbol >> 4) + 1;
    if (k > 63) {
      reader_fail(r, Fault::bad_coefficients);
      break;
    }
    const int32_t natural = zigzag_order[k];
    // At most 15 extra bits and 16-bit quantisers: the product stays below 2^31.
    coefficients[natural] = ac.value * quant[k];
    rows_used |= 1u << (natural >> 3);
  }
  return rows_used;
}

// A sequential scan of Huffman codes, each block decoded into its plane.
class SequentialHuffman {
 public:
  SequentialHuffman(const DecoderState& d, const ScanHeader& scan, const ScanTables& tables)
      : reader_(load_bit_reader(d)) {
    for (int32_t i = 0; i < scan.count; ++i) {
      const ComponentPlane& c = *scan.components[i];
      by_component_[&c - d.components] = block_tables(d, tables, c);
    }
  }

  bool failed() const { return reader_.failed; }

  // The reader is held in locals for the block: plane stores (bytes, which may alias anything)
  // would otherwise send it back to memory after each one.
  void block(DecoderState& d, ComponentPlane& c, int32_t bx, int32_t by) {
    BitReader r = reader_;
    const uint32_t rows_used =
        read_coefficients(d.coefficients, r, by_component_[&c - d.components], c.dc_predictor);
    reader_ = r;
    // After a failure the scan stops and the plane's samples no longer matter.
    if (!r.failed) {
      transform_block(d.coefficients, rows_used, c.samples + 8 * (by * c.stride + bx), c.stride);
    }
  }

  void restart(DecoderState&, const ScanHeader& scan, int32_t index) {
    read_restart_marker(reader_, index);
    for (int32_t i = 0; i < scan.count; ++i) scan.components[i]->dc_predictor = 0;
  }

  void finish(DecoderState& d) const { store_bit_reader(d, reader_); }

 private:
  BitReader reader_;
  BlockTables by_component_[max_components];
};

// A sequential scan of arithmetic-coded decisions (T.81 F.2.4), each block decoded into its
// plane.
class SequentialArithmetic : public ArithmeticData {
 public:
  using ArithmeticData::ArithmeticData;

  void block(DecoderState& d, ComponentPlane& c, int32_t bx, int32_t by) {
    const int32_t difference = arithmetic_dc_difference(
        reader, stats.dc[c.dc_table], c.dc_context, d.dc_lower[c.dc_table], d.dc_upper[c.dc_table]);
    const uint16_t* quant = d.quant_tables[c.quant_index];
    int32_t* coefficients = d.coefficients;  // all zero on entry
    const uint32_t rows_used =
        1 | arithmetic_ac_sequential(reader, stats.ac[c.ac_table], d.ac_kx[c.ac_table], quant,
                                     coefficients);
    c.dc_predictor = wrap_add(c.dc_predictor, difference);
    coefficients[0] = wrap_mul(c.dc_predictor, quant[0]);
    // After a failure the scan stops; the coefficients are cleared for a later scan anyway.
    if (reader.failed) {
      platform_fill(coefficients, sizeof d.coefficients);
      return;
    }
    transform_block(coefficients, rows_used, c.samples + 8 * (by * c.stride + bx), c.stride);
  }
};

// The table of `table_class` in `slot`, made ready once for the scan.
bool prepare_huffman_table(DecoderState& d, int32_t table_class, int32_t slot, ScanTables& tables,
                           uint32_t& prepared) {
  const uint32_t bit = 1u << (4 * table_class + slot);
  if ((prepared & bit) != 0) return true;
  if ((static_cast<uint32_t>(d.huffman_defined_mask) & bit) == 0 &&
      (slot > 1 || !install_standard_huffman_table(d, table_class, slot))) {
    if (d.status == status_running) fail(d, Fault::missing_table, d.scan_count);
    return false;
  }
  build_fast_table(d.huffman_lookup[table_class][slot], tables.fast[table_class][slot]);
  prepared |= bit;
  return true;
}

}  // namespace

bool start_huffman_scan(DecoderState& d, const ScanHeader& scan, bool dc, bool ac,
                        ScanTables& tables) {
  uint32_t prepared = 0;
  for (int32_t i = 0; i < scan.count; ++i) {
    const ComponentPlane* c = scan.components[i];
    if ((dc && !prepare_huffman_table(d, 0, c->dc_table, tables, prepared)) ||
        (ac && !prepare_huffman_table(d, 1, c->ac_table, tables, prepared))) {
      return false;
    }
  }
  for (int32_t i = 0; i < scan.count; ++i) scan.components[i]->dc_predictor = 0;
  d.bit_buffer = 0;
  d.bit_count = 0;
  return true;
}

void ArithmeticData::start_interval(const ScanHeader& scan) {
  platform_fill(&stats, sizeof stats);
  for (int32_t i = 0; i < scan.count; ++i) {
    scan.components[i]->dc_predictor = 0;
    scan.components[i]->dc_context = 0;
  }
}

void ArithmeticData::restart(DecoderState& d, const ScanHeader& scan, int32_t index) {
  const uint8_t* marker = next_marker(reader.cursor, d.input_end);
  if (marker == nullptr || marker[1] != (0xD0 | index)) {
    fault_ = marker == nullptr ? Fault::data_cut_short : Fault::restart_out_of_order;
    reader.failed = true;
    return;
  }
  arithmetic_start(reader, marker + 2, d.input_end);
  start_interval(scan);
}

void ArithmeticData::finish(DecoderState& d) {
  const uint8_t* marker = next_marker(reader.cursor, d.input_end);
  if (reader.failed || marker == nullptr) {
    const Fault data_fault = marker == nullptr ? Fault::data_cut_short : Fault::bad_arithmetic_data;
    fail(d, fault_ != Fault::none ? fault_ : data_fault, d.scan_count);
    return;
  }
  d.cursor = marker;
  d.bytes_left = static_cast<int32_t>(d.input_end - marker);
}

void decode_scan(DecoderState& d) {
  ++d.scan_count;
  // Without a frame there is nothing to decode into, and no picture to report.
  if (!d.frame_seen) {
    fail(d, Fault::no_frame);
    return;
  }
  ScanHeader scan{};
  if (!read_scan_header(d, scan)) return;
  // A progressive script was counted at the frame already, as far as the file could be walked;
  // this holds whatever the walk saw.
  d.blocks_visited += scan_blocks(d, scan);
  if (d.scan_count > max_scans || (d.progressive && d.blocks_visited > d.visit_limit)) {
    fail(d, Fault::too_many_scans);
    return;
  }
  if (d.progressive) {
    if (check_progressive_scan(d, scan)) decode_progressive_scan(d, scan);
    return;
  }
  if (!check_sequential_scan(d, scan)) return;
  platform_fill(d.coefficients, sizeof d.coefficients);
  if (d.arithmetic) {
    SequentialArithmetic coding(d, scan);
    walk_scan(d, scan, coding);
    coding.finish(d);
  } else {
    ScanTables tables;
    if (!start_huffman_scan(d, scan, true, true, tables)) return;
    SequentialHuffman coding(d, scan, tables);
    walk_scan(d, scan, coding);
    coding.finish(d);
  }
  if (d.status != status_running) return;
  for (int32_t i = 0; i < scan.count; ++i) scan.components[i]->coded = true;
  d.components_coded += scan.count;
  if (d.components_coded == d.component_count) {
    d.status = status_scan_done;
    return;
  }
  // The marker loop goes on from where the data ended: the reader stopped on the marker that
  // ends it, or before any bytes it did not need.
  d.bytes_left = static_cast<int32_t>(d.input_end - d.cursor);
}

void decode_block(DecoderState& d, ComponentPlane* component, uint8_t* dest) {
  if (d.huffman_lookup[0][component->dc_table] == nullptr ||
      d.huffman_lookup[1][component->ac_table] == nullptr) {
    fail(d, Fault::missing_table, d.scan_count);
    return;
  }
  ScanTables tables;
  build_fast_table(d.huffman_lookup[0][component->dc_table], tables.fast[0][component->dc_table]);
  build_fast_table(d.huffman_lookup[1][component->ac_table], tables.fast[1][component->ac_table]);
  BitReader r = load_bit_reader(d);
  platform_fill(d.coefficients, sizeof d.coefficients);
  const uint32_t rows_used = read_coefficients(
      d.coefficients, r, block_tables(d, tables, *component), component->dc_predictor);
  if (!r.failed) transform_block(d.coefficients, rows_used, dest, component->stride);
  store_bit_reader(d, r);
}
