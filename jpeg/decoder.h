#pragma once
// The JPEG decoder: its state record and the operations other folders call. Every decode has a
// record of its own, passed first to each operation; nothing is global, so any number of threads
// may decode at once. Failure is a state: any operation that meets bad input sets `status` to
// status_failed, and every loop stops at its next test of `status`.

#include <cstdint>

#include "common/integer.h"

constexpr int32_t status_running = 0;  // also: finished without error
constexpr int32_t status_failed = 1;
constexpr int32_t status_scan_done = 2;  // every component is decoded: the picture is complete

constexpr int32_t max_components = 4;
constexpr int32_t table_slots = 4;  // quantisation, DC and AC tables each have four

// Why a decode failed, for messages that say more than the library's own. The first fault
// sticks, with a detail where the fault names a number (a factor, a precision, a scan).
enum class Fault : uint8_t {
  none,
  // Not supported.
  precision,        // detail: the sample precision
  lossless,         //
  hierarchical,     //
  dnl,              // the number of lines given after the scan
  component_count,  // detail: the count
  sampling_factor,  // detail: the factor
  too_large,        // more than the buffers or a BMP can hold
  too_many_scans,   // a progressive script beyond 1000 scans, or 100 visits of each block
  // Damaged.
  not_jpeg,              // no start-of-image marker
  truncated,             // the input ends where a segment or marker should be
  segment_past_end,      //
  bad_segment,           // a segment's content does not fit its kind
  unknown_marker,        // detail: the marker code
  no_frame,              // a scan before any frame header
  second_frame,          //
  too_little_data,       // fewer bytes than the frame's blocks need
  bad_scan,              // detail: the scan; a scan header that does not fit the frame
  bad_progression,       // detail: the scan; bands or bits out of a progressive script's order
  missing_table,         // detail: the scan; a Huffman table no segment defined
  bad_code,              // detail: the scan; no Huffman code begins with these bits
  bad_coefficients,      // detail: the scan; codes that run past the end of a block or band
  bad_arithmetic_data,   // detail: the scan; decisions that make no block
  data_cut_short,        // detail: the scan; arithmetic-coded data with no marker after it
  restart_out_of_order,  // detail: the scan
  bad_marker_in_data,    // detail: the scan; 0xFF as the last byte of entropy-coded data
  not_a_marker,          // bytes where a marker should follow a scan
  early_end_of_image,    // the end-of-image marker before every component was decoded
  out_of_memory,
};

struct HuffmanEntry {
  uint8_t code_length;  // 1..16; 0 where no code begins with these 16 bits
  uint8_t symbol;
};

struct ComponentPlane {
  int32_t id;
  int32_t h_samp;  // 1, 2, 4 or 8
  int32_t v_samp;
  int32_t plane_width;  // samples of the visible area
  int32_t plane_height;
  int32_t stride;       // bytes from one row of `samples` to the next
  int32_t quant_index;  // 0..3
  int32_t ac_table;     // 0..3: the slot the current scan gives this component
  int32_t dc_table;     // 0..3
  int32_t dc_predictor;
  uint8_t* samples;  // owned
  // The blocks of the area that whole MCUs cover: h_samp x mcus_across by v_samp x mcus_down.
  int32_t blocks_across;
  int32_t blocks_down;
  bool coded;  // a scan has decoded this component
  // Progressive frames: the coefficient store (owned), 64 quantised values a block in natural
  // order, blocks row by row; the quantisers of the component's first scan in natural order;
  // and for each zig-zag position the Al of its last scan, or -1 before its first.
  int16_t* coefficients;
  uint16_t quant[64];
  int8_t last_al[64];
  int32_t dc_context;  // arithmetic coding: the class of the last DC difference
};

// What the samples of a picture stand for, decided once per picture.
enum class ColourModel : uint8_t { grey, ycbcr, rgb, cmyk, ycck };

// How the planes are read when rendering, settled once every component is decoded.
struct RenderPlan {
  ColourModel model;
  int32_t xs[max_components];  // plane i is read at (x >> xs[i], y >> ys[i])
  int32_t ys[max_components];
  // Three components whose chroma planes are read in place, at half or full resolution alike,
  // beside a luma plane that covers the picture: the common layouts' fast path.
  bool chroma_in_place;
};

