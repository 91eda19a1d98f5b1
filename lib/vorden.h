/* vorden: a QR Code (ISO/IEC 18004, model 2, versions 1 to 40) decoder.
 *
 * One 8-bit grey image in, the text of one symbol out. The decoder keeps a
 * single process-wide state: calls must not overlap, and the returned text
 * stays valid until the next call. */
#ifndef VORDEN_H
#define VORDEN_H

#include <stdint.h>
#include <stdio.h>

#if defined(__GNUC__)
#define VORDEN_API __attribute__((visibility("default")))
#else
#define VORDEN_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef struct StructuredAppendInfo {
    int32_t present; /* -1 when the stream began with a structured-append header, else 0 */
    int32_t length;  /* final text_length, set only when present is -1 */
    uint8_t position;
    uint8_t total;
    uint8_t parity;
} StructuredAppendInfo;

/* Decodes the symbol in a width x height luminance image (row-major, no row
 * gaps, 0 = black). pixel_depth 1 declares a two-level image (0 dark, any
 * other byte light); any other value 8-bit grey. log, when not null,
 * receives diagnostic lines. Returns the text (NUL-terminated; the bytes as
 * coded) or null. */
VORDEN_API const char* decode_symbol(const uint8_t* image, int32_t width, int32_t height, int32_t pixel_depth,
                                     FILE* log);

/* "1.2.6" */
VORDEN_API const char* decoder_version_string(void);

/* kind 1: writes an int32_t (result_partial) at out; kind 2: writes a
   `const StructuredAppendInfo*` at out; returns -1 for those, 0 otherwise. */
VORDEN_API int32_t decoder_query(int32_t kind, void* out);

/* decode_symbol first, and only when it reads nothing or reads provisionally,
 * further strategies: neighbouring versions at the finder triple's own
 * angle, a perspective transform, a local threshold, light-on-dark and
 * mirrored symbols, small images doubled. A sure read from a strategy
 * replaces a provisional one. The same contract as decode_symbol; log gets
 * its lines, then one line per strategy tried. */
VORDEN_API const char* decode_symbol_thorough(const uint8_t* image, int32_t width, int32_t height,
                                              int32_t pixel_depth, FILE* log_stream);

typedef struct ReadInfo {
    int32_t strategy;          /* 0: the designed call; 1 and up: a thorough strategy */
    const char* strategy_name; /* "designed", "geometry", "local threshold", "inverted", "enlarged" */
    int32_t mirrored;          /* -1 when the symbol was read mirrored, else 0 */
    /* The symbol's outer corners in image coordinates, where pixel (x, y)
       covers x to x + 1 and y to y + 1: its top left, top right, bottom
       right, bottom left. */
    float corners[4][2];
} ReadInfo;

/* After either entry returned a text, writes how and where it was read at
   out and returns -1; otherwise returns 0. */
VORDEN_API int32_t decoder_read_info(ReadInfo* out);

/* The decoder keeps the storage its calls free for the next call, at most as
   much as the largest call had in use at once. This gives it back to the
   system. Must not overlap a call. */
VORDEN_API void decoder_release_memory(void);

#ifdef __cplusplus
}
#endif

#endif /* VORDEN_H */
