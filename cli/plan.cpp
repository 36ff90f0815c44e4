// Expands folders into files, maps each input to its output and finds clashes. Only
// prepare_outputs changes anything on disk.

#include "cli/plan.h"

#include <algorithm>
#include <initializer_list>
#include <map>
#include <set>

#include "cli/utf8.h"

namespace {

bool ends_with_ignoring_case(std::string_view text, std::string_view suffix) {
  if (text.size() < suffix.size()) return false;
  const std::string_view tail = text.substr(text.size() - suffix.size());
  return std::equal(tail.begin(), tail.end(), suffix.begin(), [](char a, char b) {
    return (a >= 'A' && a <= 'Z' ? static_cast<char>(a - 'A' + 'a') : a) == b;
  });
}

std::string_view base_name(std::string_view path) {
  while (path.size() > 1 && is_path_separator(path.back())) path.remove_suffix(1);
  size_t start = path.size();
  while (start > 0 && !is_path_separator(path[start - 1])) --start;
  return path.substr(start);
}

bool is_folder(const std::string& path) { return path_kind(path) == PathKind::folder; }

// The extension of another picture format that `name` ends in, or empty. BMP bytes under such
// a name would be taken for that format, and fail to open or be mistaken for the original.
std::string_view other_image_extension(std::string_view name) {
  for (const std::string_view extension :
       {".png", ".jpg", ".jpeg", ".jpe", ".jfif", ".gif", ".tif", ".tiff", ".webp"}) {
    if (ends_with_ignoring_case(name, extension)) {
      return name.substr(name.size() - extension.size());
    }
  }
  return {};
}

// Notes the input's identity. A named pipe or device would block or fail the whole-file read,
// so only regular files go on; a missing file is left to fail, and be told, when opened.
void check_input(Job* job) {
  const PathKind kind = path_kind(job->input);
  if (kind == PathKind::missing) return;
  job->input_id = file_id(job->input);
  if (kind != PathKind::regular) job->problem = "not converted: not a regular file";
}

struct Walker {
  const Options& options;
  std::vector<Job>* jobs;
  bool passed_subfolders = false;  // without -r, a folder had subfolders that were not looked in

  void add(const std::string& input, const std::string& output_name) {
    Job job;
    job.input = input;
    job.output = join_path(options.output, output_name);
    check_input(&job);
    jobs->push_back(std::move(job));
  }

