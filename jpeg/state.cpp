// The decoder's static state record and the operations that clear it and move its cursor.

#include <cstdint>

#include "jpeg/decoder.h"
#include "platform/platform.h"

DecoderState decoder;

void reset_decoder() { platform_fill(&decoder, sizeof decoder); }

void release_decoder() {
  for (ComponentPlane& component : decoder.components) platform_release(component.samples);
  platform_release(decoder.rgb_image);
  reset_decoder();
}

void skip_bytes(int32_t count) {
  // Past the end the cursor stops at the end: nothing reads it once the decode has failed.
  if (count <= decoder.bytes_left) {
    decoder.cursor += count;
  } else if (decoder.bytes_left > 0) {
    decoder.cursor += decoder.bytes_left;
  }
  decoder.bytes_left -= count;
  decoder.segment_left -= count;
  if (decoder.bytes_left < 0) fail();
}

void read_segment_length() {
  if (decoder.bytes_left < 2) {
    fail();
    return;
  }
  decoder.segment_left = int32_t{decoder.cursor[0]} << 8 | decoder.cursor[1];
  if (decoder.segment_left > decoder.bytes_left) {
    fail();
    return;
  }
  skip_bytes(2);
}

void skip_segment() {
  read_segment_length();
  if (decoder.status != status_running) return;
  // A length shorter than its own field would move the cursor backwards.
  if (decoder.segment_left < 0) {
    fail();
    return;
  }
  skip_bytes(decoder.segment_left);
}
