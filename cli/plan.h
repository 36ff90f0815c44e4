#pragma once
// Which files to convert and where each picture goes, decided before anything is converted.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "cli/options.h"

struct FileId {
  uint64_t device = 0;
  uint64_t inode = 0;  // 0 when unknown
  bool known() const { return inode != 0; }
  bool operator==(const FileId&) const = default;
};

struct Job {
  std::string input;  // as the user named it, or the folder joined with the name found in it
  std::string output;
  FileId input_id;
  std::string problem;  // when not empty the job is not converted, and this says why
};

struct Plan {
  std::vector<Job> jobs;
  std::string usage_error;  // the command line asks for something impossible (exit 2)
  std::string fatal;        // nothing can be converted (exit 1)
};

// NAME.jpg and NAME.jpeg, in any case, count as JPEG files in a folder.
bool has_jpeg_extension(std::string_view name);
// The picture's file name: the last extension of `name` replaced by ".bmp".
std::string bmp_name(std::string_view name);
std::string join_path(std::string_view folder, std::string_view name);

// Marks jobs whose output an earlier job already claims, drops repeats of the same file to the
// same output, and marks jobs whose output is one of the inputs.
void resolve_conflicts(std::vector<Job>* jobs, const std::vector<FileId>& output_ids);

Plan plan_conversion(const Options& options);
// Creates the output folder of a batch and the subfolders its jobs need.
void prepare_outputs(const Options& options, Plan* plan);

// Why opening a file for reading or creating an output may have failed, as the system says it,
// or empty when nothing is found.
std::string explain_input_failure(const std::string& path);
std::string explain_output_failure(const std::string& path);
