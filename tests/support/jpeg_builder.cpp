#include "support/jpeg_builder.h"

#include <cstdio>
#include <cstdlib>

namespace {

// A fault in a test's own use of the builder, not in the code under test.
[[noreturn]] void builder_fault(const char* what) {
  fprintf(stderr, "jpeg_builder: %s\n", what);
  abort();
}

void put_be16(Bytes* out, uint32_t v) {
  out->push_back(static_cast<uint8_t>(v >> 8));
  out->push_back(static_cast<uint8_t>(v));
}

// T.81 K.3's tables, read once from the data file of the standard's tables: class DC or AC,
// slot, the 16 counts, then the symbols in hexadecimal.
const HuffmanSpec& standard_table(const char* table_class, int32_t slot) {
  static const std::vector<HuffmanSpec> tables = [] {
    std::vector<HuffmanSpec> read(4);
    FILE* file = fopen(BMPSEPIA_STANDARD_TABLES, "r");
    if (file == nullptr) builder_fault("cannot open " BMPSEPIA_STANDARD_TABLES);
    char line[2048];
    if (fgets(line, sizeof line, file) == nullptr) builder_fault("empty table file");
    while (fgets(line, sizeof line, file) != nullptr) {
      char kind[3] = {};
      int32_t index = 0;
      int consumed = 0;
      if (sscanf(line, "%2s %d%n", kind, &index, &consumed) != 2 || index < 0 || index > 1) {
        builder_fault("bad row in the table file");
      }
      HuffmanSpec& codes = read[static_cast<size_t>(2 * (kind[0] == 'A') + index)];
      const char* at = line + consumed;
      int32_t total = 0;
      for (uint8_t& count : codes.counts) {
        int value = 0;
        if (sscanf(at, "%d%n", &value, &consumed) != 1) builder_fault("bad counts");
        count = static_cast<uint8_t>(value);
        total += value;
        at += consumed;
      }
      for (int32_t i = 0; i < total; ++i) {
        unsigned value = 0;
        if (sscanf(at, "%x%n", &value, &consumed) != 1) builder_fault("too few symbols");
        codes.symbols.push_back(static_cast<uint8_t>(value));
        at += consumed;
      }
    }
    fclose(file);
    return read;
  }();
  return tables[static_cast<size_t>(2 * (table_class[0] == 'A') + slot)];
}

}  // namespace

const HuffmanSpec& standard_dc_luminance() { return standard_table("DC", 0); }
const HuffmanSpec& standard_dc_chrominance() { return standard_table("DC", 1); }
const HuffmanSpec& standard_ac_luminance() { return standard_table("AC", 0); }
const HuffmanSpec& standard_ac_chrominance() { return standard_table("AC", 1); }

JpegBuilder& JpegBuilder::marker(uint8_t code) {
  bytes_.insert(bytes_.end(), static_cast<size_t>(fill_), 0xFF);
  bytes_.push_back(0xFF);
  bytes_.push_back(code);
  return *this;
}

JpegBuilder& JpegBuilder::raw(const Bytes& bytes) {
  bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
  return *this;
}

JpegBuilder& JpegBuilder::segment(uint8_t code, const Bytes& payload) {
  if (payload.size() > 65533) builder_fault("segment payload too long");
  return segment_with_length(code, static_cast<uint16_t>(payload.size() + 2), payload);
}

JpegBuilder& JpegBuilder::segment_with_length(uint8_t code, uint16_t length, const Bytes& payload) {
  marker(code);
  put_be16(&bytes_, length);
  return raw(payload);
}

JpegBuilder& JpegBuilder::app0_jfif() {
  return segment(0xE0, {'J', 'F', 'I', 'F', 0, 1, 1, 0, 0, 1, 0, 1, 0, 0});
}

JpegBuilder& JpegBuilder::dqt(uint8_t id, uint8_t value) {
  Bytes payload(65, value);
  payload[0] = id;
  return segment(0xDB, payload);
}

