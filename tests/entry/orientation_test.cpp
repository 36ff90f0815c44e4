// --auto-orient: the EXIF Orientation tag read from the first Exif segment, however it may be
// damaged, and the upright picture, which must be the plain output turned.

#include "entry/orientation.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bmpsepia.h"
#include "entry/conversion.h"
#include "platform/platform.h"
#include "support/bmp_picture.h"
#include "support/files.h"

namespace {

struct IfdEntry {
  uint16_t tag, type;
  uint32_t count, value;  // a SHORT value sits in the field's first two bytes
};

void put16(Bytes* out, uint32_t v, bool little) {
  const uint8_t lo = static_cast<uint8_t>(v), hi = static_cast<uint8_t>(v >> 8);
  out->insert(out->end(), little ? std::initializer_list<uint8_t>{lo, hi}
                                 : std::initializer_list<uint8_t>{hi, lo});
}

void put32(Bytes* out, uint32_t v, bool little) {
  put16(out, little ? v & 0xFFFF : v >> 16, little);
  put16(out, little ? v >> 16 : v & 0xFFFF, little);
}

// "Exif\0\0", a TIFF header and IFD0 with `entries`, as an APP1 segment's content.
Bytes exif_content(bool little, const std::vector<IfdEntry>& entries) {
  Bytes out = {'E', 'x', 'i', 'f', 0, 0};
  out.insert(out.end(), little ? std::initializer_list<uint8_t>{'I', 'I'}
                               : std::initializer_list<uint8_t>{'M', 'M'});
  put16(&out, 42, little);
  put32(&out, 8, little);
  put16(&out, static_cast<uint32_t>(entries.size()), little);
  for (const IfdEntry& e : entries) {
    put16(&out, e.tag, little);
    put16(&out, e.type, little);
    put32(&out, e.count, little);
    if (e.type == 3) {
      put16(&out, e.value, little);
      put16(&out, 0, little);
    } else {
      put32(&out, e.value, little);
    }
  }
  put32(&out, 0, little);  // no IFD1
  return out;
}

Bytes orientation_exif(bool little, uint32_t value) {
  return exif_content(little, {{0x010F, 2, 4, 0}, {0x0112, 3, 1, value}, {0x011A, 5, 1, 0}});
}

Bytes segment(uint8_t code, const Bytes& content) {
  Bytes out = {0xFF, code, static_cast<uint8_t>((content.size() + 2) >> 8),
               static_cast<uint8_t>(content.size() + 2)};
  out.insert(out.end(), content.begin(), content.end());
  return out;
}

// SOI, the segments, then a scan marker and a little data.
Bytes jpeg_with(const std::vector<Bytes>& segments) {
  Bytes out = {0xFF, 0xD8};
  for (const Bytes& s : segments) out.insert(out.end(), s.begin(), s.end());
  const Bytes tail = {0xFF, 0xDA, 0x00, 0x02, 0x12, 0x34, 0xFF, 0xD9};
  out.insert(out.end(), tail.begin(), tail.end());
  return out;
}

TEST(ExifOrientation, TagInEitherByteOrder) {
  for (const bool little : {true, false}) {
    for (uint32_t value = 0; value <= 10; ++value) {
      SCOPED_TRACE((little ? "II, " : "MM, ") + std::to_string(value));
      const Bytes jpeg = jpeg_with({segment(0xE1, orientation_exif(little, value))});
      const int32_t want = value >= 1 && value <= 8 ? static_cast<int32_t>(value) : 1;
      EXPECT_EQ(read_exif_orientation(jpeg.data(), static_cast<int32_t>(jpeg.size())), want);
    }
  }
}

TEST(ExifOrientation, DamagedOrMisplacedTagsGiveNoTurn) {
  const Bytes six = orientation_exif(true, 6);
  Bytes bad_order = six;
  bad_order[6] = 'I', bad_order[7] = 'M';
  Bytes bad_magic = six;
  bad_magic[8] = 43;
  Bytes ifd_past_end = six;
  ifd_past_end[10] = 0xF0;
  Bytes too_many_entries = six;
  too_many_entries[14] = 40;
  const Bytes as_long = exif_content(true, {{0x0112, 4, 1, 6}});
  const Bytes two_values = exif_content(true, {{0x0112, 3, 2, 6}});
  const Bytes no_tag = exif_content(true, {{0x010F, 2, 4, 0}});
  Bytes xmp = {'h', 't', 't', 'p', ':', '/', '/', 'n', 's', '.'};
  // The segment's length stops just before the orientation entry, whose bytes follow at once:
  // reading past the segment would find a 6.
  Bytes short_length = segment(0xE1, six);
  const size_t entry_at = 6 + 8 + 2 + 12;
  short_length[2] = 0;
  short_length[3] = static_cast<uint8_t>(2 + entry_at);
  const struct {
    const char* what;
    Bytes jpeg;
    int32_t want;
  } cases[] = {
      {"no Exif segment", jpeg_with({segment(0xE0, {'J', 'F', 'I', 'F', 0})}), 1},
      {"another APP1 first, then Exif", jpeg_with({segment(0xE1, xmp), segment(0xE1, six)}), 6},
      {"Exif in APP2", jpeg_with({segment(0xE2, six)}), 1},
      {"byte order mark II/MM mixed", jpeg_with({segment(0xE1, bad_order)}), 1},
      {"TIFF magic not 42", jpeg_with({segment(0xE1, bad_magic)}), 1},
      {"IFD0 past the segment", jpeg_with({segment(0xE1, ifd_past_end)}), 1},
      {"entry count past the segment", jpeg_with({segment(0xE1, too_many_entries)}), 1},
      {"a LONG, not a SHORT", jpeg_with({segment(0xE1, as_long)}), 1},
      {"two values", jpeg_with({segment(0xE1, two_values)}), 1},
      {"the first Exif segment has no tag", jpeg_with({segment(0xE1, no_tag), segment(0xE1, six)}),
       1},
      {"the entry lies past the segment's length", jpeg_with({short_length}), 1},
      {"fill bytes before the marker", jpeg_with({{0xFF, 0xFF}, segment(0xE1, six)}), 6},
      {"Exif after the scan",
       [&] {
         Bytes j = jpeg_with({});
         const Bytes s = segment(0xE1, six);
         j.insert(j.end() - 2, s.begin(), s.end());
         return j;
       }(),
       1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(read_exif_orientation(c.jpeg.data(), static_cast<int32_t>(c.jpeg.size())), c.want);
  }
}

// Every prefix of a file whose Exif segment ends the buffer: nothing past it may be read, which
// AddressSanitizer sees, as each prefix is a block of its own.
TEST(ExifOrientation, CutFilesAreReadOnlyWithinTheirBytes) {
  Bytes full = {0xFF, 0xD8};
  const Bytes s = segment(0xE1, orientation_exif(false, 8));
  full.insert(full.end(), s.begin(), s.end());
  for (size_t size = 0; size <= full.size(); ++size) {
    SCOPED_TRACE(size);
    const Bytes prefix(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(size));
    EXPECT_EQ(read_exif_orientation(prefix.data(), static_cast<int32_t>(size)),
              size == full.size() ? 8 : 1);
  }
}

BmpPicture converted(const std::string& in, const std::string& out, bool auto_orient,
                     int32_t* orientation) {
  ConversionOptions options;
  options.auto_orient = auto_orient;
  options.print_message = false;
  const ConversionOutcome outcome = convert_jpeg(in.c_str(), out.c_str(), options);
  EXPECT_EQ(outcome.result, BMPSEPIA_CONVERTED) << outcome.message;
  if (orientation != nullptr) *orientation = outcome.orientation;
  BmpPicture picture;
  EXPECT_TRUE(read_bmp(read_file(out), &picture)) << out;
  return picture;
}

// The sepia picture of a photograph with an Exif segment put in front, for each orientation
// and byte order, is the plain output turned as the orientation asks; without the option the
// output stays the plain one. A progressive photograph too, whose rows are made from its
// coefficients as they are asked for, in whatever order the turn asks for them.
TEST(AutoOrient, EveryOrientationIsThePlainPictureTurned) {
  for (const char* name :
       {"gofuzz_video001_150x103_422.jpg", "wide/prog_video001_150x103_422_dri2.jpg"}) {
    SCOPED_TRACE(name);
    TempDir dir;
    const Bytes photo = read_file(corpus_dir() + "/" + name);
    ASSERT_FALSE(photo.empty()) << "corpus missing at " << corpus_dir();
    write_file(dir.path("plain.jpg"), photo);
    const BmpPicture plain = converted(dir.path("plain.jpg"), dir.path("plain.bmp"), true, nullptr);
    ASSERT_EQ(plain.width, 150);
    for (const bool little : {true, false}) {
      for (int32_t orientation = 1; orientation <= 8; ++orientation) {
        SCOPED_TRACE((little ? "II, " : "MM, ") + std::to_string(orientation));
        const Bytes app1 =
            segment(0xE1, orientation_exif(little, static_cast<uint32_t>(orientation)));
        Bytes jpeg(photo.begin(), photo.begin() + 2);
        jpeg.insert(jpeg.end(), app1.begin(), app1.end());
        jpeg.insert(jpeg.end(), photo.begin() + 2, photo.end());
        write_file(dir.path("turned.jpg"), jpeg);
        int32_t applied = 0;
        const BmpPicture turned =
            converted(dir.path("turned.jpg"), dir.path("turned.bmp"), true, &applied);
        EXPECT_EQ(applied, orientation);
        EXPECT_EQ(picture_difference(turned, upright(plain, orientation)), "");
        EXPECT_EQ(picture_difference(converted(dir.path("turned.jpg"), dir.path("plain_again.bmp"),
                                               false, nullptr),
                                     plain),
                  "");
      }
    }
  }
  EXPECT_EQ(platform_live_allocations(), 0);
}

// A real phone photograph stored on its side (orientation 6, big-endian) comes out upright.
TEST(AutoOrient, PhonePhotographStoredOnItsSide) {
  TempDir dir;
  const std::string in = corpus_dir() + "/recurser_landscape6_1200x1800_420_exif.jpg";
  int32_t applied = 0;
  const BmpPicture plain = converted(in, dir.path("plain.bmp"), false, nullptr);
  const BmpPicture turned = converted(in, dir.path("turned.bmp"), true, &applied);
  EXPECT_EQ(applied, 6);
  EXPECT_EQ(plain.width, 1200);
  EXPECT_EQ(picture_difference(turned, turn_clockwise(plain)), "");
}

// A quarter turn holds the whole picture; without memory for it the conversion fails with the
// decoding message and holds nothing.
TEST(AutoOrient, NoMemoryForAQuarterTurn) {
  TempDir dir;
  const Bytes photo = read_file(corpus_dir() + "/gofuzz_video001_150x103_422.jpg");
  const Bytes app1 = segment(0xE1, orientation_exif(true, 6));
  Bytes jpeg(photo.begin(), photo.begin() + 2);
  jpeg.insert(jpeg.end(), app1.begin(), app1.end());
  jpeg.insert(jpeg.end(), photo.begin() + 2, photo.end());
  write_file(dir.path("in.jpg"), jpeg);
  ConversionOptions options;
  options.auto_orient = true;
  options.print_message = false;
  bool refused = false;
  for (int32_t nth = 1; nth <= 64; ++nth) {
    SCOPED_TRACE(nth);
    platform_fail_allocation(nth);
    const ConversionOutcome outcome =
        convert_jpeg(dir.path("in.jpg").c_str(), dir.path("out.bmp").c_str(), options);
    platform_fail_allocation(0);
    EXPECT_EQ(platform_live_allocations(), 0);
    if (outcome.result == BMPSEPIA_CONVERTED) break;
    refused = refused || outcome.fault == Fault::out_of_memory;
    EXPECT_FALSE(file_exists(dir.path("out.bmp")));
  }
  EXPECT_TRUE(refused);
}

}  // namespace
