// The one table of reasons for decoding faults. A new Fault gets its row here; until it has one
// it is told as "damaged or not supported".

#include "entry/fault_reasons.h"

#include <cstddef>
#include <cstdint>

namespace {

using Kind = FaultKind;
using Detail = FaultDetail;

constexpr FaultReason fault_reasons[] = {
    {Fault::precision, Kind::not_supported, Detail::decimal, "#-bit samples"},
    {Fault::lossless, Kind::not_supported, Detail::none, "lossless JPEG"},
    {Fault::hierarchical, Kind::not_supported, Detail::none, "hierarchical JPEG"},
    {Fault::dnl, Kind::not_supported, Detail::none, "DNL"},
    {Fault::component_count, Kind::not_supported, Detail::decimal, "# components"},
    {Fault::sampling_factor, Kind::not_supported, Detail::decimal, "sampling factor #"},
    {Fault::too_large, Kind::not_supported, Detail::none, "picture too large"},
    {Fault::too_many_scans, Kind::not_supported, Detail::none, "too many scans"},
    {Fault::not_jpeg, Kind::plain, Detail::none, "not a JPEG file"},
    {Fault::truncated, Kind::damaged, Detail::none, "cut short"},
    {Fault::segment_past_end, Kind::damaged, Detail::none, "segment length past the end"},
    {Fault::bad_segment, Kind::damaged, Detail::none, "bad marker segment"},
    {Fault::unknown_marker, Kind::damaged, Detail::marker, "unknown marker #"},
    {Fault::no_frame, Kind::damaged, Detail::none, "scan before the frame header"},
    {Fault::second_frame, Kind::damaged, Detail::none, "second frame"},
    {Fault::too_little_data, Kind::damaged, Detail::none, "too little data for the picture's size"},
    {Fault::bad_scan, Kind::damaged, Detail::decimal, "bad header of scan #"},
    {Fault::bad_progression, Kind::damaged, Detail::decimal,
     "scan # out of the progression's order"},
    {Fault::missing_table, Kind::damaged, Detail::decimal, "missing Huffman table in scan #"},
    {Fault::bad_code, Kind::damaged, Detail::decimal, "bad Huffman code in scan #"},
    {Fault::bad_coefficients, Kind::damaged, Detail::decimal,
     "codes past the end of a block or band in scan #"},
    {Fault::bad_arithmetic_data, Kind::damaged, Detail::decimal,
     "bad arithmetic-coded data in scan #"},
    {Fault::data_cut_short, Kind::damaged, Detail::decimal,
     "arithmetic-coded data cut short in scan #"},
    {Fault::restart_out_of_order, Kind::damaged, Detail::none, "restart marker out of order"},
    {Fault::bad_marker_in_data, Kind::damaged, Detail::decimal, "lone 0xFF ending scan #"},
    {Fault::not_a_marker, Kind::damaged, Detail::none, "no marker after a scan"},
    {Fault::early_end_of_image, Kind::damaged, Detail::none, "image ends before every component"},
    {Fault::out_of_memory, Kind::plain, Detail::none, "not enough memory"},
    {Fault::junk_bytes, Kind::damaged, Detail::decimal, "# bytes out of place before a marker"},
    {Fault::odd_scan_fields, Kind::damaged, Detail::decimal,
     "progressive fields in the header of sequential scan #"},
};

constexpr FaultReason unknown_reason = {Fault::none, Kind::plain, Detail::none,
                                        "damaged or not supported"};

// Appends to a terminated text, never past its capacity.
struct TextOut {
  char* out;
  size_t capacity;
  size_t length = 0;

  void put(char c) {
    if (length + 1 < capacity) out[length++] = c;
    out[length] = '\0';
  }
  void put(const char* text) {
    while (*text != '\0') put(*text++);
  }
  void put_number(int32_t value, Detail detail) {
    if (detail == Detail::marker) {
      put("0x");
      put("0123456789ABCDEF"[value >> 4 & 15]);
      put("0123456789ABCDEF"[value & 15]);
      return;
    }
    // In 64 bits, so that the most negative value has a magnitude too.
    int64_t magnitude = value;
    if (magnitude < 0) {
      put('-');
      magnitude = -magnitude;
    }
    char digits[12];
    int32_t count = 0;
    do {
      digits[count++] = static_cast<char>('0' + magnitude % 10);
      magnitude /= 10;
    } while (magnitude > 0);
    while (count > 0) put(digits[--count]);
  }
};

}  // namespace

ConversionStatus fault_status(Fault fault) {
  switch (fault) {
    case Fault::not_jpeg:
      return ConversionStatus::not_jpeg;
    case Fault::too_large:
      return ConversionStatus::too_large;
    case Fault::out_of_memory:
      return ConversionStatus::out_of_memory;
    default:
      break;
  }
  for (const FaultReason& row : fault_reasons) {
    if (row.fault == fault && row.kind == Kind::not_supported) return ConversionStatus::unsupported;
  }
  return ConversionStatus::damaged;
}

void describe_fault(Fault fault, int32_t detail, char* out, size_t capacity, bool with_kind) {
  out[0] = '\0';
  TextOut text{out, capacity};
  if (fault == Fault::none) return;
  const FaultReason* reason = &unknown_reason;
  for (const FaultReason& row : fault_reasons) {
    if (row.fault == fault) reason = &row;
  }
  if (with_kind && reason->kind == Kind::not_supported) text.put("not supported: ");
  if (with_kind && reason->kind == Kind::damaged) text.put("damaged: ");
  for (const char* c = reason->text; *c != '\0'; ++c) {
    if (*c == '#' && reason->detail != Detail::none) {
      text.put_number(detail, reason->detail);
    } else {
      text.put(*c);
    }
  }
}