Bytes dht_payload(uint8_t table_class, uint8_t id, const HuffmanSpec& table) {
  Bytes payload;
  payload.push_back(static_cast<uint8_t>(table_class << 4 | id));
  for (const uint8_t count : table.counts) payload.push_back(count);
  for (const uint8_t symbol : table.symbols) payload.push_back(symbol);
  return payload;
}

JpegBuilder& JpegBuilder::dht(uint8_t table_class, uint8_t id, const HuffmanSpec& table) {
  return segment(0xC4, dht_payload(table_class, id, table));
}

JpegBuilder& JpegBuilder::standard_dht() {
  return dht(0, 0, standard_dc_luminance())
      .dht(1, 0, standard_ac_luminance())
      .dht(0, 1, standard_dc_chrominance())
      .dht(1, 1, standard_ac_chrominance());
}

Bytes sof0_payload(uint16_t width, uint16_t height, const std::vector<FrameComponent>& components) {
  Bytes payload;
  payload.push_back(8);
  put_be16(&payload, height);
  put_be16(&payload, width);
  payload.push_back(static_cast<uint8_t>(components.size()));
  for (const FrameComponent& c : components) {
    payload.push_back(c.id);
    payload.push_back(static_cast<uint8_t>(c.h_samp << 4 | (c.v_samp & 0x0F)));
    payload.push_back(c.quant_index);
  }
  return payload;
}

JpegBuilder& JpegBuilder::sof0(uint16_t width, uint16_t height,
                               const std::vector<FrameComponent>& components) {
  return segment(0xC0, sof0_payload(width, height, components));
}

JpegBuilder& JpegBuilder::dri(uint16_t interval) {
  Bytes payload;
  put_be16(&payload, interval);
  return segment(0xDD, payload);
}

Bytes sos_payload(const std::vector<ScanComponent>& components) {
  Bytes payload;
  payload.push_back(static_cast<uint8_t>(components.size()));
  for (const ScanComponent& c : components) {
    payload.push_back(c.id);
    payload.push_back(static_cast<uint8_t>(c.dc_table << 4 | c.ac_table));
  }
  payload.push_back(0);  // spectral selection 0..63, no successive approximation
  payload.push_back(63);
  payload.push_back(0);
  return payload;
}

JpegBuilder& JpegBuilder::sos(const std::vector<ScanComponent>& components) {
  return segment(0xDA, sos_payload(components));
}

void BitWriter::put(uint32_t bits, int32_t count) {
  if (count < 0 || count > 24) builder_fault("bit count out of range");
  pending_ = pending_ << count | (bits & ((1u << count) - 1));
  pending_count_ += count;
  while (pending_count_ >= 8) {
    const auto byte = static_cast<uint8_t>(pending_ >> (pending_count_ - 8));
    bytes_.push_back(byte);
    if (byte == 0xFF) bytes_.push_back(0x00);
    pending_count_ -= 8;
  }
  pending_ &= (1u << pending_count_) - 1;
}

void BitWriter::align() {
  if (pending_count_ > 0) put(0xFF, 8 - pending_count_);
}

void BitWriter::marker(uint8_t code) {
  align();
  bytes_.push_back(0xFF);
  bytes_.push_back(code);
}

HuffmanCode::HuffmanCode(const HuffmanSpec& table) {
  uint32_t code = 0;
  size_t next = 0;
  for (int32_t length = 1; length <= 16; ++length) {
    for (int32_t i = 0; i < table.counts[length - 1]; ++i) {
      if (next >= table.symbols.size()) builder_fault("fewer symbols than counts");
      const uint8_t symbol = table.symbols[next++];
      // A symbol listed twice keeps its first (shortest) code.
      if (length_[symbol] == 0) {
        code_[symbol] = static_cast<uint16_t>(code);
        length_[symbol] = static_cast<uint8_t>(length);
      }
      ++code;
    }
    code <<= 1;
  }
}

