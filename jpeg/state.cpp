// The decoder's state record and the operations that make, clear and free it and move its
// cursor.

#include <cstdint>
#include <cstring>

#include "jpeg/decoder.h"
#include "platform/platform.h"

// The record lives on the heap, placed on its own alignment (32 bytes, for the coefficient
// block's vector moves), which the heap does not promise, with the heap block's address kept
// just before it.
DecoderState* new_decoder() {
  constexpr size_t alignment = alignof(DecoderState);
  static_assert(alignment >= sizeof(void*));
  void* block = platform_allocate(sizeof(DecoderState) + 2 * alignment);
  if (block == nullptr) return nullptr;
  const uintptr_t address =
      (reinterpret_cast<uintptr_t>(block) + 2 * alignment - 1) & ~(alignment - 1);
  auto* d = reinterpret_cast<DecoderState*>(address);
  memcpy(reinterpret_cast<char*>(d) - sizeof block, &block, sizeof block);
  reset_decoder(*d);
  return d;
}

static void release_buffers(DecoderState& d) {
  for (ComponentPlane& component : d.components) {
    platform_release(component.samples);
    platform_release(component.coefficients);
  }
  for (auto& tables : d.huffman_lookup) {
    for (HuffmanEntry* table : tables) platform_release(table);
  }
}

void delete_decoder(DecoderState* d) {
  if (d == nullptr) return;
  release_buffers(*d);
  void* block = nullptr;
  memcpy(&block, reinterpret_cast<char*>(d) - sizeof block, sizeof block);
  platform_release(block);
}

void reset_decoder(DecoderState& d) { platform_fill(&d, sizeof d); }

void release_decoder(DecoderState& d) {
  release_buffers(d);
  reset_decoder(d);
}

void begin_input(DecoderState& d, const uint8_t* data, int32_t size) {
  d.cursor = data;
  d.bytes_left = size < 0 ? 0 : size;
  d.input_end = data + d.bytes_left;
  if (size < 0) fail(d, Fault::not_jpeg);
}

void skip_bytes(DecoderState& d, int32_t count) {
  // Past the end the cursor stops at the end: nothing reads it once the decode has failed.
  if (count <= d.bytes_left) {
    d.cursor += count;
  } else if (d.bytes_left > 0) {
    d.cursor += d.bytes_left;
  }
  d.bytes_left -= count;
  d.segment_left -= count;
  if (d.bytes_left < 0) fail(d, Fault::truncated);
}

void read_segment_length(DecoderState& d) {
  if (d.bytes_left < 2) {
    fail(d, Fault::truncated);
    return;
  }
  d.segment_left = int32_t{d.cursor[0]} << 8 | d.cursor[1];
  if (d.segment_left > d.bytes_left) {
    fail(d, Fault::segment_past_end);
    return;
  }
  skip_bytes(d, 2);
}

void skip_segment(DecoderState& d) {
  read_segment_length(d);
  if (failed(d)) return;
  // A length shorter than its own field would move the cursor backwards.
  if (d.segment_left < 0) {
    fail(d, Fault::bad_segment);
    return;
  }
  skip_bytes(d, d.segment_left);
}
