// T.81 G.1.2, G.2: the progressive process. Each scan adds a band of coefficients, or one more
// bit of them, to the coefficient store; once the frame ends, rendering turns the store into
// samples one MCU row at a time through the same inverse DCT as sequential frames.

#include "jpeg/progressive.h"

#include <bit>
#include <cstdint>
#include <cstring>

#include "common/integer.h"
#include "jpeg/arithmetic.h"
#include "jpeg/bit_reader.h"
#include "jpeg/decoder.h"
#include "jpeg/huffman.h"
#include "jpeg/scan_walk.h"
#include "kernels/coefficients.h"
#include "kernels/kernel_set.h"

namespace {

enum class Pass { dc_first, dc_refine, ac_first, ac_refine };

Pass pass_of(const ScanHeader& scan) {
  if (scan.ss == 0) return scan.ah == 0 ? Pass::dc_first : Pass::dc_refine;
  return scan.ah == 0 ? Pass::ac_first : Pass::ac_refine;
}

int16_t* block_of(ComponentPlane& c, int32_t bx, int32_t by) {
  return c.coefficients + (int64_t{by} * c.blocks_across + bx) * 64;
}

// A value placed at bit position `al`, in the 16 bits a coefficient keeps.
int16_t shifted(int32_t value, int32_t al) {
  return static_cast<int16_t>(static_cast<uint32_t>(value) << al);
}

// T.81 G.1.2.3: one more bit of a coefficient already non-zero, away from zero.
// The bits are as good as random: chosen by masks, not branches.
inline void refine(int16_t& coefficient, uint32_t bit, int32_t p1) {
  const int32_t c = coefficient;
  const int32_t wanted = -static_cast<int32_t>(bit & static_cast<uint32_t>((c & p1) == 0));
  const int32_t sign = c >> 31;
  const int32_t away = (p1 ^ sign) - sign;  // p1, or -p1 for a negative coefficient
  coefficient = static_cast<int16_t>(c + (away & wanted));
}

// Progressive scans of Huffman codes (T.81 G.1.2), one class for each pass, so that a scan's
// walk runs the pass's code alone.
template <Pass pass>
class ProgressiveHuffman {
 public:
  ProgressiveHuffman(const DecoderState& d, const ScanHeader& scan, const ScanTables& tables)
      : reader_(load_bit_reader(d)),
        interval_start_(d.cursor),
        tables_(tables),
        ss_(scan.ss),
        se_(scan.se),
        al_(scan.al) {}

  bool failed() const { return reader_.fault != Fault::none; }
  Fault fault() const { return reader_.fault; }
  const uint8_t* interval_start() const { return interval_start_; }
  // What a cut scan gave the blocks before its fault stands.
  void drop(ComponentPlane&, int32_t, int32_t) {}

  void resume(DecoderState& d, const ScanHeader& scan, const uint8_t* data) {
    reader_ = bit_reader_over(data, static_cast<int32_t>(d.input_end - data));
    interval_start_ = data;
    eob_run_ = 0;
    for (int32_t i = 0; i < scan.count; ++i) scan.components[i]->dc_predictor = 0;
  }

  void stop(DecoderState& d, const uint8_t* at) {
    reader_ = bit_reader_over(at, static_cast<int32_t>(d.input_end - at));
  }

  void block(DecoderState& d, ComponentPlane& c, int32_t bx, int32_t by) {
    // Most blocks of an AC scan lie in a run that ended with an earlier block's end code.
    if constexpr (pass == Pass::ac_first) {
      if (eob_run_ > 0) {
        --eob_run_;
        return;
      }
    }
    int16_t* block = block_of(c, bx, by);
    BitReader r = reader_;
    if constexpr (pass == Pass::dc_first) {
      const HuffmanValue dc =
          decode_huffman(r, tables_.dc[c.dc_table], d.huffman_lookup[0][c.dc_table]);
      c.dc_predictor = wrap_add(c.dc_predictor, dc.value);
      block[0] = shifted(c.dc_predictor, al_);
    } else if constexpr (pass == Pass::dc_refine) {
      if (get_bits(r, 1) != 0) block[0] = static_cast<int16_t>(block[0] | 1 << al_);
    } else if constexpr (pass == Pass::ac_first) {
      ac_first(d, c, r, block);
    } else {
      ac_refine(d, c, r, block);
    }
    reader_ = r;
  }

