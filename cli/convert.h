#pragma once
// One job's conversion, through the library's public API alone: a file by its path, or a
// standard stream, read and written here.

#include <cstdint>

#include "bmpsepia.h"
#include "cli/plan.h"

// The most the library takes from a stream: the largest input file it reads.
constexpr uint64_t max_standard_input = INT32_MAX;

bmpsepia_outcome convert_job(const Job& job, const bmpsepia_options& options);
