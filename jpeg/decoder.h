#pragma once
// The baseline JPEG decoder: its one static state record and the operations other folders call.
// Failure is a state: any operation that meets bad input sets `status` to status_failed, and
// every loop stops at its next test of `status`.

#include <cstdint>

#include "common/integer.h"

constexpr int32_t status_running = 0;  // also: finished without error
constexpr int32_t status_failed = 1;
constexpr int32_t status_scan_done = 2;

constexpr int32_t max_components = 3;

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
  int32_t ac_table;     // 2 or 3: index into huffman_lookup
  int32_t dc_table;     // 0 or 1
  int32_t dc_predictor;
  uint8_t* samples;  // owned
};

// What the pixels of a three-component frame stand for.
enum class ColourModel : int32_t { ycbcr, rgb };

// How the planes are read when rendering, settled once the scan is done.
struct RenderPlan {
  int32_t chroma_xs;  // planes 1 and 2 are read at (x >> chroma_xs, y >> chroma_ys)
  int32_t chroma_ys;
  bool rgb_samples;  // a three-component frame of red, green, blue rather than YCbCr
};

struct DecoderState {
  int32_t status;
  const uint8_t* cursor;
  int32_t bytes_left;
  int32_t segment_left;
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
  uint8_t quant_tables[4][64];
  HuffmanEntry huffman_lookup[4][65536];
  uint64_t bit_buffer;  // bits fetched and not yet consumed, the next highest
  int32_t bit_count;
  alignas(32) int32_t coefficients[64];
  int32_t restart_interval;
  uint8_t* rgb_image;  // owned: width x height pixels of red, green, blue, top row first; made
                       // only when the whole picture is rendered in memory
  // Segments seen before the scan that say how to read a three-component frame.
  bool jfif_seen;
  bool adobe_seen;
  int32_t adobe_transform;
  bool frame_seen;
  RenderPlan render_plan;
  bool plain_colour;  // skip the sepia tone: only for comparing colour with other decoders
};

extern DecoderState decoder;

inline void fail() { decoder.status = status_failed; }  // the one line to break on

// State and cursor.
void reset_decoder();
void release_decoder();
void skip_bytes(int32_t count);
void read_segment_length();
void skip_segment();

// Marker loop and segments.
int32_t decode_jpeg(const uint8_t* data, int32_t size);
int32_t decode_jpeg_unsepia(const uint8_t* data, int32_t size);  // colour without the tone
// Decodes the planes and prepares them for render_row, without rendering the whole picture.
int32_t decode_jpeg_rows(const uint8_t* data, int32_t size);
void parse_frame_header();
void parse_quant_tables();
void parse_huffman_tables();
void parse_restart_interval();
void parse_app_segment(int32_t marker);

// Scan.
void decode_scan();
void decode_block(ComponentPlane* component, uint8_t* dest);
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
