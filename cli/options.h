#pragma once
// The command line: what the user asked for, or why it cannot be understood.

#include <cstdint>
#include <string>
#include <vector>

enum class Mode { convert_one, convert_batch, help, version };

struct Options {
  Mode mode = Mode::convert_one;
  std::vector<std::string> inputs;  // one for convert_one
  std::string output;  // the BMP file (or folder) for convert_one, the folder of a batch
  int32_t jobs = 0;    // worker processes; 0: one per CPU
  bool recursive = false;
  bool quiet = false;
  bool update = false;       // leave alone each output no older than its input
  bool sync = false;         // flush each output and its folder before counting it converted
  bool auto_orient = false;  // turn each picture upright as its EXIF orientation says
  bool salvage = false;      // write what can be recovered of a damaged file
  uint64_t max_pixels = 0;   // refuse larger pictures; 0: no limit but the library's
};

struct ParsedArguments {
  bool ok = false;
  Options options;
  std::string error;  // one line without the program name, when !ok
};

constexpr int32_t max_jobs = 256;
constexpr uint64_t max_pixels_limit = 1'000'000'000'000'000;

// `args` excludes the program name. Options and operands may come in any order; "--" ends
// the options.
ParsedArguments parse_arguments(const std::vector<std::string>& args);

const char* usage_text();  // the full --help text