void HuffmanCode::put(BitWriter* bits, uint8_t symbol) const {
  if (length_[symbol] == 0) builder_fault("symbol has no code in this table");
  bits->put(code_[symbol], length_[symbol]);
}

EntropyCoder::EntropyCoder()
    : EntropyCoder(standard_dc_luminance(), standard_ac_luminance(), standard_dc_chrominance(),
                   standard_ac_chrominance()) {}

EntropyCoder::EntropyCoder(const HuffmanSpec& dc0, const HuffmanSpec& ac0, const HuffmanSpec& dc1,
                           const HuffmanSpec& ac1)
    : dc_{HuffmanCode(dc0), HuffmanCode(dc1)}, ac_{HuffmanCode(ac0), HuffmanCode(ac1)} {}

int32_t size_category(int32_t value) {
  uint32_t magnitude = static_cast<uint32_t>(value < 0 ? -value : value);
  int32_t size = 0;
  while (magnitude != 0) {
    magnitude >>= 1;
    ++size;
  }
  return size;
}

void EntropyCoder::value(int32_t v, int32_t size) {
  // Negative values are sent as v - 1 in `size` bits, so that their first bit is 0.
  bits.put(static_cast<uint32_t>(v < 0 ? v - 1 : v), size);
}

void EntropyCoder::block(const int32_t zigzag[64], int32_t table, int32_t* predictor) {
  const int32_t diff = zigzag[0] - *predictor;
  *predictor = zigzag[0];
  const int32_t dc_size = size_category(diff);
  dc_symbol(table, static_cast<uint8_t>(dc_size));
  value(diff, dc_size);
  int32_t run = 0;
  for (int32_t k = 1; k < 64; ++k) {
    const int32_t v = zigzag[k];
    if (v == 0) {
      ++run;
      continue;
    }
    for (; run >= 16; run -= 16) ac_symbol(table, 0xF0);
    const int32_t size = size_category(v);
    if (size > 10) builder_fault("AC value too large for a baseline table");
    ac_symbol(table, static_cast<uint8_t>(run << 4 | size));
    value(v, size);
    run = 0;
  }
  if (run > 0) ac_symbol(table, 0x00);
}

namespace {

// A small deterministic generator for block contents.
struct Random {
  uint32_t state;
  uint32_t next() {
    state = state * 1664525u + 1013904223u;
    return state >> 8;
  }
  int32_t range(int32_t low, int32_t high) {  // inclusive
    return low + static_cast<int32_t>(next() % static_cast<uint32_t>(high - low + 1));
  }
};

std::vector<int32_t> make_block(Random* random, int32_t component, int32_t bx, int32_t by,
                                bool flat) {
  std::vector<int32_t> zz(64, 0);
  if (flat) return zz;
  // A smooth level across the picture with some texture on top: DC values stay well inside
  // the 11-bit range the standard tables code, AC values mostly in the first positions.
  zz[0] = ((bx * 7 + by * 5 + component * 40) % 120) - 60 + random->range(-4, 4);
  const int32_t count = random->range(0, 6);
  for (int32_t i = 0; i < count; ++i) {
    const int32_t k = random->next() % 4 == 0 ? random->range(1, 63) : random->range(1, 12);
    zz[static_cast<size_t>(k)] = random->range(-40, 40);
  }
  return zz;
}

int32_t max_factor(const PictureRecipe& recipe, bool horizontal) {
  int32_t m = 1;
  for (const FrameComponent& c : recipe.components) {
    const int32_t f = horizontal ? c.h_samp : c.v_samp;
    if (f > m) m = f;
  }
  return m;
}

}  // namespace

PictureRecipe::PictureRecipe() : components{{1, 2, 2, 0}, {2, 1, 1, 1}, {3, 1, 1, 1}} {}

