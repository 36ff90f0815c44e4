/* bmpsepia: turns a JPEG photograph into a sepia-toned 24-bit BMP picture. */
#ifndef BMPSEPIA_H
#define BMPSEPIA_H

#if defined(_WIN32)
#include <wchar.h>
typedef wchar_t bmpsepia_char; /* 16 bits on Windows */
#if defined(BMPSEPIA_BUILDING)
#define BMPSEPIA_API __declspec(dllexport)
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

#ifdef __cplusplus
extern "C" {
#endif

/* Converts the JPEG file at jpeg_path into a sepia BMP file at bmp_path. Both paths are
 * null-terminated UTF-16 strings. Returns 999 when the BMP file was written, 1 when anything
 * failed; a failure also prints one line on the standard error stream. Any number of threads
 * may call it at once. */
BMPSEPIA_API int BMPSepia(const bmpsepia_char* jpeg_path, const bmpsepia_char* bmp_path);

#ifdef __cplusplus
}
#endif

#endif
