// Rows written as they come. The decoder tells its sink of each MCU row made final; the sink
// renders and writes the rows itself, or raises a signal that a second thread waits on, which
// renders and writes them while the decoder goes on with the next ones. A picture whose rows
// come all at once (a progressive one, at its end) is shared out instead: the second thread
// takes its top half, the decoding thread, now free, the rest. Each thread renders with rows of
// its own; they share only the file, written at places that do not meet, and the signals.

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

// One thread's rendering and writing of MCU rows.
struct RowWriter {
  PictureRows rows{};
  bool rendering = false;   // `rows` is begun
  uint8_t* band = nullptr;  // the picture rows of one MCU row, as the file holds them
  int32_t next = 0;         // the MCU row to write next
  int32_t end = 0;          // and the one after its last
  BmpWriteResult written = BmpWriteResult::written;
};

struct Pipeline {
  DecoderState* decoder;
  const char* path;
  bool upright;
  int32_t threads;
  bool durable;
  bool started = false;   // the rows have begun to come
  bool declined = false;  // the picture is to be turned, so it is written once decoded
  bool failed = false;    // no memory to render: the decode is failed too
  BmpFile file{};
  BmpWriteResult opened = BmpWriteResult::written;
  RowWriter own;     // the decoding thread's
  RowWriter helped;  // the second thread's
  PlatformThread* helper = nullptr;
  PlatformSignal* ready = nullptr;  // MCU rows the decoder has made final
  PlatformSignal* done = nullptr;   // MCU rows the helper has written (or passed over)
};

bool begin_writer(const DecoderState& d, const BmpFile& file, RowWriter* w) {
  if (!begin_rows(d, false, RenderOptions{}, &w->rows)) return false;
  w->rendering = true;
  // One spare byte: a row may be written one byte past its end.
  w->band = static_cast<uint8_t*>(
      platform_allocate(static_cast<size_t>(file.row_bytes * w->rows.mcu_height + 1)));
  if (w->band == nullptr) w->written = BmpWriteResult::cannot_write;
  w->end = d.mcus_down;
  return true;
}

void end_writer(RowWriter* w) {
  platform_release(w->band);
  if (w->rendering) end_rows(&w->rows);
}

// Renders and writes MCU rows up to `ready` (within the writer's share); once writing has
// failed, passes over them. Raises `done` as it goes, when there is one.
void write_rows(RowWriter& w, BmpFile& file, int32_t ready, PlatformSignal* done) {
  const int32_t height = w.rows.height;
  const int64_t row_bytes = file.row_bytes;
  const int32_t pad = static_cast<int32_t>(row_bytes - int64_t{w.rows.width} * 3);
  for (; w.next < ready && w.next < w.end; ++w.next) {
    if (done != nullptr) platform_raise_signal(done, w.next);
    if (w.written != BmpWriteResult::written) continue;
    const int32_t top = w.next * w.rows.mcu_height;
    const int32_t count = top + w.rows.mcu_height <= height ? w.rows.mcu_height : height - top;
    // The band holds its lowest row first, as the file does. Rows are made in that order too:
    // each may write a spare byte past its end, where the next one will go.
    uint8_t* out = w.band;
    for (int32_t y = top + count - 1; y >= top; --y, out += row_bytes) {
      render_picture_row(&w.rows, y, out);
      for (int32_t k = 0; k < pad; ++k) out[row_bytes - pad + k] = 0;
    }
    if (!write_bmp_band(&file, top, count, w.band)) w.written = BmpWriteResult::cannot_write;
  }
  if (done != nullptr) platform_raise_signal(done, w.next);
}