  // `relative` is where the folder sits below the operand, "" or ending in '/'.
  void walk(const std::string& folder, const std::string& relative) {
    std::vector<FolderEntry> entries;
    std::string error;
    if (!list_folder(folder, &entries, &error)) {
      Job job;
      job.input = folder;
      job.problem = "cannot read the folder: " + error;
      jobs->push_back(std::move(job));
      return;
    }
    std::sort(entries.begin(), entries.end(),
              [](const FolderEntry& a, const FolderEntry& b) { return a.name < b.name; });
    std::vector<std::string> subfolders;
    for (const FolderEntry& entry : entries) {
      if (entry.folder) {
        if (options.recursive) subfolders.push_back(entry.name);
        passed_subfolders = passed_subfolders || !options.recursive;
      } else if (entry.file && has_jpeg_extension(entry.name)) {
        add(join_path(folder, entry.name), relative + bmp_name(entry.name));
      }
    }
    for (const std::string& name : subfolders) {
      walk(join_path(folder, name), relative + name + "/");
    }
  }
};

// A name that is not UTF-8 cannot be passed on as UTF-16. The message names the output when
// the input's name is sound.
void check_names(Job* job) {
  std::u16string ignored;
  if (!job->problem.empty()) return;
  const bool input_sound = utf8_to_utf16(job->input, &ignored);
  if (input_sound && utf8_to_utf16(job->output, &ignored)) return;
  job->problem = "not converted: the file name is not valid UTF-8";
  job->problem_is_output = input_sound;
}

// --update: a job whose output is no older than its input is left alone. A stream has no time
// to compare, so it is always converted.
void mark_up_to_date(const Options& options, std::vector<Job>* jobs) {
  if (!options.update) return;
  for (Job& job : *jobs) {
    job.up_to_date = job.problem.empty() && !job.from_standard_input && !job.to_standard_output &&
                     is_up_to_date(job.output, job.input);
  }
}

// A terminal is no place for a picture's bytes, and waiting on one for a JPEG file would look
// like a hang: both are refused with the form that works.
std::string stream_problem(bool from_standard_input, bool to_standard_output) {
  if (from_standard_input && is_terminal(StandardStream::input)) {
    return "standard input is a terminal; redirect a JPEG file into it: bmpsepia - OUT.bmp < "
           "IN.jpg";
  }
  if (to_standard_output && is_terminal(StandardStream::output)) {
    return "standard output is a terminal, where a BMP picture would show as garbage; redirect "
           "it to a file or a program: bmpsepia IN.jpg - > OUT.bmp";
  }
  return "";
}

Plan plan_one(const Options& options) {
  Plan plan;
  const std::string& input = options.inputs[0];
  Job job;
  job.from_standard_input = input == stream_operand;
  job.to_standard_output = options.output == stream_operand;
  plan.usage_error = stream_problem(job.from_standard_input, job.to_standard_output);
  if (!plan.usage_error.empty()) return plan;
  if (!job.from_standard_input && is_folder(input)) {
    plan.usage_error = "'" + input + "' is a folder; to convert the files in it, give -o FOLDER";
    return plan;
  }
  const bool into_folder = !job.to_standard_output && is_folder(options.output);
  if (into_folder && job.from_standard_input) {
    plan.usage_error = "standard input has no name to give the picture in '" + options.output +
                       "'; name the output file";
    return plan;
  }
  FileId output_id;
  if (job.from_standard_input) {
    job.input = standard_input_name;
    job.input_id = standard_stream_id(StandardStream::input);
  } else {
    job.input = input;
    check_input(&job);
  }
  if (job.to_standard_output) {
    job.output = standard_output_name;
    output_id = standard_stream_id(StandardStream::output);
  } else {
    job.output =
        into_folder ? join_path(options.output, bmp_name(base_name(input))) : options.output;
    output_id = file_id(job.output);
  }
  plan.jobs.push_back(std::move(job));
  resolve_conflicts(&plan.jobs, {output_id});
  // An output that is the input is told as that, the graver mistake.
  const Job& planned = plan.jobs[0];
  const std::string_view extension =
      planned.problem.empty() && !planned.to_standard_output && !into_folder
          ? other_image_extension(planned.output)
          : std::string_view();
  if (!extension.empty()) {
    plan.usage_error = "'" + planned.output + "' ends in " + std::string(extension) +
                       ", but the picture is a BMP; name it '" + bmp_name(planned.output) + "'";
    plan.jobs.clear();
    return plan;
  }
  if (!plan.jobs[0].from_standard_input && !plan.jobs[0].to_standard_output) {
    check_names(&plan.jobs[0]);
  }
  mark_up_to_date(options, &plan.jobs);
  return plan;
}

Plan plan_batch(const Options& options) {
  Plan plan;
  if (options.output == stream_operand) {
    plan.usage_error =
        "-o takes a folder or a .bmp file; to write one picture to standard output: bmpsepia "
        "IN.jpg -";
    return plan;
  }
  if (std::find(options.inputs.begin(), options.inputs.end(), stream_operand) !=
      options.inputs.end()) {
    plan.usage_error = "standard input ('-') holds one picture, not a batch: bmpsepia - OUT.bmp";
    return plan;
  }
  Walker walker{options, &plan.jobs};
  for (const std::string& operand : options.inputs) {
    if (is_folder(operand)) {
      walker.walk(operand, "");
    } else {
      // Named files are taken whatever their extension; a missing one fails when opened.
      walker.add(operand, bmp_name(base_name(operand)));
    }
  }
  if (plan.jobs.empty()) {
    plan.fatal = walker.passed_subfolders ? "no JPEG files found (give -r to look in subfolders)"
                                          : "no JPEG files found";
    return plan;
  }
  std::vector<FileId> output_ids;
  output_ids.reserve(plan.jobs.size());
  for (const Job& job : plan.jobs) output_ids.push_back(file_id(job.output));
  resolve_conflicts(&plan.jobs, output_ids);
  for (Job& job : plan.jobs) check_names(&job);
  mark_up_to_date(options, &plan.jobs);
  return plan;
}

}  // namespace

