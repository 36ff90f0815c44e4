// Parses the command line in the manner of Unix tools: short options that can be grouped
// (-rq, -j4, -oDIR), long ones with = or a separate value, and "--".

#include "cli/options.h"

#include <string_view>

namespace {

// A worker count from 1 to max_jobs, or 0 when `text` is not one.
int32_t parse_jobs(std::string_view text) {
  if (text.empty() || text.size() > 4) return 0;
  int32_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return 0;
    value = value * 10 + (c - '0');
  }
  return value <= max_jobs ? value : 0;
}

// A pixel count from 1 to 10^15, or 0 when `text` is not one; K, M and G multiply by 10^3,
// 10^6 and 10^9, so that 50M is 50 megapixels.
uint64_t parse_pixels(std::string_view text) {
  uint64_t scale = 1;
  if (!text.empty()) {
    const char last = text.back();
    scale = last == 'K' || last == 'k' ? 1000
            : last == 'M'              ? 1000000
            : last == 'G'              ? 1000000000
                                       : 1;
    if (scale != 1) text.remove_suffix(1);
  }
  if (text.empty() || text.size() > 15) return 0;
  uint64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return 0;
    value = value * 10 + static_cast<uint64_t>(c - '0');
  }
  value *= scale;
  return value <= max_pixels_limit ? value : 0;
}

class Parser {
 public:
  explicit Parser(const std::vector<std::string>& arguments) : args(arguments) {}
  ParsedArguments run();

 private:
  const std::vector<std::string>& args;
  size_t next = 0;
  ParsedArguments parsed;
  bool output_given = false;
  bool help = false;
  bool version = false;

  bool fail(std::string message) {
    if (parsed.error.empty()) parsed.error = std::move(message);
    return false;
  }

  // The value of an option: the rest of the same argument, or the next argument.
  bool take_value(std::string_view name, std::string_view attached, bool has_attached,
                  std::string* value) {
    if (has_attached) {
      *value = attached;
      return true;
    }
    if (next >= args.size()) return fail("option '" + std::string(name) + "' needs a value");
    *value = args[next++];
    return true;
  }

  bool set_output(const std::string& value) {
    if (output_given) return fail("option -o given twice");
    if (value.empty()) return fail("option -o needs a folder name");
    output_given = true;
    parsed.options.output = value;
    return true;
  }

  bool set_jobs(const std::string& value) {
    const int32_t jobs = parse_jobs(value);
    if (jobs == 0) {
      return fail("invalid worker count '" + value + "' for -j (want 1 to " +
                  std::to_string(max_jobs) + ")");
    }
    parsed.options.jobs = jobs;
    return true;
  }

  bool long_option(std::string_view arg) {
    const size_t equals = arg.find('=');
    const std::string_view name = arg.substr(0, equals);
    const bool has_value = equals != std::string_view::npos;
    const std::string_view attached = has_value ? arg.substr(equals + 1) : std::string_view();
    std::string value;
    if (name == "--output") {
      return take_value(name, attached, has_value, &value) && set_output(value);
    }
    if (name == "--jobs") return take_value(name, attached, has_value, &value) && set_jobs(value);
    if (name == "--max-pixels") {
      if (!take_value(name, attached, has_value, &value)) return false;
      parsed.options.max_pixels = parse_pixels(value);
      return parsed.options.max_pixels != 0 ||
             fail("invalid pixel count '" + value +
                  "' for --max-pixels (want 1 or more, as 24000000 or 24M)");
    }
    if (has_value && (name == "--recursive" || name == "--quiet" || name == "--update" ||
                      name == "--sync" || name == "--auto-orient" || name == "--salvage" ||
                      name == "--help" || name == "--version")) {
      return fail("option '" + std::string(name) + "' takes no value");
    }
    if (name == "--recursive") {
      parsed.options.recursive = true;
    } else if (name == "--quiet") {
      parsed.options.quiet = true;
    } else if (name == "--update") {
      parsed.options.update = true;
    } else if (name == "--sync") {
      parsed.options.sync = true;
    } else if (name == "--auto-orient") {
      parsed.options.auto_orient = true;
    } else if (name == "--salvage") {
      parsed.options.salvage = true;
    } else if (name == "--help") {
      help = true;
    } else if (name == "--version") {
      version = true;
    } else {
      return fail("unknown option '" + std::string(name) + "'");
    }
    return true;
  }

  bool short_options(std::string_view arg) {
    for (size_t i = 1; i < arg.size(); ++i) {
      const char letter = arg[i];
      const std::string name = std::string("-") + letter;
      const bool has_rest = i + 1 < arg.size();
      std::string value;
      switch (letter) {
        case 'o':
          return take_value(name, arg.substr(i + 1), has_rest, &value) && set_output(value);
        case 'j':
          return take_value(name, arg.substr(i + 1), has_rest, &value) && set_jobs(value);
        case 'r':
          parsed.options.recursive = true;
          break;
        case 'q':
          parsed.options.quiet = true;
          break;
        case 'u':
          parsed.options.update = true;
          break;
        case 'h':
          help = true;
          break;
        case 'V':
          version = true;
          break;
        default:
          return fail("unknown option '" + name + "'");
      }
    }
    return true;
  }
};

