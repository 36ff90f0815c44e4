/* bmpsepia: turns a JPEG photograph into a sepia-toned 24-bit BMP picture.
 *
 * Two ways in. BMPSepia converts a file over UTF-16 paths and prints its failures, as it always
 * has. The bmpsepia_* functions, for programs that embed the library, take UTF-8 paths or bytes
 * in memory and options, never print, and say how a conversion ended and why. All of them may
 * be called from any number of threads at once.
 *
 * Link the shared library (libbmpsepia.so, bmpsepia.dll); a program linking the static one on
 * Windows defines BMPSEPIA_STATIC before including this header. */
#ifndef BMPSEPIA_H
#define BMPSEPIA_H

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#if defined(_WIN32)
#include <wchar.h>
typedef wchar_t bmpsepia_char; /* 16 bits on Windows */
#if defined(BMPSEPIA_STATIC) || defined(BMPSEPIA_BUILDING)
#define BMPSEPIA_API /* the DLL's exports are named in its definition file */
#else
#define BMPSEPIA_API __declspec(dllimport)
#endif
#else
#if defined(__cplusplus)
typedef char16_t bmpsepia_char;
#else
#include <uchar.h>
typedef char16_t bmpsepia_char;
#endif
#define BMPSEPIA_API __attribute__((visibility("default")))
#endif

/* Results of BMPSepia. */
#define BMPSEPIA_CONVERTED 999
#define BMPSEPIA_FAILED 1

/* The version of the bmpsepia_* interface below. */
#define BMPSEPIA_API_VERSION 1

