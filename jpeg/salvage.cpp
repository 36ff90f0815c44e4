// The table of salvage: fault by fault, what a salvaging decode does instead of stopping.

#include "jpeg/salvage.h"

#include <cstdint>

#include "jpeg/decoder.h"

namespace {

struct SalvageRow {
  Fault fault;
  Recovery recovery;
};

constexpr SalvageRow salvage_table[] = {
    {Fault::junk_bytes, Recovery::pass_junk},
    {Fault::not_a_marker, Recovery::pass_junk},
    {Fault::odd_scan_fields, Recovery::read_as_sequential},
    {Fault::bad_progression, Recovery::skip_scan},
    {Fault::bad_code, Recovery::stop_scan},
    {Fault::bad_coefficients, Recovery::stop_scan},
    {Fault::bad_arithmetic_data, Recovery::stop_scan},
    {Fault::data_cut_short, Recovery::stop_scan},
    {Fault::restart_out_of_order, Recovery::stop_scan},
    {Fault::bad_marker_in_data, Recovery::stop_scan},
    {Fault::truncated, Recovery::keep_decoded},
    {Fault::segment_past_end, Recovery::keep_decoded},
    {Fault::early_end_of_image, Recovery::keep_decoded},
    {Fault::second_frame, Recovery::keep_decoded},
    {Fault::too_little_data, Recovery::keep_decoded},
};

}  // namespace

Recovery recovery_of(Fault fault) {
  for (const SalvageRow& row : salvage_table) {
    if (row.fault == fault) return row.recovery;
  }
  return Recovery::refuse;
}

bool recoverable(const DecoderState& d, Fault fault) {
  if (d.junk_met) return true;  // the fault, whatever it is, came of the junk
  const Recovery recovery = recovery_of(fault);
  if (recovery == Recovery::refuse) return false;
  // Too little data is judged at the frame header, before any scan; the rest of what keeps the
  // decoded picture needs one to keep.
  if (recovery == Recovery::keep_decoded && fault != Fault::too_little_data) {
    return d.frame_seen && d.scans_read > 0;
  }
  return true;
}

int32_t recovered_percent(const DecoderState& d) {
  if (d.blocks_planned <= 0) return 0;
  return static_cast<int32_t>(d.blocks_decoded * 100 / d.blocks_planned);
}