ParsedArguments Parser::run() {
  std::vector<std::string> operands;
  bool options_ended = false;
  // Reading goes on past an error, so that a --help further on is still seen.
  bool ok = true;
  while (next < args.size()) {
    const std::string& arg = args[next++];
    if (options_ended || arg.size() < 2 || arg[0] != '-') {
      operands.push_back(arg);
    } else if (arg == "--") {
      options_ended = true;
    } else if (arg[1] == '-') {
      ok = long_option(arg) && ok;
    } else {
      ok = short_options(arg) && ok;
    }
  }
  // Asking for help is never an error, whatever else is on the line.
  if (help || version) {
    parsed.ok = true;
    parsed.error.clear();
    parsed.options.mode = help ? Mode::help : Mode::version;
    return parsed;
  }
  if (!ok) return parsed;
  Options& options = parsed.options;
  if (output_given) {
    options.mode = Mode::convert_batch;
    options.inputs = std::move(operands);
    if (options.inputs.empty()) {
      fail("no input files given");
      return parsed;
    }
  } else if (operands.size() == 2) {
    options.mode = Mode::convert_one;
    options.inputs = {operands[0]};
    options.output = operands[1];
  } else {
    fail(operands.empty()       ? "missing input and output files"
         : operands.size() == 1 ? "missing output file after '" + operands[0] + "'"
                                : "too many files; to convert several, give -o FOLDER");
    return parsed;
  }
  parsed.ok = true;
  return parsed;
}

}  // namespace

ParsedArguments parse_arguments(const std::vector<std::string>& args) {
  Parser parser(args);
  return parser.run();
}