bool has_jpeg_extension(std::string_view name) {
  for (const char* extension : {".jpg", ".jpeg", ".jpe", ".jfif"}) {
    if (ends_with_ignoring_case(name, extension)) return true;
  }
  return false;
}

std::string bmp_name(std::string_view name) {
  const size_t dot = name.rfind('.');
  // A leading dot starts a hidden name, not an extension.
  if (dot != std::string_view::npos && dot > 0) name = name.substr(0, dot);
  return std::string(name) + ".bmp";
}

std::string join_path(std::string_view folder, std::string_view name) {
  std::string path(folder);
  if (!path.empty() && !is_path_separator(path.back())) path += '/';
  path += name;
  return path;
}

void resolve_conflicts(std::vector<Job>* jobs, const std::vector<FileId>& output_ids) {
  std::set<std::pair<uint64_t, uint64_t>> inputs;
  for (const Job& job : *jobs) {
    if (job.input_id.known()) inputs.insert({job.input_id.device, job.input_id.inode});
  }
  std::map<std::string, size_t> claimed;  // output -> index of the first job writing it
  std::vector<Job> kept;
  kept.reserve(jobs->size());
  for (size_t i = 0; i < jobs->size(); ++i) {
    Job& job = (*jobs)[i];
    if (!job.problem.empty() || job.output.empty()) {
      kept.push_back(std::move(job));
      continue;
    }
    const auto [first, fresh] = claimed.emplace(job.output, kept.size());
    if (!fresh) {
      const Job& owner = kept[first->second];
      if (job.input_id.known() && job.input_id == owner.input_id) continue;  // named twice
      job.problem = "not converted: " + owner.input + " also becomes " + job.output;
    } else if (output_ids[i].known() &&
               inputs.count({output_ids[i].device, output_ids[i].inode}) != 0) {
      job.problem = "not converted: its output " + job.output + " is an input file";
    }
    kept.push_back(std::move(job));
  }
  *jobs = std::move(kept);
}

void settle_output_form(Options* options) {
  if (options->mode != Mode::convert_batch || options->inputs.size() != 1) return;
  const std::string& input = options->inputs[0];
  const std::string& output = options->output;
  if (input == stream_operand || is_folder(input) || is_folder(output)) return;
  if (ends_with_ignoring_case(output, ".bmp") || !other_image_extension(output).empty()) {
    options->mode = Mode::convert_one;
  }
}

Plan plan_conversion(const Options& options) {
  return options.mode == Mode::convert_one ? plan_one(options) : plan_batch(options);
}

void prepare_outputs(const Options& options, Plan* plan) {
  if (options.mode != Mode::convert_batch) return;
  const std::string error = make_folders(options.output);
  if (!error.empty()) {
    plan->fatal = "cannot create the folder " + options.output + ": " + error;
    return;
  }
  if (!is_folder(options.output)) {
    plan->fatal = options.output + " is not a folder";
    return;
  }
  const std::string problem = folder_write_problem(options.output);
  if (!problem.empty()) {
    plan->fatal = "cannot write into " + options.output + ": " + problem;
    return;
  }
  std::set<std::string> made;
  for (Job& job : plan->jobs) {
    if (!job.problem.empty()) continue;
    const size_t slash = job.output.rfind('/');
    const std::string folder = job.output.substr(0, slash);
    if (slash == std::string::npos || folder.size() <= options.output.size() ||
        made.count(folder) != 0) {
      continue;
    }
    const std::string failure = make_folders(folder);
    if (!failure.empty()) {
      job.problem = "cannot create the folder " + folder + ": " + failure;
      continue;
    }
    made.insert(folder);
  }
}