void run_helper(void* context) {
  Pipeline& p = *static_cast<Pipeline*>(context);
  RowWriter& w = p.helped;
  for (int32_t seen = 0; w.next < w.end;) {
    bool ended = false;
    seen = platform_wait_signal(p.ready, seen, &ended);
    write_rows(w, p.file, seen, p.done);
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
  const Picture picture = picture_of(d);
  p.opened = begin_bmp_file(p.path, picture.width, picture.height, p.durable, &p.file);
  // A file that cannot be written still lets the decode run to its end: its fault would win.
  if (p.opened != BmpWriteResult::written) return;
  const int64_t pixels = int64_t{picture.width} * picture.height;
  const bool helper =
      p.threads > 1 ||
      (p.threads == 0 && pixels >= threaded_pixels && platform_cpu_count() > 1 &&
       conversions_under_way.load(std::memory_order_relaxed) < platform_cpu_count());
  RowWriter& w = helper ? p.helped : p.own;
  if (!begin_writer(d, p.file, &w)) {
    p.failed = true;
    return;
  }
  if (!helper) return;
  // A progressive picture's rows come all at once, at its end: shared out, the helper taking
  // the top half and this thread the rest.
  if (d.progressive && d.mcus_down > 1 && begin_writer(d, p.file, &p.own)) {
    p.own.next = p.helped.end = d.mcus_down / 2;
  }
  p.ready = platform_new_signal();
  p.done = platform_new_signal();
  if (p.ready != nullptr && p.done != nullptr) p.helper = platform_start_thread(run_helper, &p);
  if (p.helper == nullptr) {
    // Without a second thread the rows are written here, between the decoder's.
    platform_delete_signal(p.ready);
    platform_delete_signal(p.done);
    p.ready = p.done = nullptr;
    end_writer(&p.own);
    p.own = p.helped;
    p.own.end = d.mcus_down;  // all of them, not the share the helper would have had
    p.helped = RowWriter{};
  }
}

bool on_rows(void* context, int32_t ready) {
  Pipeline& p = *static_cast<Pipeline*>(context);
  DecoderState& d = *p.decoder;
  if (!p.started) start(p);
  if (p.failed) fail(d, Fault::out_of_memory);
  if (ready == 0) return !p.declined;  // the rows come as they are made, or the planes hold all
  if (p.declined || failed(d) || p.opened != BmpWriteResult::written) return false;
  if (p.helper == nullptr) {
    write_rows(p.own, p.file, ready, nullptr);
    return true;
  }
  platform_raise_signal(p.ready, ready);
  write_rows(p.own, p.file, ready, nullptr);  // this thread's share, if it has one
  // Where the planes keep only the last few MCU rows, the next one may go only where the
  // helper has finished with the row it held.
  const int32_t ring = d.ring_rows;
  bool ended = false;
  for (int32_t done = 0; ring != 0 && done <= ready - ring && !ended;) {
    done = platform_wait_signal(p.done, ready - ring, &ended);
  }
  return true;
}

BmpWriteResult worst(BmpWriteResult a, BmpWriteResult b) {
  return a != BmpWriteResult::written ? a : b;
}

}  // namespace

PipelineOutcome decode_into_file(DecoderState& d, const uint8_t* data, int32_t size,
                                 const char* path, bool upright, int32_t threads, bool durable) {
  Pipeline p;
  p.decoder = &d;
  p.path = path;
  p.upright = upright;
  p.threads = threads;
  p.durable = durable;
  d.rows_sink = on_rows;
  d.rows_context = &p;
  conversions_under_way.fetch_add(1, std::memory_order_relaxed);
  decode_jpeg(d, data, size);
  d.rows_sink = nullptr;
  if (p.helper != nullptr) {
    platform_end_signal(p.ready);
    platform_join_thread(p.helper);
  }
  conversions_under_way.fetch_sub(1, std::memory_order_relaxed);
  platform_delete_signal(p.ready);
  platform_delete_signal(p.done);
  end_writer(&p.own);
  end_writer(&p.helped);
  const BmpWriteResult written = worst(p.opened, worst(p.own.written, p.helped.written));
  const bool opened = p.opened == BmpWriteResult::written && p.started && !p.declined;
  // A fault of the decode wins over whatever the writing met, and leaves nothing behind.
  if (failed(d) || written != BmpWriteResult::written) {
    if (opened) abandon_bmp_file(&p.file);
    return PipelineOutcome{!failed(d) && p.started && !p.declined, written};
  }
  if (!p.started || p.declined) return PipelineOutcome{false, BmpWriteResult::written};
  return PipelineOutcome{true, finish_bmp_file(&p.file)};
}