  void restart(DecoderState&, const ScanHeader& scan, int32_t index) {
    read_restart_marker(reader_, index);
    eob_run_ = 0;
    for (int32_t i = 0; i < scan.count; ++i) scan.components[i]->dc_predictor = 0;
    if (reader_.fault == Fault::none) interval_start_ = reader_.cursor;
  }

  void finish(DecoderState& d) const { store_bit_reader(d, reader_); }

 private:
  // T.81 G.1.2.2: a band's first values, up to an end code that may end later blocks' too.
  void ac_first(const DecoderState& d, const ComponentPlane& c, BitReader& r, int16_t* block) {
    const FastEntry* fast = tables_.progressive_ac[c.ac_table];
    const HuffmanEntry* full = d.huffman_lookup[1][c.ac_table];
    for (int32_t k = ss_; k <= se_;) {
      const HuffmanValue v = decode_huffman(r, fast, full);
      if (!v.found) return;
      const int32_t run = v.symbol >> 4;
      if ((v.symbol & 0x0F) != 0) {
        k += run;
        if (k > se_) {
          reader_fail(r, Fault::bad_coefficients);
          return;
        }
        block[k++] = shifted(v.value, al_);
      } else if (run == 15) {
        k += 16;
      } else {
        // This block and 2^run - 1 + the next `run` bits more end here.
        eob_run_ = (1 << run) - 1 + static_cast<int32_t>(run == 0 ? 0 : get_bits(r, run));
        return;
      }
    }
  }

  // T.81 G.1.2.3: one more bit of the band: a correction bit for each coefficient already
  // non-zero as the codes pass it, and new coefficients of one bit.
  void ac_refine(const DecoderState& d, const ComponentPlane& c, BitReader& r, int16_t* block) {
    const int32_t p1 = 1 << al_;
    int32_t k = ss_;
    if (eob_run_ == 0) {
      const FastEntry* fast = tables_.progressive_ac[c.ac_table];
      const HuffmanEntry* full = d.huffman_lookup[1][c.ac_table];
      for (; k <= se_; ++k) {
        const HuffmanValue v = decode_huffman(r, fast, full);
        if (!v.found) return;
        int32_t zeros = v.symbol >> 4;  // coefficients with no value yet to pass over
        const int32_t size = v.symbol & 0x0F;
        int32_t value = 0;
        if (size == 1) {
          value = v.value > 0 ? p1 : -p1;
        } else if (size != 0) {
          reader_fail(r, Fault::bad_coefficients);
          return;
        } else if (zeros != 15) {
          // The end of this block's band and of 2^zeros - 1 + the next bits more blocks'.
          eob_run_ = (1 << zeros) + static_cast<int32_t>(zeros == 0 ? 0 : get_bits(r, zeros));
          break;
        }
        for (; k <= se_; ++k) {
          int16_t& coefficient = block[k];
          if (coefficient != 0) {
            refine(coefficient, get_bits(r, 1), p1);
          } else if (zeros-- == 0) {
            break;
          }
        }
        if (value != 0) {
          if (k > se_) {
            reader_fail(r, Fault::bad_coefficients);
            return;
          }
          block[k] = static_cast<int16_t>(value);
        }
      }
    }
    if (eob_run_ > 0) {
      // Only the coefficients with a value get a bit: walk them alone, their bits read up to
      // sixteen at once, the first the highest. Every bit is read, so the reader meets what
      // it meets as one bit at a time would.
      uint64_t remaining = nonzero_mask(block) >> k << k;
      if (se_ < 63) remaining &= ~(~uint64_t{0} << (se_ + 1));
      while (remaining != 0) {
        const int32_t count = std::popcount(remaining) < 16 ? std::popcount(remaining) : 16;
        const uint32_t bits = get_bits(r, count);
        for (int32_t i = count - 1; i >= 0; --i, remaining &= remaining - 1) {
          refine(block[std::countr_zero(remaining)], bits >> i & 1, p1);
        }
      }
      --eob_run_;
    }
  }

  BitReader reader_;
  const uint8_t* interval_start_;
  const ScanTables& tables_;
  int32_t ss_;
  int32_t se_;
  int32_t al_;
  int32_t eob_run_ = 0;  // blocks left whose band ended with an earlier block's end code
};

// Progressive scans of arithmetic-coded decisions (T.81 G.2).
class ProgressiveArithmetic : public ArithmeticScan {
 public:
  ProgressiveArithmetic(const DecoderState& d, const ScanHeader& scan)
      : ArithmeticScan(d, scan), pass_(pass_of(scan)), ss_(scan.ss), se_(scan.se), al_(scan.al) {}

