#pragma once
// What the decoder hands over: a read-only picture (its geometry, what its samples stand for,
// its EXIF orientation) and, MCU row by MCU row, where each plane's samples are. Rendering
// starts from these and needs nothing else of the decoder.

#include <cstdint>

#include "common/colour_model.h"

constexpr int32_t max_components = 4;

// One component's samples as rendering reads them: sample (x, y) of the plane, for x below
// plane_width and y below plane_height, is byte y x stride + x of its rows.
struct PicturePlane {
  int32_t plane_width;
  int32_t plane_height;
  int32_t stride;  // bytes from one row to the next
  int32_t v_samp;  // the plane's rows in an MCU row: 8 x v_samp
  // Picture samples to a plane sample across and down, 1, 2, 3, 4 or 8: whole, since the frame
  // header lets every factor divide the largest in its direction.
  int32_t across;
  int32_t down;
};

struct Picture {
  int32_t width;
  int32_t height;
  ColourModel model;
  int32_t orientation;  // the EXIF orientation, 1 (as stored) to 8
  int32_t component_count;
  PicturePlane planes[max_components];
  int32_t mcu_height;  // picture rows in an MCU row
  int32_t mcus_down;   // MCU rows
};

// Room of a reader of the picture's own for one MCU row of a progressive frame's planes, made
// from the coefficient store, and the block it transforms them in; several readers may load
// rows at once, each into its own. Sequential frames need none: their planes hold the rows.
struct StripPlanes {
  uint8_t* samples[max_components];  // owned, each a plane's rows of one MCU row
  int32_t* coefficients;             // within `block`, 32-byte aligned
  void* block;                       // owned
  int32_t row;                       // the MCU row held, or -1
  int32_t first_x;                   // the picture columns it holds: first_x to end_x - 1
  int32_t end_x;
};

// The samples of one MCU row: plane i's rows first_row[i] onwards, up to the row's end or the
// plane's, start at rows[i], each `stride` bytes after the one before. A strip may hold more of
// a plane than its MCU row (a sequential frame holds every row).
struct Strip {
  int32_t mcu_row;
  int32_t first_row[max_components];
  const uint8_t* rows[max_components];
};
