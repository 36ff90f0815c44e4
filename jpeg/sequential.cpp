// T.81 F.2: the sequential processes. A scan codes whole components, each block decoded straight
// into its plane: Huffman codes (F.2.2) or arithmetic-coded decisions (F.2.4).

#include "jpeg/sequential.h"

#include <cstdint>
#include <cstring>

#include "common/integer.h"
#include "jpeg/arithmetic.h"
#include "jpeg/bit_reader.h"
#include "jpeg/decoder.h"
#include "jpeg/huffman.h"
#include "jpeg/scan_walk.h"
#include "kernels/kernel_set.h"

namespace {

BlockTables block_tables(const DecoderState& d, const ScanTables& tables, const ComponentPlane& c) {
  return block_tables_of(tables.dc[c.dc_table], d.huffman_lookup[0][c.dc_table],
                         tables.ac[c.ac_table], d.huffman_lookup[1][c.ac_table],
                         d.quant_tables[c.quant_index]);
}

uint8_t* block_samples(const ComponentPlane& c, int32_t bx, int32_t by) {
  return c.samples + 8 * ((by & c.ring_mask) * c.stride + bx);
}

// A block salvage gives up: all its coefficients zero, so all its samples 128.
void drop_block(const ComponentPlane& c, int32_t bx, int32_t by) {
  uint8_t* samples = block_samples(c, bx, by);
  for (int32_t y = 0; y < 8; ++y) memset(samples + y * c.stride, 128, 8);
}

// A sequential scan of Huffman codes, each block decoded into its plane.
class SequentialHuffman {
 public:
  SequentialHuffman(const DecoderState& d, const ScanHeader& scan, const ScanTables& tables)
      : reader_(load_bit_reader(d)), interval_start_(d.cursor), kernels_(kernels()) {
    for (int32_t i = 0; i < scan.count; ++i) {
      const ComponentPlane& c = *scan.components[i];
      by_component_[&c - d.components] = block_tables(d, tables, c);
    }
  }

  bool failed() const { return reader_.fault != Fault::none; }
  Fault fault() const { return reader_.fault; }
  const uint8_t* interval_start() const { return interval_start_; }

  // The reader is held in locals for the block: plane stores (bytes, which may alias anything)
  // would otherwise send it back to memory after each one.
  void block(DecoderState& d, ComponentPlane& c, int32_t bx, int32_t by) {
    BitReader r = reader_;
    decode_block(r, by_component_[&c - d.components], kernels_, c.dc_predictor, d.coefficients,
                 block_samples(c, bx, by), c.stride);
    reader_ = r;
  }

  void restart(DecoderState&, const ScanHeader& scan, int32_t index) {
    read_restart_marker(reader_, index);
    for (int32_t i = 0; i < scan.count; ++i) scan.components[i]->dc_predictor = 0;
    // A marker read well leaves nothing in hand: its bytes were the last fetched.
    if (reader_.fault == Fault::none) interval_start_ = reader_.cursor;
  }

  void drop(ComponentPlane& c, int32_t bx, int32_t by) { drop_block(c, bx, by); }

  void resume(DecoderState& d, const ScanHeader& scan, const uint8_t* data) {
    reader_ = bit_reader_over(data, static_cast<int32_t>(d.input_end - data));
    interval_start_ = data;
    for (int32_t i = 0; i < scan.count; ++i) scan.components[i]->dc_predictor = 0;
  }

  void stop(DecoderState& d, const uint8_t* at) {
    reader_ = bit_reader_over(at, static_cast<int32_t>(d.input_end - at));
  }

  void finish(DecoderState& d) const { store_bit_reader(d, reader_); }

 private:
  BitReader reader_;
  const uint8_t* interval_start_;
  const KernelSet& kernels_;
  BlockTables by_component_[max_components];
};

// A sequential scan of arithmetic-coded decisions (T.81 F.2.4), each block decoded into its
// plane.
class SequentialArithmetic : public ArithmeticScan {
 public:
  SequentialArithmetic(const DecoderState& d, const ScanHeader& scan)
      : ArithmeticScan(d, scan), kernels_(kernels()) {}

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
    // After a fault the scan stops; the coefficients are left zero for whatever comes next.
    if (failed()) {
      memset(coefficients, 0, sizeof d.coefficients);
      return;
    }
    kernels_.transform(coefficients, rows_used, block_samples(c, bx, by), c.stride);
  }

  void drop(ComponentPlane& c, int32_t bx, int32_t by) { drop_block(c, bx, by); }

 private:
  const KernelSet& kernels_;
};

}  // namespace

void decode_sequential_scan(DecoderState& d, const ScanHeader& scan, bool final) {
  memset(d.coefficients, 0, sizeof d.coefficients);
  if (d.arithmetic) {
    SequentialArithmetic coding(d, scan);
    walk_scan(d, scan, coding, final);
    coding.finish(d);
    return;
  }
  ScanTables tables;
  if (!start_huffman_scan(d, scan, true, true, tables)) return;
  SequentialHuffman coding(d, scan, tables);
  walk_scan(d, scan, coding, final);
  coding.finish(d);
}