std::vector<std::vector<int32_t>> picture_blocks(const PictureRecipe& recipe) {
  std::vector<std::vector<int32_t>> blocks;
  Random random{recipe.seed * 2654435761u + 12345u};
  const bool flat = recipe.seed == 0;
  if (recipe.components.size() == 1) {
    const int32_t across = (recipe.width + 7) / 8;
    const int32_t down = (recipe.height + 7) / 8;
    for (int32_t by = 0; by < down; ++by) {
      for (int32_t bx = 0; bx < across; ++bx)
        blocks.push_back(make_block(&random, 0, bx, by, flat));
    }
    return blocks;
  }
  const int32_t mcu_width = 8 * max_factor(recipe, true);
  const int32_t mcu_height = 8 * max_factor(recipe, false);
  const int32_t across = (recipe.width + mcu_width - 1) / mcu_width;
  const int32_t down = (recipe.height + mcu_height - 1) / mcu_height;
  for (int32_t my = 0; my < down; ++my) {
    for (int32_t mx = 0; mx < across; ++mx) {
      for (size_t i = 0; i < recipe.components.size(); ++i) {
        const FrameComponent& c = recipe.components[i];
        for (int32_t v = 0; v < c.v_samp; ++v) {
          for (int32_t h = 0; h < c.h_samp; ++h) {
            blocks.push_back(make_block(&random, static_cast<int32_t>(i), mx * c.h_samp + h,
                                        my * c.v_samp + v, flat));
          }
        }
      }
    }
  }
  return blocks;
}

Bytes encode_scan(const PictureRecipe& recipe) {
  const std::vector<std::vector<int32_t>> blocks = picture_blocks(recipe);
  // Which component each block of an MCU belongs to, in scan order.
  std::vector<int32_t> mcu_components;
  if (recipe.components.size() == 1) {
    mcu_components.push_back(0);
  } else {
    for (size_t i = 0; i < recipe.components.size(); ++i) {
      const FrameComponent& c = recipe.components[i];
      for (int32_t n = 0; n < c.h_samp * c.v_samp; ++n) {
        mcu_components.push_back(static_cast<int32_t>(i));
      }
    }
  }
  EntropyCoder coder;
  std::vector<int32_t> predictors(recipe.components.size(), 0);
  const size_t per_mcu = mcu_components.size();
  const size_t mcus = blocks.size() / per_mcu;
  int32_t restart_index = 0;
  for (size_t m = 0; m < mcus; ++m) {
    if (recipe.restart_interval != 0 && m != 0 && m % recipe.restart_interval == 0) {
      coder.bits.marker(static_cast<uint8_t>(0xD0 | restart_index));
      restart_index = (restart_index + 1) & 7;
      for (int32_t& p : predictors) p = 0;
    }
    for (size_t b = 0; b < per_mcu; ++b) {
      const int32_t component = mcu_components[b];
      coder.block(blocks[m * per_mcu + b].data(), component == 0 ? 0 : 1,
                  &predictors[static_cast<size_t>(component)]);
    }
  }
  coder.bits.align();
  return coder.bits.bytes();
}

Bytes encode_component_scan(const PictureRecipe& recipe, int32_t index) {
  const FrameComponent& c = recipe.components[static_cast<size_t>(index)];
  const int32_t h_max = max_factor(recipe, true);
  const int32_t v_max = max_factor(recipe, false);
  const int32_t across = ((recipe.width * c.h_samp + h_max - 1) / h_max + 7) / 8;
  const int32_t down = ((recipe.height * c.v_samp + v_max - 1) / v_max + 7) / 8;
  Random random{recipe.seed * 2654435761u + 777u * static_cast<uint32_t>(index)};
  EntropyCoder coder;
  const int32_t table = index == 0 ? 0 : 1;
  int32_t predictor = 0;
  int32_t restart_index = 0;
  for (int32_t n = 0; n < across * down; ++n) {
    if (recipe.restart_interval != 0 && n != 0 && n % recipe.restart_interval == 0) {
      coder.bits.marker(static_cast<uint8_t>(0xD0 | restart_index));
      restart_index = (restart_index + 1) & 7;
      predictor = 0;
    }
    const std::vector<int32_t> block =
        make_block(&random, index, n % across, n / across, recipe.seed == 0);
    coder.block(block.data(), table, &predictor);
  }
  coder.bits.align();
  return coder.bits.bytes();
}

