// The reasons the tool adds to the decoding message: the words users are promised, one reason
// of its own for every fault, and a generic one for a fault the table does not know yet.

#include "entry/fault_reasons.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace {

std::string reason(Fault fault, int32_t detail = 0) {
  char text[fault_reason_capacity];
  describe_fault(fault, detail, text, sizeof text);
  return text;
}

TEST(FaultReasons, TheWordsUsersAreShown) {
  const struct {
    Fault fault;
    int32_t detail;
    const char* want;
  } cases[] = {
      {Fault::precision, 12, "not supported: 12-bit samples"},
      {Fault::lossless, 0, "not supported: lossless JPEG"},
      {Fault::hierarchical, 0, "not supported: hierarchical JPEG"},
      {Fault::dnl, 0, "not supported: DNL"},
      {Fault::sampling_factor, 5, "not supported: sampling factor 5"},
      {Fault::component_count, 2, "not supported: 2 components"},
      {Fault::bad_code, 1, "damaged: bad Huffman code in scan 1"},
      {Fault::bad_code, 12, "damaged: bad Huffman code in scan 12"},
      {Fault::restart_out_of_order, 3, "damaged: restart marker out of order"},
      {Fault::segment_past_end, 0, "damaged: segment length past the end"},
      {Fault::unknown_marker, 0x01, "damaged: unknown marker 0x01"},
      {Fault::unknown_marker, 0xC8, "damaged: unknown marker 0xC8"},
      {Fault::not_jpeg, 0, "not a JPEG file"},
      {Fault::out_of_memory, 0, "not enough memory"},
      {Fault::none, 0, ""},
      {static_cast<Fault>(200), 7, "damaged or not supported"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.want);
    EXPECT_EQ(reason(c.fault, c.detail), c.want);
  }
}

// Up to the last fault the decoder had when the table was written: extend the bound with it.
TEST(FaultReasons, EveryFaultHasAReasonOfItsOwn) {
  std::set<std::string> seen;
  for (int32_t value = 1; value <= static_cast<int32_t>(Fault::out_of_memory); ++value) {
    SCOPED_TRACE(value);
    const std::string text = reason(static_cast<Fault>(value), 1);
    EXPECT_NE(text, reason(static_cast<Fault>(200)));
    EXPECT_TRUE(seen.insert(text).second) << "said twice: " << text;
    EXPECT_LT(text.size() + 1, fault_reason_capacity) << text;
  }
}

TEST(FaultReasons, CutToTheCapacity) {
  char text[12];
  describe_fault(Fault::bad_code, 1, text, sizeof text);
  EXPECT_EQ(std::string(text), "damaged: ba");
  describe_fault(Fault::bad_code, 1, text, 1);
  EXPECT_EQ(std::string(text), "");
}

}  // namespace
