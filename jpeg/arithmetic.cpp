// T.81 D.2: arithmetic decoding (Decode, Renorm_d, Byte_in, Initdec) with the estimation
// table D.3; T.81 F.2.4: decoding of DC and AC coefficients with the models of F.1.4.4;
// T.81 G.1.3 and G.2: the progressive first and refinement scans.

#include "jpeg/arithmetic.h"

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "common/zigzag.h"
#include "jpeg/decoder.h"
#include "jpeg/marker_codes.h"

namespace {

struct QeState {
  uint16_t qe;
  uint8_t next_lps;
  uint8_t next_mps;
  uint8_t switch_mps;
};

// T.81 Table D.3: Qe, Next_Index_LPS, Next_Index_MPS, Switch_MPS for indexes 0..112.
constexpr QeState qe_states[113] = {
    {0x5A1D, 1, 1, 1},     {0x2586, 14, 2, 0},    {0x1114, 16, 3, 0},    {0x080B, 18, 4, 0},
    {0x03D8, 20, 5, 0},    {0x01DA, 23, 6, 0},    {0x00E5, 25, 7, 0},    {0x006F, 28, 8, 0},
    {0x0036, 30, 9, 0},    {0x001A, 33, 10, 0},   {0x000D, 35, 11, 0},   {0x0006, 9, 12, 0},
    {0x0003, 10, 13, 0},   {0x0001, 12, 13, 0},   {0x5A7F, 15, 15, 1},   {0x3F25, 36, 16, 0},
    {0x2CF2, 38, 17, 0},   {0x207C, 39, 18, 0},   {0x17B9, 40, 19, 0},   {0x1182, 42, 20, 0},
    {0x0CEF, 43, 21, 0},   {0x09A1, 45, 22, 0},   {0x072F, 46, 23, 0},   {0x055C, 48, 24, 0},
    {0x0406, 49, 25, 0},   {0x0303, 51, 26, 0},   {0x0240, 52, 27, 0},   {0x01B1, 54, 28, 0},
    {0x0144, 56, 29, 0},   {0x00F5, 57, 30, 0},   {0x00B7, 59, 31, 0},   {0x008A, 60, 32, 0},
    {0x0068, 62, 33, 0},   {0x004E, 63, 34, 0},   {0x003B, 32, 35, 0},   {0x002C, 33, 9, 0},
    {0x5AE1, 37, 37, 1},   {0x484C, 64, 38, 0},   {0x3A0D, 65, 39, 0},   {0x2EF1, 67, 40, 0},
    {0x261F, 68, 41, 0},   {0x1F33, 69, 42, 0},   {0x19A8, 70, 43, 0},   {0x1518, 72, 44, 0},
    {0x1177, 73, 45, 0},   {0x0E74, 74, 46, 0},   {0x0BFB, 75, 47, 0},   {0x09F8, 77, 48, 0},
    {0x0861, 78, 49, 0},   {0x0706, 79, 50, 0},   {0x05CD, 48, 51, 0},   {0x04DE, 50, 52, 0},
    {0x040F, 50, 53, 0},   {0x0363, 51, 54, 0},   {0x02D4, 52, 55, 0},   {0x025C, 53, 56, 0},
    {0x01F8, 54, 57, 0},   {0x01A4, 55, 58, 0},   {0x0160, 56, 59, 0},   {0x0125, 57, 60, 0},
    {0x00F6, 58, 61, 0},   {0x00CB, 59, 62, 0},   {0x00AB, 61, 63, 0},   {0x008F, 61, 32, 0},
    {0x5B12, 65, 65, 1},   {0x4D04, 80, 66, 0},   {0x412C, 81, 67, 0},   {0x37D8, 82, 68, 0},
    {0x2FE8, 83, 69, 0},   {0x293C, 84, 70, 0},   {0x2379, 86, 71, 0},   {0x1EDF, 87, 72, 0},
    {0x1AA9, 87, 73, 0},   {0x174E, 72, 74, 0},   {0x1424, 72, 75, 0},   {0x119C, 74, 76, 0},
    {0x0F6B, 74, 77, 0},   {0x0D51, 75, 78, 0},   {0x0BB6, 77, 79, 0},   {0x0A40, 77, 48, 0},
    {0x5832, 80, 81, 1},   {0x4D1C, 88, 82, 0},   {0x438E, 89, 83, 0},   {0x3BDD, 90, 84, 0},
    {0x34EE, 91, 85, 0},   {0x2EAE, 92, 86, 0},   {0x299A, 93, 87, 0},   {0x2516, 86, 71, 0},
    {0x5570, 88, 89, 1},   {0x4CA9, 95, 90, 0},   {0x44D9, 96, 91, 0},   {0x3E22, 97, 92, 0},
    {0x3824, 99, 93, 0},   {0x32B4, 99, 94, 0},   {0x2E17, 93, 86, 0},   {0x56A8, 95, 96, 1},
    {0x4F46, 101, 97, 0},  {0x47E5, 102, 98, 0},  {0x41CF, 103, 99, 0},  {0x3C3D, 104, 100, 0},
    {0x375E, 99, 93, 0},   {0x5231, 105, 102, 0}, {0x4C0F, 106, 103, 0}, {0x4639, 107, 104, 0},
    {0x415E, 103, 99, 0},  {0x5627, 105, 106, 1}, {0x50E7, 108, 107, 0}, {0x4B85, 109, 103, 0},
    {0x5597, 110, 109, 0}, {0x504F, 111, 107, 0}, {0x5A10, 110, 111, 1}, {0x5522, 112, 109, 0},
    {0x59EB, 112, 111, 1},
};

// What a bin byte (index | MPS << 7) decodes with, and the bin byte after an LPS or an MPS
// renormalisation: Estimate_Qe(S)_after_LPS and _after_MPS of T.81 D.1.5 folded into one load.
struct BinStep {
  uint16_t qe;
  uint8_t after_lps;
  uint8_t after_mps;
};

constexpr std::array<BinStep, 256> make_bin_steps() {
  std::array<BinStep, 256> steps{};
  for (int32_t bin = 0; bin < 256; ++bin) {
    // Indexes 113..127 are never produced; as state 0 they keep every byte a valid bin.
    const int32_t index = (bin & 0x7F) < 113 ? bin & 0x7F : 0;
    const int32_t mps = bin >> 7;
    const QeState& state = qe_states[index];
    steps[static_cast<size_t>(bin)] = {
        state.qe, static_cast<uint8_t>(state.next_lps | (mps ^ state.switch_mps) << 7),
        static_cast<uint8_t>(state.next_mps | mps << 7)};
  }
  return steps;
}

// The largest Qe leaves A - Qe at 0x2000 or more, as A >= 0x8000 before each decision: the MPS
// half renormalises by at most two shifts.
constexpr bool qe_below_0x6000() {
  for (const QeState& state : qe_states) {
    if (state.qe >= 0x6000) return false;
  }
  return true;
}
static_assert(qe_below_0x6000());

constexpr std::array<BinStep, 256> bin_steps = make_bin_steps();
static_assert(bin_steps[0].qe == 0x5A1D && bin_steps[0].after_lps == 0x81);
static_assert(bin_steps[0x80 | 112].after_lps == 112 && bin_steps[0x80 | 13].qe == 0x0001);

// The renormalisation of A = Qe, for each bin byte: Qe's leading zeros in 16 bits.
constexpr std::array<uint8_t, 256> lps_shifts = [] {
  std::array<uint8_t, 256> shifts{};
  for (size_t bin = 0; bin < 256; ++bin) {
    shifts[bin] = static_cast<uint8_t>(std::countl_zero(uint32_t{bin_steps[bin].qe}) - 16);
  }
  return shifts;
}();
static_assert(lps_shifts[0] == 1 && lps_shifts[13] == 15);  // Qe 0x5A1D and 0x0001

constexpr uint32_t fixed_qe = 0x5A1D;  // T.81 F.1.4.4.2: signs and correction bits, MPS 0

constexpr uint8_t fetch_marker = 1;
constexpr uint8_t fetch_ended = 2;

struct Fetched {
  const uint8_t* cursor;
  uint32_t byte;
  uint8_t event;  // 0, fetch_marker or fetch_ended
};

// T.81 D.2.6 Byte_in and Unstuff_0 for the byte at `cursor`: a data byte, or zeros from a
// marker on (the cursor stays on it: every later fetch finds it again) or at the end of the
// input (a lone 0xFF there too).
inline Fetched fetch_byte(const uint8_t* cursor, const uint8_t* end) {
  if (cursor < end && *cursor != marker::fill) return {cursor + 1, *cursor, 0};
  if (end - cursor < 2) return {cursor, 0, fetch_ended};
  if (cursor[1] == marker::stuffed) return {cursor + 2, 0xFF, 0};
  return {cursor, 0, fetch_marker};
}

inline void reader_fail(ArithmeticReader& s, Fault fault) {
  if (s.fault == Fault::none) s.fault = fault;
}

struct Refilled {
  uint64_t c;
  int32_t ct;
};

// Bytes fetched below the `ct` data bits held, as many as fit, when a renormalisation needs
// `needed` of them and fewer are held. Plain bytes come eight at a time when none is 0xFF. The
// end of the input is a fault only once the decoder needs bits beyond it, where a byte-at-a-time
// Byte_in would have met it: so the fault falls in the same block whatever was fetched ahead.
// Takes and returns values so that the decoder's registers stay in the caller's registers.
[[gnu::noinline]] Refilled refill(ArithmeticReader& s, uint64_t c, int32_t ct, int32_t needed) {
  const uint8_t* cursor = s.cursor;
  const uint8_t* const end = s.end;
  if (end - cursor >= 8) {
    uint64_t word;
    memcpy(&word, cursor, sizeof word);
    if constexpr (std::endian::native == std::endian::little) word = __builtin_bswap64(word);
    const uint64_t ones = 0x0101010101010101u;
    const uint64_t inverted = ~word;
    if (((inverted - ones) & ~inverted & (ones << 7)) == 0) {
      const int32_t take = (48 - ct) >> 3;  // 4..6, as ct < needed <= 15
      c |= word >> (64 - 8 * take) << (48 - ct - 8 * take);
      s.cursor = cursor + take;
      return {c, ct + 8 * take};
    }
  }
  while (ct <= 40) {
    const Fetched f = fetch_byte(cursor, end);
    if (f.event != 0) {
      if (f.event == fetch_marker) {
        s.at_marker = true;
      } else if (ct >= needed) {
        break;  // the bits held still do; the end is met again next time
      } else {
        reader_fail(s, Fault::data_cut_short);
      }
      ct = 48;  // zeros, which the bits below those held are already
      break;
    }
    cursor = f.cursor;
    c |= uint64_t{f.byte} << (40 - ct);
    ct += 8;
  }
  s.cursor = cursor;
  return {c, ct};
}

// T.81 D.2.4 Decode(S) with Cond_LPS_exchange, Cond_MPS_exchange and Renorm_d (Figures D.16 to
// D.18), without branches on the decision: one decision with the adaptive bin `bin`, which it
// updates. After the decision a is 1..0xFFFF, so the renormalisation shifts 0 to 15 times, all
// at once; Cx < A holds, so the shifts lose no bit of c. In the MPS half with a >= 0x8000 there
// is no renormalisation and Qe < 0x8000 <= a: no exchange, and the bin stays.
inline int32_t decode_bin(ArithmeticReader& s, uint8_t& bin) {
  const uint32_t state = bin;
  const BinStep step = bin_steps[state];
  const uint32_t qe = step.qe;
  const uint32_t a_mps = s.a - qe;
  const uint64_t c = s.c;
  // Selections by masks, which compilers keep free of branches.
  const uint32_t lps_half = (c >> 48) >= a_mps ? ~0u : 0u;
  const uint32_t lps = lps_half ^ (a_mps < qe ? ~0u : 0u);  // the exchanges
  const uint32_t a = a_mps ^ ((a_mps ^ qe) & lps_half);
  const uint64_t c_left = c - (uint64_t{a_mps & lps_half} << 48);
  const uint32_t after = step.after_mps ^ ((step.after_mps ^ step.after_lps) & lps);
  const uint32_t moves = a < 0x8000 ? ~0u : 0u;
  bin = static_cast<uint8_t>(state ^ ((state ^ after) & moves));
  // The renormalisation's shifts, from the table in the LPS half and by two comparisons in
  // the other, rather than counted on the decoder's chain of dependent steps.
  const uint32_t mps_shift =
      static_cast<uint32_t>(a_mps < 0x8000) + static_cast<uint32_t>(a_mps < 0x4000);
  const uint32_t lps_shift = lps_shifts[state];
  const auto shift = static_cast<int32_t>(mps_shift ^ ((mps_shift ^ lps_shift) & lps_half));
  Refilled held{c_left, s.ct};
  if (shift > held.ct) [[unlikely]]
    held = refill(s, held.c, held.ct, shift);
  s.c = held.c << shift;
  s.a = a << shift;
  s.ct = held.ct - shift;
  return static_cast<int32_t>((state >> 7) ^ (lps & 1));
}

// One decision with the fixed estimate Qe = 0x5A1D and MPS 0: that of a bin in state 0, whose
// update is not kept.
inline int32_t decode_fixed(ArithmeticReader& s) {
  static_assert(bin_steps[0].qe == fixed_qe);
  uint8_t fixed_bin = 0;
  return decode_bin(s, fixed_bin);
}

// T.81 F.2.4.3.1.2 and F.2.4.3.1.3 (Figures F.23, F.24): |V| once V is known to be nonzero and
// its sign decoded. `first` is the bin of Sz < 1, `x1` of Sz < 2, and X2..X15 follow from `x2`
// with M2..M15 14 bins further. Returns 0 for Sz >= 2^15, which no table has a bin for.
inline int32_t decode_magnitude(ArithmeticReader& s, uint8_t* bins, int32_t first, int32_t x1,
                                int32_t x2) {
  if (decode_bin(s, bins[first]) == 0) return 1;
  if (decode_bin(s, bins[x1]) == 0) return 2;
  int32_t m = 2;
  int32_t x = x2;
  while (decode_bin(s, bins[x]) != 0) {
    m <<= 1;
    ++x;
    if (m == 0x8000) return 0;  // x would be X16
  }
  // Here x <= x2 + 13, so the magnitude bins reach x2 + 27 at most.
  int32_t sz = m;
  for (int32_t bit = m >> 1; bit != 0; bit >>= 1) {
    if (decode_bin(s, bins[x + 14]) != 0) sz |= bit;
  }
  return sz + 1;
}

inline void store(int16_t* block, int32_t k, int32_t value) {
  block[k] = static_cast<int16_t>(static_cast<uint16_t>(value));
}

inline bool valid_band(int32_t ss, int32_t se, int32_t al) {
  return ss >= 1 && ss <= se && se <= 63 && al >= 0 && al <= 13;  // T.81 B.2.3
}

}  // namespace

