/* Codes a binary PGM image (P5, 8 bits, no comment lines) into a ZAL stream, as ZALcod does
 * with its default parameters or the quantization given.
 *   encode_file image.pgm image.zal [quant] */
#include <stdio.h>
#include <stdlib.h>
#include <zal/zal.h>

int main(int argc, char **argv) {
  if (argc < 3) return fprintf(stderr, "usage: %s in.pgm out.zal [quant]\n", argv[0]), 2;
  FILE *in = fopen(argv[1], "rb");
  int width = 0, height = 0, maxval = 0;
  if (!in || fscanf(in, "P5 %d %d %d", &width, &height, &maxval) != 3 || maxval != 255 ||
      fgetc(in) == EOF || width <= 0 || height <= 0)
    return fprintf(stderr, "%s: not an 8-bit binary PGM\n", argv[1]), 1;
  uint8_t *pixels = malloc((size_t)width * height);
  size_t got = pixels ? fread(pixels, 1, (size_t)width * height, in) : 0;
  fclose(in);
  if (got != (size_t)width * height) return fprintf(stderr, "%s: short image\n", argv[1]), 1;

  zal_params params;
  zal_default_params(&params);
  if (argc > 3) params.quant = strtof(argv[3], NULL);
  uint8_t *stream = NULL;
  size_t size = 0;
  int status = zal_encode(pixels, width, height, 0, &params, &stream, &size);
  free(pixels);
  if (status != 0) return fprintf(stderr, "zal_encode: %s (%d)\n", zal_strerror(status), status), 1;

  FILE *out = fopen(argv[2], "wb");
  int ok = out && fwrite(stream, 1, size, out) == size;
  ok = out && fclose(out) == 0 && ok;
  zal_free(stream);
  if (!ok) return fprintf(stderr, "%s: cannot write\n", argv[2]), 1;
  printf("%s: %dx%d, %zu bytes, %.4f bits per pixel\n", argv[2], width, height, size,
         8.0 * size / ((double)width * height));
  return 0;
}
