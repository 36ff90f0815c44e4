#pragma once
// Why the decoder refused a file, in a few words for the user: "not supported: 12-bit
// samples", "damaged: bad Huffman code in scan 1", "not a JPEG file". The tool adds them, in
// parentheses, after the library's message; the library's own messages never change.

#include <cstddef>
#include <cstdint>

#include "entry/conversion.h"
#include "jpeg/decoder.h"

enum class FaultKind : uint8_t {
  not_supported,  // a valid file of a kind the decoder does not take
  damaged,        // a file that breaks the format
  plain,          // said as it is: neither of the above
};

// Where a fault's detail goes: '#' in the text stands for it.
enum class FaultDetail : uint8_t { none, decimal, marker };  // marker: 0xHH

struct FaultReason {
  Fault fault;
  FaultKind kind;
  FaultDetail detail;
  const char* text;
};

// What a decode refused for `fault` says to a caller: not_jpeg, unsupported, damaged,
// too_large or out_of_memory.
ConversionStatus fault_status(Fault fault);

// The reason for `fault` with its detail, terminated, cut to `capacity` bytes (capacity > 0).
// A fault the table lacks still gets a generic reason; Fault::none gets an empty one. Without
// `with_kind` the "not supported: " or "damaged: " before it is left out.
void describe_fault(Fault fault, int32_t detail, char* out, size_t capacity, bool with_kind = true);
constexpr size_t fault_reason_capacity = 96;  // enough for every reason in the table