void arithmetic_start(ArithmeticReader& r, const uint8_t* cursor, const uint8_t* end) {
  r.cursor = cursor < end ? cursor : end;
  r.end = end;
  r.at_marker = false;
  r.fault = Fault::none;
  r.a = 0x10000;
  r.c = 0;
  r.ct = 0;
  for (int32_t shift = 56; shift >= 48; shift -= 8) {
    const Fetched f = fetch_byte(r.cursor, end);
    r.cursor = f.cursor;
    if (f.event == fetch_marker) r.at_marker = true;
    if (f.event == fetch_ended) reader_fail(r, Fault::data_cut_short);
    r.c |= uint64_t{f.byte} << shift;
  }
}

int32_t arithmetic_decode_fixed(ArithmeticReader& r) { return decode_fixed(r); }

int32_t arithmetic_dc_difference(ArithmeticReader& r, uint8_t* dc_bins, int32_t& dc_context,
                                 int32_t lower, int32_t upper) {
  ArithmeticReader s = r;
  // T.81 Table F.4: S0 = DC_Context(Da) is 0, 4, 8, 12 or 16; the mask keeps even a stray value
  // at 28 or below, so S0 + 3 stays inside the bins.
  const int32_t s0 = dc_context & 0x1C;
  int32_t diff = 0;
  if (decode_bin(s, dc_bins[s0]) != 0) {
    const int32_t sign = decode_bin(s, dc_bins[s0 + 1]);
    const int32_t magnitude = decode_magnitude(s, dc_bins, s0 + 2 + sign, 20, 21);
    if (magnitude == 0) reader_fail(s, Fault::bad_arithmetic_data);
    diff = sign != 0 ? -magnitude : magnitude;
  }
  // T.81 F.1.4.4.1.2, Table F.3: zero for |Da| <= 2^(L-1) (only 0 when L = 0), small up to
  // 2^U, large beyond. |diff| <= 2^15 and the bounds are below 2^16: no overflow.
  const int32_t size = diff < 0 ? -diff : diff;
  const int32_t zero_bound = (1 << (lower & 15)) >> 1;
  const int32_t small_bound = 1 << (upper & 15);
  if (size <= zero_bound) {
    dc_context = 0;
  } else if (size <= small_bound) {
    dc_context = diff > 0 ? 4 : 8;
  } else {
    dc_context = diff > 0 ? 12 : 16;
  }
  r = s;
  return diff;
}

