#pragma once
// Baseline JPEG files built in code, segment by segment, so that a test can say in a few lines
// which field is wrong. JpegBuilder writes segments (with right or wrong lengths), BitWriter
// and EntropyCoder write entropy-coded data with any Huffman table, and make_jpeg puts together
// a whole valid file of a given geometry. Depends on the standard library only.

#include <cstdint>
#include <vector>

using Bytes = std::vector<uint8_t>;

struct HuffmanSpec {
  uint8_t counts[16];            // codes of length 1..16
  std::vector<uint8_t> symbols;  // by increasing code length, then code order
};

// The example tables of the JPEG standard, Annex K.3, as tests/jpeg-tables holds them.
const HuffmanSpec& standard_dc_luminance();
const HuffmanSpec& standard_ac_luminance();
const HuffmanSpec& standard_dc_chrominance();
const HuffmanSpec& standard_ac_chrominance();

struct FrameComponent {
  uint8_t id;
  uint8_t h_samp;
  uint8_t v_samp;
  uint8_t quant_index;
};

struct ScanComponent {
  uint8_t id;
  uint8_t dc_table;  // 0 or 1
  uint8_t ac_table;  // 0 or 1
};

class JpegBuilder {
 public:
  JpegBuilder& soi() { return marker(0xD8); }
  JpegBuilder& eoi() { return marker(0xD9); }
  JpegBuilder& marker(uint8_t code);  // after as many 0xFF fill bytes as fill() asked for
  JpegBuilder& fill(int32_t count) {
    fill_ = count;
    return *this;
  }
  JpegBuilder& raw(const Bytes& bytes);
  // A marker segment whose length field counts itself and the payload.
  JpegBuilder& segment(uint8_t code, const Bytes& payload);
  // The same with any length field, for segments that lie about their size.
  JpegBuilder& segment_with_length(uint8_t code, uint16_t length, const Bytes& payload);
  JpegBuilder& app0_jfif();
  JpegBuilder& dqt(uint8_t id, uint8_t value);  // all 64 values alike
  JpegBuilder& dht(uint8_t table_class, uint8_t id, const HuffmanSpec& table);
  JpegBuilder& standard_dht();  // DC 0 and AC 0 luminance, DC 1 and AC 1 chrominance
  JpegBuilder& sof0(uint16_t width, uint16_t height, const std::vector<FrameComponent>& components);
  JpegBuilder& dri(uint16_t interval);
  // Spectral selection 0..63 and no successive approximation, as baseline scans have.
  JpegBuilder& sos(const std::vector<ScanComponent>& components);
  const Bytes& bytes() const { return bytes_; }

 private:
  Bytes bytes_;
  int32_t fill_ = 0;
};

// Payloads of the segments above, for tests that change a byte before writing the segment.
Bytes sof0_payload(uint16_t width, uint16_t height, const std::vector<FrameComponent>& components);
Bytes sos_payload(const std::vector<ScanComponent>& components);
Bytes dht_payload(uint8_t table_class, uint8_t id, const HuffmanSpec& table);

// Entropy-coded bits, most significant first, with a 0x00 stuffed after every 0xFF.
class BitWriter {
 public:
  void put(uint32_t bits, int32_t count);  // the low `count` (0..24) bits of `bits`
  void align();                            // fills the last byte with 1-bits
  void marker(uint8_t code);               // aligns, then 0xFF `code` unstuffed
  const Bytes& bytes() const { return bytes_; }

 private:
  Bytes bytes_;
  uint32_t pending_ = 0;
  int32_t pending_count_ = 0;
};

// The canonical codes of one table (lengths in order, each code one more than the last and
// shifted left as the length grows).
class HuffmanCode {
 public:
  explicit HuffmanCode(const HuffmanSpec& table);
  bool has(uint8_t symbol) const { return length_[symbol] != 0; }
  // Writes the code of `symbol`; a symbol without a code is a fault of the test itself.
  void put(BitWriter* bits, uint8_t symbol) const;

 private:
  uint16_t code_[256] = {};
  uint8_t length_[256] = {};
};

// Codes quantised 8x8 blocks as a baseline scan does: DC differences and AC run/size symbols
// with their extra bits, ZRL for runs of 16 zeros and EOB after the last non-zero value.
class EntropyCoder {
 public:
  EntropyCoder();  // the standard tables: luminance for table 0, chrominance for table 1
  EntropyCoder(const HuffmanSpec& dc0, const HuffmanSpec& ac0, const HuffmanSpec& dc1,
               const HuffmanSpec& ac1);
  // `zigzag` holds the block's quantised values in zig-zag order; `predictor` is the DC value
  // of the component's previous block and becomes this block's.
  void block(const int32_t zigzag[64], int32_t table, int32_t* predictor);
  void dc_symbol(int32_t table, uint8_t symbol) { dc_[table].put(&bits, symbol); }
  void ac_symbol(int32_t table, uint8_t symbol) { ac_[table].put(&bits, symbol); }
  BitWriter bits;

 private:
  void value(int32_t v, int32_t size);
  HuffmanCode dc_[2];
  HuffmanCode ac_[2];
};

// The number of bits that a signed value needs in a DC or AC symbol (its size category).
int32_t size_category(int32_t value);

struct PictureRecipe {
  PictureRecipe();  // 16 x 16 at 4:2:0
  uint16_t width = 16;
  uint16_t height = 16;
  // Components with their sampling factors; component 0 uses quantisation and Huffman tables 0,
  // the others tables 1. The ids given here are also the scan's component selectors.
  std::vector<FrameComponent> components;
  uint16_t restart_interval = 0;  // MCUs; 0 writes no DRI segment
  uint32_t seed = 1;              // picks the block contents; 0 gives flat grey blocks
  bool end_marker = true;
  // One scan per component, in frame order or last component first, rather than one scan of
  // all. Each scan's blocks are its own, so the picture differs from the one-scan one.
  enum class Scans { one, per_component, per_component_reversed } scans = Scans::one;
  bool extended = false;         // an extended frame (SOF1) with 16-bit quantisation tables
  int32_t fill_bytes = 0;        // 0xFF fill bytes before every marker after the first
  int32_t adobe_transform = -1;  // an Adobe segment with this transform, or none
  bool jfif = true;              // a JFIF segment first
};

// Blocks in the order the scan carries them (MCU by MCU, per component its h x v blocks; one
// block per MCU for a one-component frame), each in zig-zag order.
std::vector<std::vector<int32_t>> picture_blocks(const PictureRecipe& recipe);
// The entropy-coded data of the picture's scan, restart markers included.
Bytes encode_scan(const PictureRecipe& recipe);
// The entropy-coded data of a scan of component `index` alone: its blocks row by row over the
// component's own area, restart markers included.
Bytes encode_component_scan(const PictureRecipe& recipe, int32_t index);
// A whole file: SOI, JFIF, DQT 0 and 1, the standard DHTs, SOF0, DRI when asked, SOS, the
// entropy-coded data and EOI.
Bytes make_jpeg(const PictureRecipe& recipe);

// Small valid pictures of every kind the decoder takes: every sampling layout, greyscale,
// restart intervals (with the marker index wrapping past 7), sizes that are not whole MCUs and
// the smallest sizes. Named for file names: "colour_420_35x21_dri2".
struct NamedPicture {
  const char* name;
  PictureRecipe recipe;
};
std::vector<NamedPicture> sample_pictures();