Bytes make_jpeg(const PictureRecipe& recipe) {
  std::vector<ScanComponent> scan;
  for (size_t i = 0; i < recipe.components.size(); ++i) {
    const auto table = static_cast<uint8_t>(i == 0 ? 0 : 1);
    scan.push_back({recipe.components[i].id, table, table});
  }
  JpegBuilder jpeg;
  jpeg.soi().fill(recipe.fill_bytes);
  if (recipe.jfif) jpeg.app0_jfif();
  if (recipe.adobe_transform >= 0) {
    jpeg.segment(0xEE, {'A', 'd', 'o', 'b', 'e', 0, 100, 0, 0, 0, 0,
                        static_cast<uint8_t>(recipe.adobe_transform)});
  }
  if (recipe.extended) {
    for (uint8_t id : {uint8_t{0}, uint8_t{1}}) {
      Bytes payload(129, 0x01);  // quantisers of 0x0101 and more
      payload[0] = static_cast<uint8_t>(0x10 | id);
      for (size_t k = 1; k < payload.size(); k += 2) payload[k] = static_cast<uint8_t>(k % 3);
      jpeg.segment(0xDB, payload);
    }
  } else {
    jpeg.dqt(0, 4).dqt(1, 6);
  }
  jpeg.standard_dht().segment(recipe.extended ? 0xC1 : 0xC0,
                              sof0_payload(recipe.width, recipe.height, recipe.components));
  if (recipe.restart_interval != 0) jpeg.dri(recipe.restart_interval);
  if (recipe.scans == PictureRecipe::Scans::one) {
    jpeg.sos(scan).raw(encode_scan(recipe));
  } else {
    const auto count = static_cast<int32_t>(scan.size());
    for (int32_t n = 0; n < count; ++n) {
      const int32_t i = recipe.scans == PictureRecipe::Scans::per_component ? n : count - 1 - n;
      jpeg.sos({scan[static_cast<size_t>(i)]}).raw(encode_component_scan(recipe, i));
    }
  }
  if (recipe.end_marker) jpeg.eoi();
  return jpeg.bytes();
}

namespace {

PictureRecipe picture_of(uint16_t width, uint16_t height, std::vector<FrameComponent> components,
                         uint16_t restart_interval = 0, uint32_t seed = 1) {
  PictureRecipe recipe;
  recipe.width = width;
  recipe.height = height;
  recipe.components = std::move(components);
  recipe.restart_interval = restart_interval;
  recipe.seed = seed;
  return recipe;
}

PictureRecipe with(PictureRecipe recipe, void (*change)(PictureRecipe&)) {
  change(recipe);
  return recipe;
}

std::vector<FrameComponent> colour(uint8_t h0, uint8_t v0, uint8_t h1, uint8_t v1, uint8_t h2,
                                   uint8_t v2) {
  return {{1, h0, v0, 0}, {2, h1, v1, 1}, {3, h2, v2, 1}};
}

}  // namespace

