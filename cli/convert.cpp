// Conversions through bmpsepia.h. Standard input is read here into memory: a stream that does
// not begin as a JPEG file does, or grows past what the library takes, is refused at once
// rather than held to its end.

#include "cli/convert.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "cli/system.h"

namespace {

enum class Read { whole, unreadable, not_jpeg, too_large };

Read read_input(std::vector<uint8_t>* bytes) {
  if (!standard_input_readable()) return Read::unreadable;
  size_t size = 0;
  Read read = Read::whole;
  while (read == Read::whole) {
    // One byte beyond the limit tells a longer stream.
    if (bytes->size() == size) {
      bytes->resize(size == 0 ? 64 * 1024 : std::min<size_t>(2 * size, max_standard_input + 1));
    }
    const size_t got = read_standard_input(bytes->data() + size, bytes->size() - size);
    if (got == 0) break;
    size += got;
    if (size >= 2 && ((*bytes)[0] != 0xFF || (*bytes)[1] != 0xD8)) read = Read::not_jpeg;
    if (size > max_standard_input) read = Read::too_large;
  }
  bytes->resize(size);
  return read;
}

int32_t to_standard_output(void*, const void* bytes, size_t count) {
  return write_standard_output(bytes, count) ? 0 : 1;
}

bmpsepia_outcome ended(int32_t status, const char* reason) {
  bmpsepia_outcome outcome{};
  outcome.size = sizeof outcome;
  outcome.status = status;
  snprintf(outcome.reason, sizeof outcome.reason, "%s", reason);
  return outcome;
}

}  // namespace

bmpsepia_outcome convert_job(const Job& job, const bmpsepia_options& options) {
  bmpsepia_outcome outcome{};
  outcome.size = sizeof outcome;
  if (!job.from_standard_input && !job.to_standard_output) {
    bmpsepia_convert_file(job.input.c_str(), job.output.c_str(), &options, &outcome);
    return outcome;
  }
  std::vector<uint8_t> bytes;
  Read read = Read::unreadable;
  if (job.from_standard_input) {
    read = read_input(&bytes);
  } else {
    bool longer = false;
    if (read_file_bytes(job.input, max_standard_input, &bytes, &longer)) {
      read = longer ? Read::too_large : Read::whole;
    }
  }
  switch (read) {
    case Read::unreadable:
      return ended(BMPSEPIA_STATUS_INPUT_UNREADABLE, "");
    case Read::too_large:
      return ended(BMPSEPIA_STATUS_TOO_LARGE, "more than 2 GiB of input");
    case Read::not_jpeg:  // the library says so, of the bytes that came
    case Read::whole:
      break;
  }
  // An empty input is no JPEG file either: the library needs a buffer to say so.
  if (bytes.empty()) bytes.push_back(0);
  if (job.to_standard_output) {
    bmpsepia_convert_to_writer(bytes.data(), bytes.size(), to_standard_output, nullptr, &options,
                               &outcome);
  } else {
    bmpsepia_convert_memory_to_file(bytes.data(), bytes.size(), job.output.c_str(), &options,
                                    &outcome);
  }
  return outcome;
}
