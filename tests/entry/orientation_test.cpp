// --auto-orient: the EXIF Orientation tag read from the first Exif segment, however it may be
// damaged, and the upright picture, which must be the plain output turned.

#include "entry/orientation.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "entry/conversion.h"
#include "jpeg/exif.h"
#include "platform/platform.h"
#include "support/bmp_picture.h"
#include "support/decoded_picture.h"
#include "support/files.h"
#include "support/jpeg_builder.h"

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
  return JpegBuilder().segment(code, content).bytes();
}

// A small real photograph with `segments` put right after its SOI, and `after_scan` between
// its scan data and its end marker.
Bytes photo_with(const std::vector<Bytes>& segments, const Bytes& after_scan = {}) {
  const Bytes photo = read_file(corpus_dir() + "/suite_32x32_420.jpg");
  Bytes out(photo.begin(), photo.begin() + 2);
  for (const Bytes& s : segments) out.insert(out.end(), s.begin(), s.end());
  out.insert(out.end(), photo.begin() + 2, photo.end() - 2);
  out.insert(out.end(), after_scan.begin(), after_scan.end());
  out.insert(out.end(), photo.end() - 2, photo.end());
  return out;
}

int32_t tiff_orientation_of(const Bytes& exif) {
  return tiff_orientation(exif.data() + 6, static_cast<int32_t>(exif.size()) - 6);
}

TEST(ExifOrientation, TagInEitherByteOrder) {
  for (const bool little : {true, false}) {
    for (uint32_t value = 0; value <= 10; ++value) {
      SCOPED_TRACE((little ? "II, " : "MM, ") + std::to_string(value));
      const int32_t want = value >= 1 && value <= 8 ? static_cast<int32_t>(value) : 1;
      EXPECT_EQ(tiff_orientation_of(orientation_exif(little, value)), want);
    }
  }
}

TEST(ExifOrientation, DamagedTagsGiveNoTurn) {
  const Bytes six = orientation_exif(true, 6);
  Bytes bad_order = six;
  bad_order[6] = 'I', bad_order[7] = 'M';
  Bytes bad_magic = six;
  bad_magic[8] = 43;
  Bytes ifd_past_end = six;
  ifd_past_end[10] = 0xF0;
  Bytes too_many_entries = six;
  too_many_entries[14] = 40;
  const struct {
    const char* what;
    Bytes exif;
  } cases[] = {
      {"byte order mark II/MM mixed", bad_order},
      {"TIFF magic not 42", bad_magic},
      {"IFD0 past the segment", ifd_past_end},
      {"entry count past the segment", too_many_entries},
      {"a LONG, not a SHORT", exif_content(true, {{0x0112, 4, 1, 6}})},
      {"two values", exif_content(true, {{0x0112, 3, 2, 6}})},
      {"no orientation tag", exif_content(true, {{0x010F, 2, 4, 0}})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(tiff_orientation_of(c.exif), 1);
  }
}

// The orientation the decoder hands over comes from the first Exif segment before the scan,
// read within its own length.
TEST(ExifOrientation, FirstExifSegmentBeforeTheScan) {
  const Bytes six = orientation_exif(true, 6);
  const Bytes xmp = {'h', 't', 't', 'p', ':', '/', '/', 'n', 's', '.'};
  const Bytes no_tag = exif_content(true, {{0x010F, 2, 4, 0}});
  const struct {
    const char* what;
    Bytes jpeg;
    int32_t want;
  } cases[] = {
      {"no Exif segment", photo_with({}), 1},
      {"Exif", photo_with({segment(0xE1, six)}), 6},
      {"another APP1 first, then Exif", photo_with({segment(0xE1, xmp), segment(0xE1, six)}), 6},
      {"Exif in APP2", photo_with({segment(0xE2, six)}), 1},
      {"the first Exif segment has no tag", photo_with({segment(0xE1, no_tag), segment(0xE1, six)}),
       1},
      {"fill bytes before the marker", photo_with({{0xFF, 0xFF}, segment(0xE1, six)}), 6},
      {"Exif after the scan", photo_with({}, segment(0xE1, six)), 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const DecodedPicture picture = decode_picture(c.jpeg);
    ASSERT_EQ(picture.result, 0) << static_cast<int>(picture.fault);
    EXPECT_EQ(picture.orientation, c.want);
  }
}

// Every prefix of a TIFF structure whose orientation entry ends it: nothing past it may be
// read, which AddressSanitizer sees, as each prefix is a block of its own.
TEST(ExifOrientation, CutStructuresAreReadOnlyWithinTheirBytes) {
  const Bytes exif = orientation_exif(false, 8);
  const Bytes tiff(exif.begin() + 6, exif.end() - 4);  // without the next IFD's offset
  for (size_t size = 0; size <= tiff.size(); ++size) {
    SCOPED_TRACE(size);
    const Bytes prefix(tiff.begin(), tiff.begin() + static_cast<std::ptrdiff_t>(size));
    EXPECT_EQ(tiff_orientation(prefix.data(), static_cast<int32_t>(size)),
              size == tiff.size() ? 8 : 1);
  }
}

BmpPicture converted(const std::string& in, const std::string& out, bool auto_orient,
                     int32_t* orientation) {
  ConversionOptions options;
  options.auto_orient = auto_orient;
  options.print_message = false;
  const ConversionOutcome outcome = convert_jpeg(in.c_str(), out.c_str(), options);
  EXPECT_EQ(outcome.status, ConversionStatus::converted) << static_cast<int>(outcome.fault);
  if (orientation != nullptr) *orientation = outcome.orientation;
  BmpPicture picture;
  EXPECT_TRUE(read_bmp(read_file(out), &picture)) << out;
  return picture;
}

// The sepia picture of a photograph with an Exif segment put in front, for each orientation
// and byte order, is the plain output turned as the orientation asks; without the option the
// output stays the plain one. A progressive photograph too, whose rows are made from its
// coefficients as they are asked for, in whatever order the turn asks for them; and pictures
// wide enough for a quarter turn to take many bands of columns.
TEST(AutoOrient, EveryOrientationIsThePlainPictureTurned) {
  for (const char* name :
       {"gofuzz_video001_150x103_422.jpg", "wide/prog_video001_150x103_422_dri2.jpg",
        "jxl_bicycles_1024x631_420_dri192.jpg", "wide/prog_f028c_591x400_444.jpg"}) {
    SCOPED_TRACE(name);
    TempDir dir;
    const Bytes photo = read_file(corpus_dir() + "/" + name);
    ASSERT_FALSE(photo.empty()) << "corpus missing at " << corpus_dir();
    write_file(dir.path("plain.jpg"), photo);
    const BmpPicture plain = converted(dir.path("plain.jpg"), dir.path("plain.bmp"), true, nullptr);
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
    if (outcome.status == ConversionStatus::converted) break;
    refused = refused || outcome.fault == Fault::out_of_memory;
    EXPECT_FALSE(file_exists(dir.path("out.bmp")));
  }
  EXPECT_TRUE(refused);
}

}  // namespace