const char* usage_text() {
  return R"text(NAME
    bmpsepia - turn JPEG photographs into sepia-toned 24-bit BMP pictures

SYNOPSIS
    bmpsepia [-q] [-u] [--auto-orient] [--salvage] [--sync] IN.jpg|- OUT.bmp|-
    bmpsepia [-q] [-u] [--auto-orient] [--salvage] [--sync] -o OUT.bmp IN.jpg
    bmpsepia [-q] [-r] [-u] [-j N] [--auto-orient] [--salvage] [--sync]
             -o FOLDER IN...

DESCRIPTION
    The first form converts one file. When OUT.bmp is an existing folder, the
    picture is written into it as NAME.bmp. An output named as another picture
    format (.png, .jpg, .jpeg, .jpe, .jfif, .gif, .tif, .tiff, .webp, any case)
    is refused (exit status 2) rather than filled with BMP bytes.

    The second form is the first with -o: given one input that is not a
    folder, -o names the output file itself when the name ends in .bmp (any
    case) and is not an existing folder. In every other case -o names the
    folder of the third form: several inputs, a folder as input, a name
    without .bmp, or one that ends in / (on Windows \ too), as in -o out.bmp/.
    -o - is refused with a hint: standard output takes one picture, from the
    first form (bmpsepia IN.jpg -).

    A - as IN.jpg reads the JPEG file from standard input; a - as OUT.bmp
    writes the BMP picture to standard output (a pipe, a file, a socket), only
    once the picture is decoded, so that nothing goes there when it fails.
    Messages stay on standard error. A terminal is refused as either stream.
    Standard input that does not start as a JPEG file does is refused at once,
    and more than 2 GiB of it as soon as it passes that size.
    A stream conversion holds the input in memory (up to twice its size while
    it arrives) and writes nothing to disk of its own, so a conversion killed
    part way leaves nothing behind. A file named - is given as ./-.

    The third form converts many files into FOLDER, which is created when it
    does not exist. Each input NAME.jpg becomes FOLDER/NAME.bmp. An input that
    is a folder contributes the JPEG files in it (NAME.jpg, .jpeg, .jpe or
    .jfif, any case); with -r its subfolders too, whose layout is kept under
    FOLDER. Names starting with a dot are passed over. Two inputs that would
    give the same output are reported and only the first is converted.
    Existing outputs are replaced, but never an input file.

    With -u a file is converted only when its output is missing or older than
    the input, as cp -u and rsync -u do: a batch stopped part way, run again
    the same way, converts only what it had not done. The judge is the
    modification time alone, never the content. A stream is always converted.
    The summary counts the files skipped.

    An output file appears only when complete: a failed or interrupted
    conversion leaves whatever was there before. An existing output is
    replaced only when it is a regular file you may write, in a folder that
    lets you replace it; it keeps its permissions (and, as root, its owner
    and group). A folder, named pipe, device or socket in its place is
    refused without being opened, as are a symbolic link to nothing and a
    link that another user made in a shared sticky folder such as /tmp,
    wherever on the path it stands, and, even for root, a file in such a
    folder (world- or group-writable) owned by neither you nor the folder's
    owner. Other symbolic links are followed: their target is replaced, the
    link stays. A folder that -o creates is made part by part, and a planted
    link on its way is refused too. The new file can be read by nobody else
    until it is complete. Outputs are not flushed to the disk (no fsync), as
    with most tools; give --sync when they must survive a power cut as soon
    as they are counted.

    With --auto-orient, a photograph whose EXIF Orientation tag says how it
    was taken (a phone held upright, say) is written upright: the pixels of
    the plain output, turned or mirrored. A missing or damaged tag leaves the
    picture as stored. A quarter turn holds the whole decoded planes (never
    just their last rows) and a band of 96 columns of the picture's height.

    With --salvage, a damaged file is written as far as it can be recovered,
    as viewers show it, and told as "IN: damaged, recovered 62 % (REASON)";
    a file that converts without it converts the same with it. Recovered:
    stray bytes before a marker; a sequential scan header with progressive
    fields; a progressive scan out of order (passed over); bad or cut-short
    coded data (the scan stops there and goes on at the next restart marker,
    if any); a file cut short or ending early (what was decoded stands). What
    no scan reached is mid-grey in sepia. Not recovered: a file with no frame
    header or no scan, a missing Huffman table, a bad table segment, a kind of
    file that is not read, not enough memory. A salvaged file may claim a
    picture far larger than its data; it is held, as every file is, by the
    2 GiB bound, and takes the memory its size says. Without --salvage such a
    file is refused, with a hint when --salvage would recover it.

    JPEG files are read whether baseline, extended sequential or progressive,
    Huffman or arithmetic-coded (8-bit samples), in one scan or several,
    greyscale, YCbCr, RGB, CMYK and YCCK, any size up to what a BMP can hold
    (3 bytes a pixel within 2 GiB). 12-bit, lossless and hierarchical files
    are reported as "Error decoding jpg". Memory: the input file and the
    decoded planes (1.5 bytes a pixel for 4:2:0 colour, 3 for 4:4:4, 4 for
    CMYK), or for progressive files their coefficients (twice that).

OPTIONS
    -o, --output=FOLDER  write the pictures into FOLDER; with one input file,
                         -o OUT.bmp writes that file
    -r, --recursive      take JPEG files from subfolders of input folders too
    -j, --jobs=N         convert N files at once (default: one per CPU)
    -q, --quiet          no progress line and no summary; failures still told
    -u, --update         convert only files whose output is missing or older
                         than the input, by modification time alone
        --auto-orient    turn each picture upright as its EXIF orientation says
        --salvage        write what can be recovered of a damaged file
        --max-pixels=N   refuse pictures of more than N pixels (24000000 or
                         24M; K and G too) before any memory is taken for them
        --sync           flush each output and its folder to the disk before
                         counting it converted (slower)
    -h, --help           show this text
    -V, --version        show the version

MESSAGES
    Each failure is one line on standard error naming its file:
        photos/x.jpg: Error opening jpg. Please try again... (No such file or directory)
        photos/x.jpg: Error decoding jpg. Please try again... (REASON)
            REASON is "not supported: ..." for a kind of JPEG file that is not
            read (12-bit samples, lossless JPEG, sampling factor 5...),
            "damaged: ..." for a file that breaks the format (bad Huffman code
            in scan 1, restart marker out of order...), or "not a JPEG file"
        photos/x.jpg: damaged, recovered 62 % (bad Huffman code in scan 1)
            under --salvage; without it, a refusal that salvage would
            recover ends with "; --salvage writes what can be recovered"
        out/x.bmp: Error opening the output file.
        out/x.bmp: Error writing the output file.   (a full disk, for instance)
    The streams are named "standard input" and "standard output".
    Control characters in names are shown escaped, so that every message is
    one line: \n, \t, \r, \\ for a backslash, and \xHH for any other control
    character or a byte that is not UTF-8.
    On a terminal a batch shows one progress line; every batch ends with a
    summary line unless -q is given, such as
        bmpsepia: 41 converted, 2 salvaged, 5 skipped, 3 failed, 1.9 s
    where a count that is zero is left out.

EXIT STATUS
    0  every file was converted, or with -u skipped as up to date
    1  at least one file was not converted
    2  the command line was not understood, a stream is a terminal, or an
       output is named as another picture format
    3  every file was converted or skipped, but some only salvaged
    130  interrupted (143 when terminated): the conversions under way were
         finished, the others not started. A second interrupt stops the
         conversions under way at once; they leave nothing behind.

EXAMPLES
    bmpsepia holiday.jpg holiday.bmp
    bmpsepia -o sepia photos/*.jpg
    bmpsepia -r -j 4 --auto-orient -o sepia ~/Pictures/2019
    bmpsepia -r -u -o photos photos     (each NAME.bmp beside its NAME.jpg)
    cat photo.jpg | bmpsepia --auto-orient - - > photo.bmp
)text";
}