  void drop(ComponentPlane&, int32_t, int32_t) {}

  void block(DecoderState& d, ComponentPlane& c, int32_t bx, int32_t by) {
    int16_t* block = block_of(c, bx, by);
    switch (pass_) {
      case Pass::dc_first: {
        const int32_t difference =
            arithmetic_dc_difference(reader, stats.dc[c.dc_table], c.dc_context,
                                     d.dc_lower[c.dc_table], d.dc_upper[c.dc_table]);
        c.dc_predictor = wrap_add(c.dc_predictor, difference);
        block[0] = shifted(c.dc_predictor, al_);
        break;
      }
      case Pass::dc_refine:
        if (arithmetic_decode_fixed(reader) != 0)
          block[0] = static_cast<int16_t>(block[0] | 1 << al_);
        break;
      case Pass::ac_first:
        arithmetic_ac_first(reader, stats.ac[c.ac_table], d.ac_kx[c.ac_table], ss_, se_, al_,
                            block);
        break;
      case Pass::ac_refine:
        arithmetic_ac_refine(reader, stats.ac[c.ac_table], ss_, se_, al_, block);
        break;
    }
  }

 private:
  Pass pass_;
  int32_t ss_;
  int32_t se_;
  int32_t al_;
};

template <Pass pass>
void run_huffman_scan(DecoderState& d, const ScanHeader& scan, const ScanTables& tables) {
  ProgressiveHuffman<pass> coding(d, scan, tables);
  walk_scan(d, scan, coding);
  coding.finish(d);
}

}  // namespace

void decode_progressive_scan(DecoderState& d, const ScanHeader& scan) {
  if (d.arithmetic) {
    ProgressiveArithmetic coding(d, scan);
    walk_scan(d, scan, coding);
    coding.finish(d);
    return;
  }
  // Only the passes that decode codes need tables: DC first scans the DC ones, AC scans the AC.
  ScanTables tables;
  const Pass pass = pass_of(scan);
  if (!start_huffman_scan(d, scan, pass == Pass::dc_first, scan.ss > 0, tables)) return;
  switch (pass) {
    case Pass::dc_first:
      run_huffman_scan<Pass::dc_first>(d, scan, tables);
      break;
    case Pass::dc_refine:
      run_huffman_scan<Pass::dc_refine>(d, scan, tables);
      break;
    case Pass::ac_first:
      run_huffman_scan<Pass::ac_first>(d, scan, tables);
      break;
    case Pass::ac_refine:
      run_huffman_scan<Pass::ac_refine>(d, scan, tables);
      break;
  }
  // The marker loop goes on from where the data ended.
  if (!failed(d)) d.bytes_left = static_cast<int32_t>(d.input_end - d.cursor);
}

void fill_progressive_strip(const DecoderState& d, int32_t row, int32_t first_x, int32_t end_x,
                            StripPlanes* planes) {
  const KernelSet& k = kernels();
  int32_t* coefficients = planes->coefficients;  // all zero between blocks
  const int32_t h_max = d.mcu_width / 8;
  for (int32_t i = 0; i < d.component_count; ++i) {
    const ComponentPlane& c = d.components[i];
    // A plane sample stands for `across` picture columns.
    const int32_t across = h_max / c.h_samp;
    const int32_t first_block = first_x / across / 8;
    const int32_t end_block = end_x <= first_x ? first_block : ((end_x - 1) / across) / 8 + 1;
    for (int32_t v = 0; v < c.v_samp; ++v) {
      const int16_t* block =
          c.coefficients + (int64_t{row * c.v_samp + v} * c.blocks_across + first_block) * 64;
      uint8_t* dest = planes->samples[i] + 8 * v * c.stride + 8 * first_block;
      for (int32_t bx = first_block; bx < end_block && bx < c.blocks_across;
           ++bx, block += 64, dest += 8) {
        k.transform_stored(block, c.quant, coefficients, dest, c.stride);
      }
    }
  }
  planes->row = row;
  planes->first_x = first_x;
  planes->end_x = end_x;
}
