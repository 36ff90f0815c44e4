#pragma once
// The arithmetic decoder of T.81 Annex D and the block procedures of the arithmetic-coded
// processes: sequential (T.81 F.2.4) and progressive first and refinement scans (T.81 G.2 with
// the models of G.1.3). The scan loop owns restarts, DC predictions and where coefficients go;
// these read the decisions of one block. Nothing here allocates or keeps state of its own.

#include <cstdint>

#include "jpeg/decoder.h"

// The decoder registers (T.81 D.2.3) and the cursor over the entropy-coded data.
struct ArithmeticReader {
  const uint8_t* cursor;  // next byte of entropy-coded data
  const uint8_t* end;     // end of the whole input: never read at or past it
  uint64_t c;             // code register: Cx in bits 48..63, the next data bits below
  uint32_t a;             // probability interval, 0x8000..0x10000 between decisions
  int32_t ct;             // data bits held below Cx, 0..48; the bits below them are zero
  bool at_marker;  // Byte_in met 0xFF followed by a byte other than 0x00: from here zeros are
                   // fed (T.81 D.1.8, Figure D.21), and `cursor` stays ON that 0xFF
  // The first fault: data_cut_short when the input ended inside the data with no marker (zeros
  // are fed on), bad_arithmetic_data when the decisions describe no valid block.
  Fault fault;
};

constexpr int32_t arithmetic_dc_bins = 64;   // T.81 Table F.4 uses 49
constexpr int32_t arithmetic_ac_bins = 256;  // T.81 Table F.5 uses 245, Table G.2 189

// One byte per bin: bits 0..6 the state index of T.81 Table D.3, bit 7 the sense of the MPS.
// All zero is the initial state (index 0, MPS 0) of T.81 D.2.7. Any byte value is safe.
struct ArithmeticStats {
  uint8_t dc[4][arithmetic_dc_bins];  // per DC conditioning table slot 0..3
  uint8_t ac[4][arithmetic_ac_bins];  // per AC conditioning table slot 0..3
};

// T.81 D.2.7 Initdec (without the statistics, which the caller clears): reads two bytes.
void arithmetic_start(ArithmeticReader& r, const uint8_t* cursor, const uint8_t* end);

// One decision with the fixed estimate Qe = 0x5A1D, MPS 0 (T.81 F.1.4.4.2 and G.1.3): the
// signs of AC coefficients and, in progressive scans, the DC correction bits (the next bit of
// a DC refinement scan).
int32_t arithmetic_decode_fixed(ArithmeticReader& r);

// `block` below is 64 quantised coefficients in zig-zag order, as the coefficient store keeps
// them. Values wrap to 16 bits. Bad data sets the fault and ends the block; no index ever leaves
// the block, the band or the bins.

// T.81 F.2.4.1: the DC difference. `dc_context` is the component's conditioning state (T.81
// F.1.4.4.1.2, from the previous difference; 0 at the start of a scan and of each restart
// interval), updated here. `lower` and `upper` are L and U of the DC table (T.81 B.2.4.3,
// 0 <= L <= U <= 15; default 0 and 1). A progressive first DC scan shifts the sum left by Al.
int32_t arithmetic_dc_difference(ArithmeticReader& r, uint8_t* dc_bins, int32_t& dc_context,
                                 int32_t lower, int32_t upper);

// T.81 F.2.4.2, G.1.3.2: the AC coefficients at zig-zag positions ss..se (1 <= ss <= se <= 63;
// sequential: 1..63 and al 0), each value v stored as v << al. The other positions are left as
// they are. `kx` is Kx of the AC table (T.81 B.2.4.3, default 5).
void arithmetic_ac_first(ArithmeticReader& r, uint8_t* ac_bins, int32_t kx, int32_t ss, int32_t se,
                         int32_t al, int16_t* block);

// T.81 F.2.4.2: a sequential block's AC coefficients (zig-zag positions 1..63), each multiplied
// by its quantiser (`quant` in zig-zag order) into `coefficients` (column by column, as the
// inverse DCT takes them; zero where no value comes). Returns the rows that got a value (bit v
// for row v).
uint32_t arithmetic_ac_sequential(ArithmeticReader& r, uint8_t* ac_bins, int32_t kx,
                                  const uint16_t* quant, int32_t* coefficients);

// T.81 G.1.3.3: one more bit, at position al, of the coefficients at ss..se: a correction bit
// for those already nonzero, and new coefficients of +-(1 << al).
void arithmetic_ac_refine(ArithmeticReader& r, uint8_t* ac_bins, int32_t ss, int32_t se, int32_t al,
                          int16_t* block);