#ifdef __cplusplus
extern "C" {
#endif

/* Converts the JPEG file at jpeg_path into a sepia BMP file at bmp_path. Both paths are
 * null-terminated UTF-16 strings. Returns 999 when the BMP file was written, 1 when anything
 * failed; a failure also prints one line on the standard error stream. */
BMPSEPIA_API int BMPSepia(const bmpsepia_char* jpeg_path, const bmpsepia_char* bmp_path);

/* How a bmpsepia_* conversion ended: the result of each function and the outcome's status. */
enum bmpsepia_status {
  BMPSEPIA_STATUS_CONVERTED = 0,
  BMPSEPIA_STATUS_SALVAGED,         /* damaged, written as far as it could be recovered */
  BMPSEPIA_STATUS_INPUT_UNREADABLE, /* the input cannot be opened, sized or read */
  BMPSEPIA_STATUS_NOT_JPEG,
  BMPSEPIA_STATUS_UNSUPPORTED, /* a JPEG file of a kind the decoder does not take */
  BMPSEPIA_STATUS_DAMAGED,     /* a file that breaks the format */
  BMPSEPIA_STATUS_TOO_LARGE,   /* beyond max_pixels or the 2 GiB bound */
  BMPSEPIA_STATUS_OUT_OF_MEMORY,
  BMPSEPIA_STATUS_OUTPUT_UNWRITABLE, /* the output cannot be created or replaced */
  BMPSEPIA_STATUS_WRITE_FAILED,      /* writing failed part way; nothing is left behind */
  BMPSEPIA_STATUS_BAD_ARGUMENT       /* an unknown size, a null path or buffer */
};

/* Options of a conversion. Set them up with bmpsepia_options_init, then change what you need. A
 * null options pointer means all defaults. */
struct bmpsepia_options {
  uint64_t max_pixels;  /* a larger frame is refused as TOO_LARGE before its planes are
                         * allocated; 0: no limit but the 2 GiB bound */
  uint32_t size;        /* sizeof the caller's struct, which an older, smaller one may be */
  int32_t auto_orient;  /* nonzero: written upright as the photograph's EXIF orientation says */
  int32_t salvage;      /* nonzero: a damaged file is written as far as it can be recovered */
  int32_t threads;      /* 0: the library's choice (BMPSEPIA_THREADS, else a second thread for a
                         * large picture); 1: the calling thread only; 2 or more: a second
                         * thread for any picture. Wins over BMPSEPIA_THREADS. */
  int32_t sync;         /* nonzero: an output file and its folder reach the disk before the
                         * call returns */
  uint32_t reserved[3]; /* zero */
};

/* How a conversion ended. The caller sets size; the library fills in what fits in it. */
struct bmpsepia_outcome {
  uint32_t size;  /* sizeof the caller's struct */
  int32_t status; /* an enum bmpsepia_status value, as returned */
  uint32_t width; /* of the picture written, or 0 */
  uint32_t height;
  uint32_t recovered_percent; /* of a picture written: its blocks decoded, rounded down (100
                               * unless salvaged) */
  int32_t salvage_recovers;   /* of a refused one: 1 when salvage would have written it */
  char reason[128];           /* why it was refused or salvaged, in a few words, as the tool
                               * prints it in parentheses ("damaged: bad Huffman code in scan
                               * 1", "not a JPEG file"); "" when there is nothing to say */
};

static inline void bmpsepia_options_init(struct bmpsepia_options* options) {
  memset(options, 0, sizeof *options);
  options->size = sizeof *options;
}

/* Converts the JPEG file at jpeg_path into a BMP file at bmp_path, both UTF-8. The output
 * appears only when complete, and replaces only a regular file. outcome may be null. */
BMPSEPIA_API int32_t bmpsepia_convert_file(const char* jpeg_path, const char* bmp_path,
                                           const struct bmpsepia_options* options,
                                           struct bmpsepia_outcome* outcome);
#if defined(_WIN32)
/* The same with UTF-16 paths. */
BMPSEPIA_API int32_t bmpsepia_convert_file_w(const wchar_t* jpeg_path, const wchar_t* bmp_path,
                                             const struct bmpsepia_options* options,
                                             struct bmpsepia_outcome* outcome);
#endif

/* Converts jpeg_size bytes at jpeg into a BMP file in memory: *bmp is set to a block of
 * *bmp_size bytes, which the caller releases with bmpsepia_free. On failure *bmp is null and
 * *bmp_size 0. The bytes are those bmpsepia_convert_file writes. */
BMPSEPIA_API int32_t bmpsepia_convert_memory(const void* jpeg, size_t jpeg_size, void** bmp,
                                             size_t* bmp_size,
                                             const struct bmpsepia_options* options,
                                             struct bmpsepia_outcome* outcome);

/* Converts jpeg_size bytes at jpeg into a BMP file at bmp_path (UTF-8), as
 * bmpsepia_convert_file does. */
BMPSEPIA_API int32_t bmpsepia_convert_memory_to_file(const void* jpeg, size_t jpeg_size,
                                                     const char* bmp_path,
                                                     const struct bmpsepia_options* options,
                                                     struct bmpsepia_outcome* outcome);

/* Takes the next count bytes of the BMP file; returns 0 when they were taken, anything else to
 * stop the conversion as WRITE_FAILED. */
typedef int32_t (*bmpsepia_write_fn)(void* context, const void* bytes, size_t count);

/* Converts jpeg_size bytes at jpeg and hands the BMP file to write in pieces, in order, once the
 * picture has decoded: nothing is written for a file that is refused. For pipes and sockets,
 * without the whole picture in memory. */
BMPSEPIA_API int32_t bmpsepia_convert_to_writer(const void* jpeg, size_t jpeg_size,
                                                bmpsepia_write_fn write, void* context,
                                                const struct bmpsepia_options* options,
                                                struct bmpsepia_outcome* outcome);

/* Releases a block bmpsepia_convert_memory made; null does nothing. */
BMPSEPIA_API void bmpsepia_free(void* bmp);

/* The line BMPSepia prints for a failure of this status ("Error decoding jpg. Please try
 * again..."), a string constant of the library; "" for CONVERTED, SALVAGED, BAD_ARGUMENT and
 * values that are no status. */
BMPSEPIA_API const char* bmpsepia_status_message(int32_t status);

#ifdef __cplusplus
}
#endif

#endif
