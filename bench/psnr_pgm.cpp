// Helper of compare-peers.sh: the PSNR of two grey-scale images, measured
// with our own image module so that every codec's figure is computed the
// same way as ZALdecod's --compare.
//   psnr_pgm A          prints "width height" of A
//   psnr_pgm A B        prints the PSNR of B against A in dB (2 decimals)
// Exit status 1 (and a message on standard error) when a file cannot be read
// or the sizes differ.
#include <cstdio>
#include <cstdlib>

#include "image/ImagenLuminanciaES.h"

namespace {

constexpr signed char kGap = 0;

int* Carga(const char* nombre, int* ancho, int* alto) {
  int* plano = nullptr;
  const int codigo = CargaImagenLuminancia(nombre, ancho, alto, &plano, kGap);
  if (codigo != 0) {
    char texto[128];
    ImagenCheckError(codigo, texto);
    std::fprintf(stderr, "psnr_pgm: %s: %s\n", nombre, texto);
    return nullptr;
  }
  return plano;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2 && argc != 3) {
    std::fprintf(stderr, "usage: psnr_pgm REFERENCE [IMAGE]\n");
    return 1;
  }
  int ancho = 0, alto = 0;
  int* referencia = Carga(argv[1], &ancho, &alto);
  if (!referencia) return 1;
  if (argc == 2) {
    std::printf("%d %d\n", ancho, alto);
    std::free(referencia);
    return 0;
  }
  int ancho2 = 0, alto2 = 0;
  int* imagen = Carga(argv[2], &ancho2, &alto2);
  if (!imagen) return 1;
  if (ancho2 != ancho || alto2 != alto) {
    std::fprintf(stderr, "psnr_pgm: %s is %dx%d, %s is %dx%d\n", argv[1], ancho, alto, argv[2],
                 ancho2, alto2);
    return 1;
  }
  std::printf("%.2f\n", static_cast<double>(CalculaPSNRLuminancia(ancho, alto, referencia, imagen, kGap)));
  std::free(referencia);
  std::free(imagen);
  return 0;
}
