#pragma once
// Which files to convert and where each picture goes, decided before anything is converted.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "cli/options.h"
#include "cli/system.h"

// "-" on the command line: the user's explicit choice of a stream, shown by these names.
constexpr const char* stream_operand = "-";
constexpr const char* standard_input_name = "standard input";
constexpr const char* standard_output_name = "standard output";

struct Job {
  // As the user named it, or the folder joined with the name found in it; for a stream, the
  // stream's name.
  std::string input;
  std::string output;
  bool from_standard_input = false;
  bool to_standard_output = false;
  FileId input_id;
  std::string problem;             // when not empty the job is not converted, and this says why
  bool problem_is_output = false;  // the output's problem: its message names the output
  bool up_to_date = false;         // --update: the output is no older than the input, so left alone
};

struct Plan {
  std::vector<Job> jobs;
  std::string usage_error;  // the command line asks for something impossible (exit 2)
  std::string fatal;        // nothing can be converted (exit 1)
};

// NAME.jpg, NAME.jpeg, NAME.jpe and NAME.jfif, in any case, count as JPEG files in a folder.
bool has_jpeg_extension(std::string_view name);
// The picture's file name: the last extension of `name` replaced by ".bmp".
std::string bmp_name(std::string_view name);
std::string join_path(std::string_view folder, std::string_view name);

// Marks jobs whose output an earlier job already claims, drops repeats of the same file to the
// same output, and marks jobs whose output is one of the inputs.
void resolve_conflicts(std::vector<Job>* jobs, const std::vector<FileId>& output_ids);

// `-o PATH` with one input that is not a folder names the output file itself when PATH ends in
// .bmp (any case), or in another picture format's extension, which is then refused, and is not
// an existing folder: the batch becomes the conversion of one file. Else PATH stays a folder.
void settle_output_form(Options* options);
Plan plan_conversion(const Options& options);
// Creates the output folder of a batch and the subfolders its jobs need.
void prepare_outputs(const Options& options, Plan* plan);