std::vector<NamedPicture> sample_pictures() {
  const std::vector<FrameComponent> grey = {{1, 1, 1, 0}};
  return {
      {"grey_1x1", picture_of(1, 1, grey)},
      {"grey_8x8_flat", picture_of(8, 8, grey, 0, 0)},
      {"grey_13x7", picture_of(13, 7, grey)},
      {"grey_40x24_dri1", picture_of(40, 24, grey, 1)},
      {"grey_2x2_sampled_17x17", picture_of(17, 17, {{1, 2, 2, 0}})},
      {"grey_8x8_sampled_24x9", picture_of(24, 9, {{1, 8, 8, 0}})},
      {"colour_444_1x1", picture_of(1, 1, colour(1, 1, 1, 1, 1, 1))},
      {"colour_444_16x16", picture_of(16, 16, colour(1, 1, 1, 1, 1, 1))},
      {"colour_422_33x17", picture_of(33, 17, colour(2, 1, 1, 1, 1, 1))},
      {"colour_440_17x33", picture_of(17, 33, colour(1, 2, 1, 1, 1, 1))},
      {"colour_420_5x5", picture_of(5, 5, colour(2, 2, 1, 1, 1, 1))},
      {"colour_420_35x21_dri2", picture_of(35, 21, colour(2, 2, 1, 1, 1, 1), 2)},
      {"colour_420_48x48_dri1", picture_of(48, 48, colour(2, 2, 1, 1, 1, 1), 1)},
      {"colour_411_64x16", picture_of(64, 16, colour(4, 1, 1, 1, 1, 1))},
      {"colour_410_40x24_dri3", picture_of(40, 24, colour(4, 2, 1, 1, 1, 1), 3)},
      {"colour_chroma_22_11x9", picture_of(11, 9, colour(1, 1, 2, 2, 2, 2))},
      {"colour_mixed_22_21_12_24x24", picture_of(24, 24, colour(2, 2, 2, 1, 1, 2))},
      {"colour_881_24x24", picture_of(24, 24, colour(8, 8, 1, 1, 1, 1))},
      {"colour_311_29x11", picture_of(29, 11, colour(3, 1, 1, 1, 1, 1))},
      {"colour_131_11x29_dri2", picture_of(11, 29, colour(1, 3, 1, 1, 1, 1), 2)},
      {"colour_chroma_32_13_19x17", picture_of(19, 17, colour(1, 1, 3, 2, 1, 1))},
      {"colour_420_16x16_flat", picture_of(16, 16, colour(2, 2, 1, 1, 1, 1), 0, 0)},
      {"colour_420_1x1", picture_of(1, 1, colour(2, 2, 1, 1, 1, 1))},
      {"colour_411_3x3", picture_of(3, 3, colour(4, 1, 1, 1, 1, 1))},
      {"colour_420_35x21_scans",
       with(picture_of(35, 21, colour(2, 2, 1, 1, 1, 1)),
            [](PictureRecipe& r) { r.scans = PictureRecipe::Scans::per_component; })},
      {"colour_422_33x17_scans_reversed_dri2",
       with(picture_of(33, 17, colour(2, 1, 1, 1, 1, 1), 2),
            [](PictureRecipe& r) { r.scans = PictureRecipe::Scans::per_component_reversed; })},
      {"grey_17x9_extended",
       with(picture_of(17, 9, grey), [](PictureRecipe& r) { r.extended = true; })},
      {"colour_420_32x32_fill_bytes", with(picture_of(32, 32, colour(2, 2, 1, 1, 1, 1)),
                                           [](PictureRecipe& r) { r.fill_bytes = 2; })},
      {"cmyk_16x16",
       with(picture_of(16, 16, {{1, 1, 1, 0}, {2, 1, 1, 1}, {3, 1, 1, 1}, {4, 1, 1, 1}}),
            [](PictureRecipe& r) { r.adobe_transform = 0; })},
      {"ycck_2111_17x9_scans",
       with(picture_of(17, 9, {{1, 2, 2, 0}, {2, 1, 1, 1}, {3, 1, 1, 1}, {4, 2, 1, 1}}),
            [](PictureRecipe& r) {
              r.adobe_transform = 2;
              r.scans = PictureRecipe::Scans::per_component_reversed;
            })},
  };
}