namespace {

// T.81 Figure F.20, Table F.5: the values of zig-zag positions ss..se (1 <= ss <= se <= 63),
// each handed to `put(k, value)`. SE = 3 (K - 1) decides the end of block, SE + 1 a zero, and
// SE + 2 both Sz < 1 and Sz < 2. With K <= 63 the largest of them is 188.
template <class Put>
inline void decode_ac_first(ArithmeticReader& r, uint8_t* ac_bins, int32_t kx, int32_t ss,
                            int32_t se, Put put) {
  ArithmeticReader s = r;
  for (int32_t k = ss; k <= se; ++k) {
    int32_t bin = 3 * (k - 1);
    if (decode_bin(s, ac_bins[bin]) != 0) break;  // end of block
    while (decode_bin(s, ac_bins[bin + 1]) == 0) {
      // The encoder sends an end of block rather than zeros up to se.
      if (++k > se) {
        reader_fail(s, Fault::bad_arithmetic_data);
        r = s;
        return;
      }
      bin += 3;
    }
    const int32_t sign = decode_fixed(s);
    const int32_t magnitude = decode_magnitude(s, ac_bins, bin + 2, bin + 2, k <= kx ? 189 : 217);
    if (magnitude == 0) {
      reader_fail(s, Fault::bad_arithmetic_data);
      break;
    }
    put(k, sign != 0 ? -magnitude : magnitude);
  }
  r = s;
}

}  // namespace

