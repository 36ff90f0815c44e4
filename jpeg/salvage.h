#pragma once
// What a salvaging decode does with each fault that a strict one stops at. Salvage acts only
// where the strict decode would refuse, so wherever that succeeds, salvage gives the same.

#include <cstdint>

#include "jpeg/decoder.h"

enum class Recovery : uint8_t {
  refuse,              // not recovered: the decode fails as a strict one does
  pass_junk,           // bytes where a marker should be: passed over to the next marker
  read_as_sequential,  // a sequential scan's spectral and approximation fields: read as 0, 63, 0, 0
  skip_scan,           // a progressive scan out of its script's order: passed over, data and all
  stop_scan,           // a fault in entropy-coded data: the scan stops there, and goes on at the
                       // next restart marker that fits, the intervals between lost
  keep_decoded,        // the file ends or breaks off: what was decoded stands
};

// The one table, fault by fault.
Recovery recovery_of(Fault fault);

// Whether salvage would pass over `fault` here: its recovery is not refuse, and for what keeps
// the decoded picture, there is one (a frame and a scan).
bool recoverable(const DecoderState& d, Fault fault);

// Whether this decode passes over `fault`: it salvages, and the fault is recoverable.
inline bool salvages(const DecoderState& d, Fault fault) {
  return d.salvage && recoverable(d, fault);
}

// Keeps the first damage passed over, for the outcome. Too little data, judged before any scan,
// yields to the fault it leads to, which tells more.
inline void note_damage(DecoderState& d, Fault fault, int32_t detail) {
  if (d.damage != Fault::none && d.damage != Fault::too_little_data) return;
  d.damage = fault;
  d.damage_detail = detail;
}

// The share of the frame recovered, in whole percent rounded down: blocks decoded of those
// the scans read planned (and of the components no scan read).
int32_t recovered_percent(const DecoderState& d);
