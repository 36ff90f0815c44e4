// Rows written as they come. The decoder tells its sink of each MCU row made final; the sink
// renders and writes the rows itself, or raises a signal that a second thread waits on, which
// renders and writes them while the decoder goes on with the next ones. The two share nothing
// but the signal: the planes of rows already final are only read.

#include "entry/pipeline.h"

#include <atomic>
#include <cstdint>

#include "bmp/bmp_writer.h"
#include "entry/orientation.h"
#include "jpeg/decoder.h"
#include "platform/platform.h"
#include "render/render.h"

namespace {

// Conversions of this process under way here: a second thread for one of them pays only while
// the others leave a processor free.
std::atomic<int32_t> conversions_under_way{0};

struct Pipeline {
  DecoderState* decoder;
  const char* path;
  bool upright;
  int32_t threads;
  bool started = false;   // the rows have begun to come
  bool declined = false;  // the picture is to be turned, so it is written once decoded
  PictureRows rows{};
  bool rendering = false;  // `rows` is begun
  BmpFile file{};
  BmpWriteResult written = BmpWriteResult::written;
  bool file_begun = false;
  uint8_t* band = nullptr;   // the picture rows of one MCU row, as the file holds them
  int32_t rows_written = 0;  // MCU rows
  PlatformThread* helper = nullptr;
  PlatformSignal* signal = nullptr;  // MCU rows the decoder has made final
  PlatformSignal* done = nullptr;    // MCU rows the helper has written (or passed over)
};

// Renders and writes MCU rows up to `ready`; once writing has failed, passes over them.
void write_rows(Pipeline& p, int32_t ready) {
  const int32_t height = p.rows.height;
  const int64_t row_bytes = p.file.row_bytes;
  const int32_t pad = static_cast<int32_t>(row_bytes - int64_t{p.rows.width} * 3);
  for (; p.rows_written < ready; ++p.rows_written) {
    if (p.done != nullptr) platform_raise_signal(p.done, p.rows_written);
    if (p.written != BmpWriteResult::written) continue;
    const int32_t top = p.rows_written * p.rows.mcu_height;
    const int32_t count = top + p.rows.mcu_height <= height ? p.rows.mcu_height : height - top;
    // The band holds its lowest row first, as the file does. Rows are made in that order too:
    // each may write a spare byte past its end, where the next one will go.
    uint8_t* out = p.band;
    for (int32_t y = top + count - 1; y >= top; --y, out += row_bytes) {
      render_picture_row(&p.rows, y, out);
      for (int32_t k = 0; k < pad; ++k) out[row_bytes - pad + k] = 0;
    }
    if (!write_bmp_band(&p.file, top, count, p.band)) p.written = BmpWriteResult::cannot_write;
  }
  if (p.done != nullptr) platform_raise_signal(p.done, p.rows_written);
}

void run_helper(void* context) {
  Pipeline& p = *static_cast<Pipeline*>(context);
  const int32_t all = p.decoder->mcus_down;
  for (int32_t seen = 0; seen < all;) {
    bool ended = false;
    seen = platform_wait_signal(p.signal, seen, &ended);
    write_rows(p, seen);
    if (ended) break;
  }
  platform_end_signal(p.done);  // the decoder waits on it no more
}

// At the first rows: whether to write them as they come, and with what.
void start(Pipeline& p) {
  p.started = true;
  DecoderState& d = *p.decoder;
  if (p.upright && picture_of(d).orientation != 1) {
    p.declined = true;
    return;
  }
  if (!begin_rows(d, false, RenderOptions{}, &p.rows)) {
    fail(d, Fault::out_of_memory);
    return;
  }
  p.rendering = true;
  p.written = begin_bmp_file(p.path, p.rows.width, p.rows.height, &p.file);
  p.file_begun = p.written == BmpWriteResult::written;
  if (!p.file_begun) return;
  // One spare byte: a row may be written one byte past its end.
  p.band = static_cast<uint8_t*>(
      platform_allocate(static_cast<size_t>(p.file.row_bytes * p.rows.mcu_height + 1)));
  if (p.band == nullptr) {
    p.written = BmpWriteResult::cannot_write;
    return;
  }
  const int64_t pixels = int64_t{p.rows.width} * p.rows.height;
  const bool helper =
      p.threads > 1 ||
      (p.threads == 0 && pixels >= threaded_pixels && platform_cpu_count() > 1 &&
       conversions_under_way.load(std::memory_order_relaxed) < platform_cpu_count());
  if (!helper) return;
  p.signal = platform_new_signal();
  p.done = platform_new_signal();
  if (p.signal != nullptr && p.done != nullptr) p.helper = platform_start_thread(run_helper, &p);
  if (p.helper == nullptr) {
    // Without a second thread the rows are written here, between the decoder's.
    platform_delete_signal(p.signal);
    platform_delete_signal(p.done);
    p.signal = p.done = nullptr;
  }
}

bool on_rows(void* context, int32_t ready) {
  Pipeline& p = *static_cast<Pipeline*>(context);
  if (!p.started) start(p);
  if (ready == 0) return !p.declined;  // the rows come as they are made, or the planes hold all
  if (p.declined || failed(*p.decoder) || p.band == nullptr) return false;
  if (p.helper == nullptr) {
    write_rows(p, ready);
    return true;
  }
  platform_raise_signal(p.signal, ready);
  // Where the planes keep only the last few MCU rows, the next one may go only where the
  // helper has finished with the row it held.
  const int32_t ring = p.decoder->ring_rows;
  bool ended = false;
  if (ring != 0) {
    for (int32_t done = 0; done <= ready - ring && !ended;) {
      done = platform_wait_signal(p.done, ready - ring, &ended);
    }
  }
  return true;
}

}  // namespace

PipelineOutcome decode_into_file(DecoderState& d, const uint8_t* data, int32_t size,
                                 const char* path, bool upright, int32_t threads) {
  Pipeline p;
  p.decoder = &d;
  p.path = path;
  p.upright = upright;
  p.threads = threads;
  d.rows_sink = on_rows;
  d.rows_context = &p;
  conversions_under_way.fetch_add(1, std::memory_order_relaxed);
  decode_jpeg(d, data, size);
  d.rows_sink = nullptr;
  if (p.helper != nullptr) {
    platform_end_signal(p.signal);
    platform_join_thread(p.helper);
  }
  conversions_under_way.fetch_sub(1, std::memory_order_relaxed);
  platform_delete_signal(p.signal);
  platform_delete_signal(p.done);
  platform_release(p.band);
  if (p.rendering) end_rows(&p.rows);
  // A fault of the decode wins over whatever the writing met, and leaves nothing behind.
  if (failed(d) || p.written != BmpWriteResult::written) {
    if (p.file_begun) abandon_bmp_file(&p.file);
    return PipelineOutcome{!failed(d) && p.started && !p.declined, p.written};
  }
  if (!p.started || p.declined) return PipelineOutcome{false, BmpWriteResult::written};
  return PipelineOutcome{true, finish_bmp_file(&p.file)};
}
