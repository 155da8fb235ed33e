/* libzal: the ZAL codec of 8-bit grey images, memory to memory.
 *
 * Every int result is 0 or a status (ZAL_STATUS_*, or the number the ZAL
 * programs print for the same failure); zal_strerror gives its text. Buffers
 * the library returns are freed with zal_free. Any number of calls may run
 * at once on any threads; the output bytes depend only on the inputs and the
 * parameters. The library never prints, never exits and frees everything it
 * allocated on every error. */
#ifndef ZAL_ZAL_H
#define ZAL_ZAL_H

#include <stddef.h>
#include <stdint.h>

#define ZAL_VERSION_MAJOR 1
#define ZAL_VERSION_MINOR 3
#define ZAL_VERSION_PATCH 0
#define ZAL_VERSION_NUMBER (ZAL_VERSION_MAJOR * 1000000 + ZAL_VERSION_MINOR * 1000 + ZAL_VERSION_PATCH)

#if defined(__GNUC__)
#define ZAL_API __attribute__((visibility("default")))
#else
#define ZAL_API
#endif

/* Statuses of the library alone; the others are the programs' numbers
 * (1xx image, 2xx coder, 3xx transform). */
#define ZAL_STATUS_OK 0
#define ZAL_STATUS_NO_MEMORY 209         /* wherever memory runs out */
#define ZAL_STATUS_INVALID_ARGUMENT 401  /* null pointer, size <= 0, stride < width, unknown flag, reserved != 0 */
#define ZAL_STATUS_UNREACHABLE_RATE 402  /* the target is below the lowest rate */
#define ZAL_STATUS_NO_QUANT_FOUND 403    /* no quantization within the trial limit */
#define ZAL_STATUS_CANCELLED 404         /* the trial callback returned non-zero */

/* zal_params.flags */
#define ZAL_RDO 0x4u  /* choose what to code by rate and distortion: same format, a better image
                         for the size, several times slower, three more plane-sized arrays */

#ifdef __cplusplus
extern "C" {
#endif

/* zal_params.flags. ZAL_PAD: any size from 1 x 1 is coded, padded to sides
 * that are multiples of 2^(levels+1) (at most 8191, else status 211); the
 * stream is followed by 14 bytes that give the true size and a CRC-32 of the
 * file (ZAL_CHECKSUM's). ZAL_CHECKSUM: the stream is followed by those bytes.
 * Sizes and rates count them, rates over the true size. */
#define ZAL_PAD 0x1u
#define ZAL_CHECKSUM 0x2u

typedef struct zal_params {
  int levels;
  int rplanes;
  float quant;
  unsigned flags;
  int reserved[6];
} zal_params;

/* zal_info.flags. ZAL_INFO_TRUNCATED: zal_decode read a stream that ends
 * early (a cut file); the image holds what was read, the rest as if all its
 * coefficients were 0, and the call still succeeds. ZAL_INFO_PADDED: the
 * stream codes a larger image than its true size (width, height), which an
 * extension after it gives. ZAL_INFO_CHECKSUM: that extension's CRC-32 of
 * the file was verified. */
#define ZAL_INFO_TRUNCATED 0x1u
#define ZAL_INFO_PADDED 0x2u
#define ZAL_INFO_CHECKSUM 0x4u

typedef struct zal_info {
  int width, height, levels, rplanes;
  float quant;
  unsigned flags;
  int reserved[6];
} zal_info;

/* Called once per rate-search trial; a non-zero return cancels the search. */
typedef int (*zal_trial_fn)(void *user, float quant, int rplanes, double bpp);

ZAL_API unsigned zal_version(void);                 /* ZAL_VERSION_NUMBER of the library loaded */
ZAL_API const char *zal_strerror(int status);       /* static English text; never NULL */
ZAL_API void zal_default_params(zal_params *p);     /* levels 6, rplanes 2, quant 0.895660, flags and reserved 0 */
ZAL_API int zal_read_header(const uint8_t *data, size_t size, zal_info *info);
ZAL_API int zal_encode(const uint8_t *pixels, int width, int height, size_t stride,
                       const zal_params *p, uint8_t **out, size_t *out_size);
ZAL_API int zal_encoded_size(const uint8_t *pixels, int width, int height, size_t stride,
                             const zal_params *p, size_t *size);
ZAL_API int zal_encode_to_rate(const uint8_t *pixels, int width, int height, size_t stride,
                               double target_bpp, float start_quant, zal_params *p,
                               int keep_rplanes, zal_trial_fn on_trial, void *user,
                               uint8_t **out, size_t *out_size);
ZAL_API int zal_decode(const uint8_t *data, size_t size, zal_info *info, uint8_t **pixels);
ZAL_API double zal_psnr(const uint8_t *a, const uint8_t *b, int width, int height, size_t stride);
ZAL_API void zal_free(void *p);                     /* any buffer the library returned; NULL is fine */

#ifdef __cplusplus
}
#endif

#endif /* ZAL_ZAL_H */