struct DecoderState {
  int32_t status;
  Fault fault;
  int32_t fault_detail;
  const uint8_t* cursor;
  int32_t bytes_left;
  int32_t segment_left;
  const uint8_t* input_end;
  int32_t width;
  int32_t height;
  int32_t mcus_across;
  int32_t mcus_down;
  int32_t mcu_width;
  int32_t mcu_height;
  int32_t component_count;
  ComponentPlane components[max_components];
  int32_t quant_used_mask;
  int32_t quant_defined_mask;
  uint16_t quant_tables[table_slots][64];  // zig-zag order, as they stand in the file
  int32_t huffman_defined_mask;            // bit 4 x class + slot
  // [0 DC, 1 AC][slot]: owned tables of 65536 entries, made when a table first fills the slot,
  // so that a record costs only the tables its file defines.
  HuffmanEntry* huffman_lookup[2][table_slots];
  uint64_t bit_buffer;  // bits fetched and not yet consumed, the next highest
  int32_t bit_count;
  alignas(32) int32_t coefficients[64];
  int32_t restart_interval;
  bool frame_seen;
  bool progressive;  // coefficients are gathered in the store, scan by scan, until the end
  bool arithmetic;   // arithmetic coding rather than Huffman
  // Arithmetic conditioning by table slot (DAC): DC's L and U, AC's Kx.
  uint8_t dc_lower[table_slots];
  uint8_t dc_upper[table_slots];
  uint8_t ac_kx[table_slots];
  int32_t scan_count;
  int64_t blocks_visited;  // by the scans so far: work that a progressive script may not pass
  int64_t visit_limit;
  int32_t components_coded;
  int32_t strip_row;  // progressive frames: the MCU row the planes hold, or -1
  // Segments before the first scan that say how to read the picture's components.
  bool jfif_seen;
  bool adobe_seen;
  int32_t adobe_transform;
  RenderPlan render_plan;
  uint8_t* row_scratch;  // owned: a picture row of each plane read at reduced width
  bool plain_colour;     // skip the sepia tone: only for comparing colour with other decoders
};

// The one line to break on. The first fault is kept.
inline void fail(DecoderState& d, Fault fault, int32_t detail = 0) {
  if (d.status != status_failed) {
    d.fault = fault;
    d.fault_detail = detail;
  }
  d.status = status_failed;
}

// State and cursor.
DecoderState* new_decoder();           // a cleared record on the heap, or null
void delete_decoder(DecoderState* d);  // releases what it holds, then the record; null is fine
void reset_decoder(DecoderState& d);
void release_decoder(DecoderState& d);
void skip_bytes(DecoderState& d, int32_t count);
void read_segment_length(DecoderState& d);
void skip_segment(DecoderState& d);

// Marker loop and segments. decode_jpeg decodes every component into its plane and prepares
// the planes for render_row; 0 on success, 1 on failure.
int32_t decode_jpeg(DecoderState& d, const uint8_t* data, int32_t size);
void parse_frame_header(DecoderState& d);
void parse_quant_tables(DecoderState& d);
void parse_huffman_tables(DecoderState& d);
void parse_restart_interval(DecoderState& d);
void parse_app_segment(DecoderState& d, int32_t marker);

// Huffman tables: expands counts and symbols into slot `slot` of class `table_class` (0 DC,
// 1 AC); false when the codes need more than the 16-bit code space, or (with `status` failed)
// when there is no memory for the table. The standard tables of
// T.81 K.3 stand in for slots 0 and 1 when a scan needs a table no segment defined.
bool build_huffman_table(DecoderState& d, int32_t table_class, int32_t slot,
                         const uint8_t counts[16], const uint8_t* symbols);
bool install_standard_huffman_table(DecoderState& d, int32_t table_class, int32_t slot);

void parse_arithmetic_conditioning(DecoderState& d);

// Scan.
void decode_scan(DecoderState& d);
// Turns MCU row `row` of a progressive frame's coefficient store into samples in the planes,
// which then hold that row alone.
void fill_strip(DecoderState& d, int32_t row);
void decode_block(DecoderState& d, ComponentPlane* component, uint8_t* dest);
extern const uint8_t zigzag_order[64];

// Inverse DCT.
void idct_row(int32_t* row);
void idct_column(const int32_t* column, uint8_t* dest, int32_t stride);
// The row pass of all eight rows of `coefficients`, with the same results. Both eight-lane
// passes take blocks aligned to 32 bytes, as the decoder's is.
void idct_rows(int32_t* coefficients);
// The column pass of all eight columns of `coefficients`, with the same results.
void idct_columns(const int32_t* coefficients, uint8_t* dest, int32_t stride);

// The sample of a column whose row-pass results are c0 and seven zeros. (c0 + 32) wraps as the
// column pass's arithmetic does.
inline uint8_t column_shortcut_value(int32_t c0) {
  const auto rounded = static_cast<int32_t>(static_cast<uint32_t>(c0) + 32);
  return static_cast<uint8_t>(clip_byte((rounded >> 6) + 128));
}
