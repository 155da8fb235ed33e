// The stream header: the sides (13 bits each), quant's bits (32), rplanes
// (5), levels (4) and each level's symbol count (5 bits, the LL band first),
// coded as raw fields ahead of the passes. The decoder accepts only what the
// encoder can write (quant a positive finite number among it), before it
// allocates a plane.
#include <bit>
#include <cmath>

#include "coder/ZALinterno.h"

namespace zalcoder {

void EscribeCabecera(float quant) {
  const int n = z.nlevelCod;
  CodificaBits(13, z.ancho);
  CodificaBits(13, z.alto);
  CodificaBits(32, std::bit_cast<int32_t>(quant));
  CodificaBits(5, z.capas);
  CodificaBits(4, n);
  for (int k = 0; k <= n; ++k) CodificaBits(5, z.simbolosNivel[k]);
}

namespace {

// The header fields the encoder can write; anything else is refused before a
// plane is allocated.
bool CabeceraValida(const ZALCabecera& c) {
  const int n = c.levels, fcorrec = 2 - c.rplanes;
  int M = 0;
  for (int k = 0; k <= n; ++k) {
    const int s = c.simbolos[k];
    if (k > 0 && s < 1) return false;
    if (k > 0 && k < n && 2 * s - 2 > kSimbolosMaximos) return false;
    if (s > M) M = s;
  }
  return M - fcorrec <= kBitsMaximos;
}

}  // namespace

// Reads the header from the open bit file into c, each field as it comes (a
// refused header leaves the fields read so far). 0 or kZALCabeceraCorrupta.
int LeeCabecera(ZALCabecera& c) {
  c.ancho = DecodificaBits(13);
  c.alto = DecodificaBits(13);
  c.quant = std::bit_cast<float>(DecodificaBits(32));
  c.rplanes = DecodificaBits(5);
  c.levels = DecodificaBits(4);
  const int n = c.levels;
  const int lado = 1 << (n + 1);
  if (c.rplanes < 2 || c.rplanes > 12 || n < 3 || n > kMaxNiveles || c.ancho < 1 || c.alto < 1 ||
      c.ancho % lado != 0 || c.alto % lado != 0 || !(c.quant > 0.0f && std::isfinite(c.quant)))
    return kZALCabeceraCorrupta;
  for (int k = 0; k <= n; ++k) c.simbolos[k] = DecodificaBits(5);
  return CabeceraValida(c) ? kZALOk : kZALCabeceraCorrupta;
}

}  // namespace zalcoder

using namespace zalcoder;

int ZALLeeCabecera(FuenteBytes* fuente, ZALCabecera* cabecera) {
  if (fuente == nullptr || cabecera == nullptr || InicializaLecturaFuente(fuente) != 0)
    return kZALNoLee;
  const int error = LeeCabecera(*cabecera);
  FinalizaLecturaFicheroDeBits();
  return error;
}