void arithmetic_ac_first(ArithmeticReader& r, uint8_t* ac_bins, int32_t kx, int32_t ss, int32_t se,
                         int32_t al, int16_t* block) {
  if (!valid_band(ss, se, al)) {
    reader_fail(r, Fault::bad_arithmetic_data);
    return;
  }
  decode_ac_first(r, ac_bins, kx, ss, se, [block, al](int32_t k, int32_t value) {
    store(block, k, static_cast<int32_t>(static_cast<uint32_t>(value) << al));
  });
}

uint32_t arithmetic_ac_sequential(ArithmeticReader& r, uint8_t* ac_bins, int32_t kx,
                                  const uint16_t* quant, int32_t* coefficients) {
  uint32_t rows_used = 0;
  decode_ac_first(r, ac_bins, kx, 1, 63, [&](int32_t k, int32_t value) {
    const ColumnPlace place = column_places[static_cast<size_t>(k)];
    // |value| < 2^15 and 16-bit quantisers: the product stays within 32 bits.
    coefficients[place.at] = value * quant[k];
    rows_used |= place.row_bit;
  });
  return rows_used;
}

void arithmetic_ac_refine(ArithmeticReader& r, uint8_t* ac_bins, int32_t ss, int32_t se, int32_t al,
                          int16_t* block) {
  if (!valid_band(ss, se, al)) {
    reader_fail(r, Fault::bad_arithmetic_data);
    return;
  }
  // T.81 G.1.3.3: EOBx, one past the last coefficient of the band made nonzero by earlier
  // scans. No end of block can come before it, as those coefficients still get a bit.
  int32_t eobx = ss;
  for (int32_t k = se; k >= ss; --k) {
    if (block[k] != 0) {
      eobx = k + 1;
      break;
    }
  }
  const int32_t one = static_cast<int32_t>(1u << al);
  ArithmeticReader s = r;
  // T.81 Figures G.10, G.11 and Table G.2: SE = 3 (K - 1) the end of block, SE + 1 a new
  // nonzero coefficient, SE + 2 the correction bit of one with history.
  for (int32_t k = ss; k <= se; ++k) {
    int32_t bin = 3 * (k - 1);
    if (k >= eobx && decode_bin(s, ac_bins[bin]) != 0) break;  // end of block
    for (;;) {
      const int32_t coefficient = block[k];
      if (coefficient != 0) {
        if (decode_bin(s, ac_bins[bin + 2]) != 0) {
          store(block, k, coefficient < 0 ? coefficient - one : coefficient + one);
        }
        break;
      }
      if (decode_bin(s, ac_bins[bin + 1]) != 0) {
        store(block, k, decode_fixed(s) != 0 ? -one : one);
        break;
      }
      if (++k > se) {  // a zero where the encoder would have ended the block
        reader_fail(s, Fault::bad_arithmetic_data);
        r = s;
        return;
      }
      bin += 3;
    }
  }
  r = s;
}
