#pragma once
// The JPEG decoder: its state record and the operations other folders call. Every decode has a
// record of its own, passed first to each operation; nothing is global, so any number of threads
// may decode at once. Failure is a state: the first fault met is kept in `fault`, and every loop
// stops at its next test of failed().

#include <cstdint>

#include "common/colour_model.h"
#include "jpeg/picture.h"

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
  junk_bytes,       // detail: the count; bytes out of place where a marker should be
  odd_scan_fields,  // detail: the scan; spectral or approximation fields in a sequential scan
};

struct HuffmanEntry {
  uint8_t code_length;  // 1..16; 0 where no code begins with these 16 bits
  uint8_t symbol;
};

struct ComponentPlane {
  int32_t id;
  int32_t h_samp;  // 1, 2, 3, 4 or 8, dividing the frame's largest (3 goes only with 1 and 3)
  int32_t v_samp;
  int32_t plane_width;  // samples of the visible area
  int32_t plane_height;
  int32_t stride;       // bytes from one row of `samples` to the next
  int32_t quant_index;  // 0..3
  int32_t ac_table;     // 0..3: the slot the current scan gives this component
  int32_t dc_table;     // 0..3
  int32_t dc_predictor;
  uint8_t* samples;  // owned
  // Block row `by` of the plane is row `by & ring_mask` of `samples`: all ones where the plane
  // is held whole, one less than the block rows held where it keeps only the last MCU rows.
  int32_t ring_mask;
  // The blocks of the area that whole MCUs cover: h_samp x mcus_across by v_samp x mcus_down.
  int32_t blocks_across;
  int32_t blocks_down;
  bool coded;  // a scan has decoded this component
  // Progressive frames: the coefficient store (owned), 64 quantised values a block in zig-zag
  // order (the order scans code them in), blocks row by row; the quantisers of the component's
  // first scan; and for each zig-zag position the Al of its last scan, or -1 before its first.
  int16_t* coefficients;
  uint16_t quant[64];
  int8_t last_al[64];
  int32_t dc_context;  // arithmetic coding: the class of the last DC difference
};

struct DecoderState {
  // The one place a decode's failure is kept: the first fault met, or Fault::none.
  Fault fault;
  int32_t fault_detail;
  // Salvage: faults that a strict decode stops at but that leave a picture to recover are
  // passed over (jpeg/salvage.h); the first is kept here, and the blocks decoded counted.
  bool salvage;
  int64_t
      max_pixels;  // a larger frame is refused as too large before anything is allocated; 0: none
  Fault damage;
  int32_t damage_detail;
  bool junk_met;  // not salvaging: bytes stood where a marker should, which salvage passes over
  int64_t blocks_planned;  // by the scans read, and for components no scan read
  int64_t blocks_decoded;
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
  int32_t scans_read;      // whose headers were read whole
  int64_t blocks_visited;  // by the scans so far: work that a progressive script may not pass
  int64_t visit_limit;
  int32_t components_coded;
  bool complete;       // every component decoded: the marker loop reads nothing more
  int32_t rows_ready;  // MCU rows whose samples (or coefficients) are final
  // The taker of the rows, told on the decoding thread: with rows_ready 0 as a sequential
  // picture's first scan begins, when it answers whether it takes each MCU row as it comes (the
  // planes then hold only the last few, when one scan codes every component); then each time
  // more MCU rows are final, after each MCU row of the last scan, or all at once for a
  // progressive picture at its end (those answers are not read).
  bool (*rows_sink)(void* context, int32_t rows_ready);
  void* rows_context;
  int32_t ring_rows;  // MCU rows the planes hold when they keep only the last few, else 0
  // Segments before the first scan that say how to read the picture, and what they said.
  bool jfif_seen;
  bool adobe_seen;
  int32_t adobe_transform;
  bool exif_seen;
  ColourModel colour_model;  // decided as the first scan starts
  int32_t orientation;       // of the first EXIF segment, 1..8
};

inline bool failed(const DecoderState& d) { return d.fault != Fault::none; }

// MCU rows [0, rows) are final; the sink hears of it.
inline void publish_rows(DecoderState& d, int32_t rows) {
  if (rows <= d.rows_ready) return;
  d.rows_ready = rows;
  if (d.rows_sink != nullptr) d.rows_sink(d.rows_context, rows);
}

// MCU rows a sequential picture's planes keep when its rows are taken as they come: a power of
// two, so that a block row's place is a mask away, and room for a second thread to lag.
constexpr int32_t ring_mcu_rows = 4;

// The one line to break on. The first fault is kept.
inline void fail(DecoderState& d, Fault fault, int32_t detail = 0) {
  if (failed(d)) return;
  d.fault = fault;
  d.fault_detail = detail;
}

// State and cursor.
DecoderState* new_decoder();           // a cleared record on the heap, or null
void delete_decoder(DecoderState* d);  // releases what it holds, then the record; null is fine
void reset_decoder(DecoderState& d);
void release_decoder(DecoderState& d);
// Puts the cursor on the first of `size` bytes of input (a negative size fails the decode).
void begin_input(DecoderState& d, const uint8_t* data, int32_t size);
void skip_bytes(DecoderState& d, int32_t count);
void read_segment_length(DecoderState& d);
void skip_segment(DecoderState& d);

// Marker loop and segments. decode_jpeg decodes every component; 0 on success, then the picture
// is read through picture_of and load_strip; 1 on failure, with `fault` saying why.
int32_t decode_jpeg(DecoderState& d, const uint8_t* data, int32_t size);
void parse_frame_header(DecoderState& d);
void parse_quant_tables(DecoderState& d);
void parse_huffman_tables(DecoderState& d);
void parse_restart_interval(DecoderState& d);
void parse_arithmetic_conditioning(DecoderState& d);
void parse_app_segment(DecoderState& d, uint8_t marker);
void decode_scan(DecoderState& d);

// Huffman tables: expands counts and symbols into slot `slot` of class `table_class` (0 DC,
// 1 AC); false when the codes need more than the 16-bit code space, or (with the decode failed)
// when there is no memory for the table. The standard tables of T.81 K.3 stand in for slots 0
// and 1 when a scan needs a table no segment defined.
bool build_huffman_table(DecoderState& d, int32_t table_class, int32_t slot,
                         const uint8_t counts[16], const uint8_t* symbols);
bool install_standard_huffman_table(DecoderState& d, int32_t table_class, int32_t slot);

// The decoded picture. After a successful decode_jpeg every MCU row is ready; rows_ready says
// how many are while a decode is under way.
Picture picture_of(const DecoderState& d);
int32_t mcu_rows_ready(const DecoderState& d);
// Makes MCU row `row` (below mcu_rows_ready) readable: a sequential frame's from its planes, a
// progressive one's made from the coefficient store into `planes`, which then hold that row (of
// it, what picture columns first_x to end_x - 1 need).
// Any number of threads may read rows at once, each with planes of its own.
Strip load_strip(const DecoderState& d, int32_t row, StripPlanes* planes, int32_t first_x = 0,
                 int32_t end_x = INT32_MAX);
// Room for a progressive frame's rows (nothing for a sequential one); false when there is no
// memory for it. free_strip_planes frees what make_strip_planes made.
bool make_strip_planes(const DecoderState& d, StripPlanes* planes);
void free_strip_planes(StripPlanes* planes);
