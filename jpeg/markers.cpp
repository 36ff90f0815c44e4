// The marker loop that walks a JPEG file's segments, and the frame, restart-interval and
// application segments.

#include <cstdint>
#include <cstring>

#include "common/byte_order.h"
#include "jpeg/decoder.h"
#include "platform/platform.h"
#include "render/render.h"

namespace {

enum class Output { sepia_image, plain_image, rows };

int32_t run_decode(const uint8_t* data, int32_t size, Output output) {
  release_decoder();
  decoder.plain_colour = output == Output::plain_image;
  decoder.cursor = data;
  decoder.bytes_left = size & 0x7FFFFFFF;
  if (decoder.bytes_left < 2) return status_failed;
  if (data[0] != 0xFF || data[1] != 0xD8) return status_failed;
  skip_bytes(2);
  while (decoder.status == status_running) {
    skip_bytes(2);  // the marker; its first byte is not examined
    if (decoder.status != status_running) break;
    const uint8_t code = decoder.cursor[-1];
    if (code == 0xC0) {
      parse_frame_header();
    } else if (code == 0xC4) {
      parse_huffman_tables();
    } else if (code == 0xDA) {
      decode_scan();
    } else if (code == 0xDB) {
      parse_quant_tables();
    } else if (code == 0xDD) {
      parse_restart_interval();
    } else if (code >= 0xE0 && code <= 0xEF) {
      parse_app_segment(code);
    } else if (code == 0xFE) {
      skip_segment();
    } else {
      fail();
    }
  }
  if (decoder.status != status_scan_done) return status_failed;
  decoder.status = status_running;
  if (output == Output::rows) {
    prepare_planes();
  } else {
    convert_image();
  }
  return decoder.status;
}

}  // namespace

int32_t decode_jpeg(const uint8_t* data, int32_t size) {
  return run_decode(data, size, Output::sepia_image);
}

int32_t decode_jpeg_unsepia(const uint8_t* data, int32_t size) {
  return run_decode(data, size, Output::plain_image);
}

int32_t decode_jpeg_rows(const uint8_t* data, int32_t size) {
  return run_decode(data, size, Output::rows);
}

void parse_frame_header() {
  // A second frame would replace the first one's planes while they are still held.
  if (decoder.frame_seen) {
    fail();
    return;
  }
  decoder.frame_seen = true;
  read_segment_length();
  if (decoder.status != status_running) return;
  if (decoder.segment_left < 9 || decoder.cursor[0] != 8) {
    fail();
    return;
  }
  decoder.height = read_be16(decoder.cursor + 1);
  decoder.width = read_be16(decoder.cursor + 3);
  decoder.component_count = decoder.cursor[5];
  skip_bytes(6);
  const int32_t count = decoder.component_count;
  // Two components make no picture, more overflow `components`; an empty frame has none.
  if ((count != 1 && count != max_components) || decoder.width == 0 || decoder.height == 0) {
    fail();
    return;
  }
  if (decoder.segment_left < 3 * count) {
    fail();
    return;
  }
  int32_t h_max = 0;
  int32_t v_max = 0;
  for (int32_t i = 0; i < count; ++i) {
    ComponentPlane& c = decoder.components[i];
    c.id = decoder.cursor[0];
    c.h_samp = decoder.cursor[1] >> 4;
    if (c.h_samp == 0 || (c.h_samp & (c.h_samp - 1)) != 0) {
      fail();
      return;
    }
    c.v_samp = decoder.cursor[1] & 0x0F;
    if (c.v_samp == 0 || (c.v_samp & (c.v_samp - 1)) != 0) {
      fail();
      return;
    }
    c.quant_index = decoder.cursor[2];
    if ((c.quant_index & 0xFC) != 0) {
      fail();
      return;
    }
    skip_bytes(3);
    decoder.quant_used_mask |= 1 << c.quant_index;
    if (c.h_samp > h_max) h_max = c.h_samp;
    if (c.v_samp > v_max) v_max = c.v_samp;
  }
  decoder.mcu_width = 8 * h_max;
  decoder.mcu_height = 8 * v_max;
  decoder.mcus_across = (decoder.width + decoder.mcu_width - 1) / decoder.mcu_width;
  decoder.mcus_down = (decoder.height + decoder.mcu_height - 1) / decoder.mcu_height;
  // Every picture is rendered as 3-byte pixels; width and height are below 2^16, so the product
  // fits in 64 bits, and refusing it above INT32_MAX keeps every later size in 32 bits.
  const int64_t image_bytes = int64_t{decoder.width} * decoder.height * 3;
  if (image_bytes > INT32_MAX) {
    fail();
    return;
  }
  // Every block takes at least two bits of scan data (a one-bit DC code and a one-bit end of
  // block), so a frame of more than four blocks per input byte left could only be decoded from
  // the 1-bits that stand in past the end. Refusing it before anything is allocated keeps the
  // memory and time of a decode in proportion to the input, not to the size its header claims.
  int64_t blocks = int64_t{(decoder.width + 7) / 8} * ((decoder.height + 7) / 8);
  if (count != 1) {
    int64_t blocks_per_mcu = 0;
    for (int32_t i = 0; i < count; ++i) {
      blocks_per_mcu += decoder.components[i].h_samp * decoder.components[i].v_samp;
    }
    blocks = int64_t{decoder.mcus_across} * decoder.mcus_down * blocks_per_mcu;
  }
  if (blocks > int64_t{decoder.bytes_left} * 4) {
    fail();
    return;
  }
  for (int32_t i = 0; i < count; ++i) {
    ComponentPlane& c = decoder.components[i];
    c.plane_width = (c.h_samp * decoder.width + h_max - 1) / h_max;
    c.plane_height = (c.v_samp * decoder.height + v_max - 1) / v_max;
    c.stride = 8 * c.h_samp * decoder.mcus_across;
    if ((c.plane_width < 3 && c.h_samp != h_max) || (c.plane_height < 3 && c.v_samp != v_max)) {
      fail();
      return;
    }
    const int64_t plane_bytes = int64_t{c.stride} * 8 * c.v_samp * decoder.mcus_down;
    if (plane_bytes > INT32_MAX) {
      fail();
      return;
    }
    c.samples = static_cast<uint8_t*>(platform_allocate(static_cast<size_t>(plane_bytes)));
    if (c.samples == nullptr) {
      fail();
      return;
    }
  }
  skip_bytes(decoder.segment_left);
}

void parse_restart_interval() {
  read_segment_length();
  if (decoder.status != status_running) return;
  if (decoder.segment_left != 2) {
    fail();
    return;
  }
  decoder.restart_interval = read_be16(decoder.cursor);
  skip_bytes(2);
}

void parse_app_segment(int32_t marker) {
  read_segment_length();
  if (decoder.status != status_running) return;
  if (decoder.segment_left < 0) {
    fail();
    return;
  }
  const uint8_t* content = decoder.cursor;
  const int32_t bytes = decoder.segment_left;
  if (marker == 0xE0 && bytes >= 5 && memcmp(content, "JFIF", 5) == 0) {
    decoder.jfif_seen = true;
  } else if (marker == 0xEE && bytes >= 12 && memcmp(content, "Adobe", 5) == 0) {
    decoder.adobe_seen = true;
    decoder.adobe_transform = content[11];
  }
  skip_bytes(bytes);
}
