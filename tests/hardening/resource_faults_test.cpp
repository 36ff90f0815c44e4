// Running out of memory at any allocation, or of disk at any byte, ends a conversion with one
// message, no heap held and nothing left at or beside the output path.

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "hardening/checked_conversion.h"
#include "platform/platform.h"
#include "support/conversion_check.h"
#include "support/files.h"
#include "support/jpeg_builder.h"

namespace {

const std::set<std::string> failure_messages = {
    "Error opening jpg. Please try again...\n", "Error decoding jpg. Please try again...\n",
    "Error opening the output file.\n", "Error writing the output file.\n"};

// Every allocation the conversion makes is failed in turn, until one run makes them all.
void fail_each_allocation(const Bytes& jpeg) {
  TempDir dir;
  const std::string in = dir.path("in.jpg");
  const std::string out = dir.path("out.bmp");
  write_file(in, jpeg);
  int32_t width = 0;
  int32_t height = 0;
  ASSERT_TRUE(declared_frame_size(jpeg, &width, &height));
  bool completed = false;
  for (int32_t nth = 1; nth <= 64 && !completed; ++nth) {
    SCOPED_TRACE("allocation " + std::to_string(nth) + " fails");
    const int32_t before = platform_live_allocations();
    platform_fail_allocation(nth);
    const Conversion c = convert_catching_messages(in, out);
    platform_fail_allocation(0);
    EXPECT_EQ(platform_live_allocations(), before);
    if (c.result == 999) {
      completed = true;
      EXPECT_EQ(c.messages, "");
      const Bytes bmp = read_file(out);
      EXPECT_EQ(bmp_problem(bmp, static_cast<int64_t>(bmp.size()), width, height), "");
      continue;
    }
    EXPECT_EQ(c.result, 1);
    EXPECT_EQ(failure_messages.count(c.messages), 1u) << c.messages;
    EXPECT_EQ(list_dir(dir.root()), std::vector<std::string>{"in.jpg"});
  }
  EXPECT_TRUE(completed);
}

TEST(ResourceFaults, EveryAllocationMayFail) {
  PictureRecipe colour;
  colour.width = 21;
  colour.height = 13;
  PictureRecipe grey;
  grey.components = {{1, 1, 1, 0}};
  PictureRecipe wide_chroma;
  wide_chroma.width = 40;
  wide_chroma.components = {{1, 4, 1, 0}, {2, 1, 2, 1}, {3, 1, 1, 1}};
  for (const PictureRecipe& recipe : {colour, grey, wide_chroma}) {
    SCOPED_TRACE(std::to_string(recipe.components.size()) + " components");
    fail_each_allocation(make_jpeg(recipe));
  }
}

TEST(ResourceFaults, AFullDiskLeavesTheOldOutputAlone) {
  PictureRecipe recipe;
  recipe.width = 37;
  recipe.height = 11;
  TempDir dir;
  const std::string in = dir.path("in.jpg");
  const std::string out = dir.path("out.bmp");
  write_file(in, make_jpeg(recipe));
  const Bytes old_output = {'o', 'l', 'd'};
  const int64_t full = bmp_file_bytes(recipe.width, recipe.height);
  for (const int64_t budget :
       {int64_t{0}, int64_t{1}, int64_t{53}, int64_t{54}, int64_t{55}, int64_t{200}, full - 1}) {
    SCOPED_TRACE("disk full after " + std::to_string(budget) + " bytes");
    write_file(out, old_output);
    platform_fail_writes_after(budget);
    const Conversion c = convert_catching_messages(in, out);
    platform_fail_writes_after(-1);
    EXPECT_EQ(c.result, 1);
    EXPECT_EQ(c.messages, "Error writing the output file.\n");
    EXPECT_EQ(read_file(out), old_output);
    EXPECT_EQ(list_dir(dir.root()).size(), 2u) << "a temporary file is left";
    EXPECT_EQ(platform_live_allocations(), 0);
  }
  platform_fail_writes_after(full);
  const Conversion c = convert_catching_messages(in, out);
  platform_fail_writes_after(-1);
  EXPECT_EQ(c.result, 999);
  const Bytes bmp = read_file(out);
  EXPECT_EQ(bmp_problem(bmp, static_cast<int64_t>(bmp.size()), recipe.width, recipe.height), "");
}

}  // namespace
