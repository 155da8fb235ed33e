// The encoder: checks its arguments, labels the plane (ZALetiquetas.cpp),
// then emits the header (ZALcabecera.cpp), the LL band and the level passes
// into a file, memory or a byte counter. The passes are walked by EmiteBloque
// into batches that the pipeline codes (ZALtuberia.cpp); the plain walk,
// CodificaBloque, codes member by member and is the reference for the fast
// one (ZALReferencia).

#include <bit>
#include <cmath>

#include "coder/ZALtuberia.h"
#include "entropy/SalidaAtomica.h"
#include "timing/tiempos.h"

namespace zalcoder {
namespace {

inline bool PequenaEtiqueta(int32_t e) { return Magnitud(e) < uint32_t(z.cotaContexto); }

// Sign-magnitude field of a detail value of bit length L: bits L-2..capas of
// the magnitude, then the sign; CodificaBits drops the implied top bit.
inline int CampoSignoMagnitud(int32_t e) {
  const int f = int((Magnitud(e) >> (z.capas - 1)) & ~1u);
  return e < 0 ? f + 1 : f;
}

void CodificaMiembro(int32_t e, int mx, int my, int modelo) {
  THistograma* h = &z.Hist[modelo];
  if (e == 1) {
    CodificaSimbolo(1, h);
  } else if (e == 0) {
    CodificaSimbolo(2, h);
  } else {
    const int L = abs_bits(e);
    const int sk = z.simbolosNivel[z.levelCod];
    const bool hijosVacios = Fuente(2 * mx, 2 * my) == -1;
    CodificaSimbolo(hijosVacios ? L + z.fcorrec - 2 + sk : L + z.fcorrec, h);
    CodificaBits(L - z.capas, CampoSignoMagnitud(e));
  }
}

inline void CodificaSimbolosHojas(int32_t e, int modelo) {
  THistograma* h = &z.Hist[modelo];
  if (e == 0) {
    CodificaSimbolo(1, h);
  } else {
    const int L = abs_bits(e);
    CodificaSimbolo(L + z.fcorrec - 1, h);
    CodificaBits(L - z.capas, CampoSignoMagnitud(e));
  }
}

// One block of a level pass (hoja false) or of the leaf pass (hoja true).
void CodificaBloque(int x, int y, int w, int h, bool hoja) {
  for (int i = 0; i < h; i += 2)
    for (int j = 0; j < w; j += 2) {
      const int X = x + j, Y = y + i;
      const int32_t tl = Fuente(X, Y);
      if (tl == -1) continue;  // empty group: its parent already said so
      const int32_t bl = Fuente(X, Y + 1), tr = Fuente(X + 1, Y), br = Fuente(X + 1, Y + 1);
      // The labels do not change while emitting, so all four contexts can be
      // taken up front.
      const int cTL = X > 0 && Y > 0 && PequenaEtiqueta(Fuente(X - 1, Y)) &&
                      PequenaEtiqueta(Fuente(X, Y - 1));
      const int cBL = X > 0 && PequenaEtiqueta(Fuente(X - 1, Y + 1)) && PequenaEtiqueta(tl);
      const int cTR = Y > 0 && PequenaEtiqueta(tl) && PequenaEtiqueta(Fuente(X + 1, Y - 1));
      const int cBR = PequenaEtiqueta(bl) && PequenaEtiqueta(tr);
      if (hoja) {
        CodificaSimbolosHojas(tl, cTL);
        CodificaSimbolosHojas(bl, cBL);
        CodificaSimbolosHojas(tr, cTR);
        CodificaSimbolosHojas(br, cBR);
      } else {
        CodificaMiembro(tl, X, Y, cTL);
        CodificaMiembro(bl, X, Y + 1, cBL);
        CodificaMiembro(tr, X + 1, Y, cTR);
        CodificaMiembro(br, X + 1, Y + 1, cBR);
      }
    }
}

void CodificaSimbolos(int x, int y, int w, int h) { CodificaBloque(x, y, w, h, false); }

// Asks the memory for the two rows of w cells at f (row stride paso), one
// cache line at a time, without waiting for them.
inline void PideFilas(const float* f, int w, std::ptrdiff_t paso) {
  constexpr int kCeldasPorLinea = 64 / sizeof(float);
  for (int j = 0; j < w; j += kCeldasPorLinea) {
    __builtin_prefetch(f + j);
    __builtin_prefetch(f + paso + j);
  }
}

// One block of a level pass (hoja false) or of the leaf pass. Each member's
// item is worked out by selection: its bit length L is std::bit_width of the
// magnitude (what abs_bits gives for a nonzero label, and 0 for 0); members
// without a field get a field of 0 bits, which codes nothing. The contexts are
// formed without branches too (the walk has no chain from one item to the
// next, only choices that go either way at random): a neighbour outside the
// plane is replaced by a cell inside it, whose smallness the missing
// neighbour's flag then discards.
template <bool hoja>
void EmiteBloque(int x, int y, int w, int h) {
  const uint32_t cota = uint32_t(z.cotaContexto);
  auto pequena = [cota](const float* celda) { return int(Magnitud(Etiqueta(celda)) < cota); };
  const int capas = z.capas, fcorrec = z.fcorrec, sk = z.simbolosNivel[z.levelCod];
  const std::ptrdiff_t paso = z.anchoBuf;
  for (int i = 0; i < h; i += 2) {
    const int Y = y + i;
    const float* f0 = z.Coef + Indice(x, Y);
    const float* f1 = f0 + paso;
    const int hayArriba = Y > 0;
    const float* arriba = hayArriba ? f0 - paso : f0;  // row Y - 1, or row Y itself
    const float* hijos0 = hoja ? f0 : z.Coef + Indice(2 * x, 2 * Y);  // child TLs of row Y
    const float* hijos1 = hoja ? f0 : hijos0 + 2 * paso;               // and of row Y + 1
    // The labels were written long before (the finest level first), so they
    // come from memory: the next row pair is asked for while this one is walked.
    if (i + 2 < h) PideFilas(f0 + 2 * paso, w, paso);
    for (int j = 0; j < w; j += 2) {
      const int32_t tl = Etiqueta(f0 + j);
      if (tl == -1) continue;  // empty group: its parent already said so
      const int hayIzquierda = x + j > 0;
      const int d = hayIzquierda;  // 1: the cells to the left; 0: the members themselves
      const int32_t e[4] = {tl, Etiqueta(f1 + j), Etiqueta(f0 + j + 1), Etiqueta(f1 + j + 1)};
      const int pTL = pequena(f0 + j), pBL = pequena(f1 + j), pTR = pequena(f0 + j + 1);
      const int modelo[4] = {hayIzquierda & hayArriba & pequena(f0 + j - d) & pequena(arriba + j),
                             hayIzquierda & pequena(f1 + j - d) & pTL,
                             hayArriba & pTL & pequena(arriba + j + 1), pBL & pTR};
      const float* hijo[4] = {hijos0 + 2 * j, hijos1 + 2 * j, hijos0 + 2 * j + 2, hijos1 + 2 * j + 2};
      for (int m = 0; m < 4; ++m) {
        const int L = std::bit_width(Magnitud(e[m]));
        int simbolo;
        bool campo;
        if constexpr (hoja) {
          campo = e[m] != 0;
          simbolo = campo ? L + fcorrec - 1 : 1;
        } else {
          campo = uint32_t(e[m]) > 1;  // neither 0 (zero root) nor 1 (isolated zero)
          const int base = Etiqueta(hijo[m]) == -1 ? fcorrec - 2 + sk : fcorrec;
          simbolo = campo ? L + base : 2 - e[m];
        }
        Pon(modelo[m], simbolo, campo ? L - capas : 0, CampoSignoMagnitud(e[m]));
      }
    }
  }
}

}  // namespace

// The walker's whole work: the level passes 1 to n (ZALinterno.h).
void EmiteNiveles() {
  Cola& cola = *z.cola;
  const int n = z.nlevelCod;
  for (int k = 1; k <= n && !cola.detenido; ++k) {
    z.levelCod = k;
    ComienzaTanda(k < n ? 2 * z.simbolosNivel[k] - 2 : z.simbolosNivel[k] - 1);
    ParaCadaBloque(k, [&](int x, int y, int w, int h, int) {
      if (cola.detenido) return;
      if (k == n)
        EmiteBloque<true>(x, y, w, h);
      else
        EmiteBloque<false>(x, y, w, h);
    });
    EntregaTanda();
  }
  if (cola.hilo) {
    pthread_mutex_lock(&cola.cerrojo);
    cola.terminada = true;
    pthread_cond_signal(&cola.hayTanda);
    pthread_mutex_unlock(&cola.cerrojo);
  }
}

namespace {

void CodificaLL(int32_t e) {
  if (e == 1) {
    CodificaSimbolo(1, &z.Hist[0]);
    return;
  }
  const int L = abs_bits(e);
  CodificaSimbolo(L + z.fcorrec, &z.Hist[0]);
  CodificaBits(L - z.capas - 1, e >> z.capas);
}

void CodificaSimbolosLL() {
  for (int i = 0; i < z.altoLL; i += 2)
    for (int j = 0; j < z.anchoLL; j += 2) {
      CodificaLL(Fuente(j, i));
      if (Fuente(z.anchoLL + j, i) == -1) CodificaSimbolo(2, &z.Hist[0]);
      CodificaLL(Fuente(j + 1, i));
      if (Fuente(j, z.altoLL + i) == -1) CodificaSimbolo(2, &z.Hist[0]);
      CodificaLL(Fuente(j, i + 1));
      if (Fuente(z.anchoLL + j, z.altoLL + i) == -1) CodificaSimbolo(2, &z.Hist[0]);
      CodificaLL(Fuente(j + 1, i + 1));
    }
}

// One block of a level or leaf pass by the plain path; nothing once the
// counting sink has passed the caller's limit (only "above" matters then).
void EmiteUnBloque(int x, int y, int w, int h, bool hoja) {
  if (z.limite >= 0 && LimiteSuperado()) return;
  if (hoja)
    CodificaBloque(x, y, w, h, true);
  else
    CodificaSimbolos(x, y, w, h);
}

void EmiteFlujo(float quant) {
  const int n = z.nlevelCod;
  EscribeCabecera(quant);

  z.levelCod = 0;
  InicializaModelo(z.simbolosNivel[0], &z.Hist[0]);
  CodificaSimbolosLL();

  // Without memory for the queue the plain passes give the same stream.
  if (!z.referencia && CodificaNiveles()) return;

  for (int k = 1; k < n; ++k) {
    z.levelCod = k;
    InicializaModelo(2 * z.simbolosNivel[k] - 2, &z.Hist[0]);
    InicializaModelo(2 * z.simbolosNivel[k] - 2, &z.Hist[1]);
    ParaCadaBloque(k, [](int x, int y, int w, int h, int) { EmiteUnBloque(x, y, w, h, false); });
  }

  z.levelCod = n;
  InicializaModelo(z.simbolosNivel[n] - 1, &z.Hist[0]);
  InicializaModelo(z.simbolosNivel[n] - 1, &z.Hist[1]);
  ParaCadaBloque(n, [](int x, int y, int w, int h, int) { EmiteUnBloque(x, y, w, h, true); });
}

// The encoder's refusals that its arguments decide alone, in its order.
int CompruebaArgumentos(signed char rplanes, signed char levels, float quant, int width, int height,
                        bool hayPlano, signed char blankborder) {
  if (sizeof(int) != sizeof(float)) return kZALArquitectura;
  if (rplanes < 2 || rplanes > 12) return kZALRplanes;
  if (!hayPlano) return kZALSinImagen;
  if (levels > kMaxNiveles) return kZALDemasiadosNiveles;
  if (levels < 3) return kZALPocosNiveles;
  // Every division by the quantization parameter assumes a positive number.
  if (!(quant > 0.0f) || !std::isfinite(quant)) return kZALQuantInvalido;
  const int anchoLL = width >> levels, altoLL = height >> levels;
  if (width != (anchoLL >> 1) << (levels + 1) || height != (altoLL >> 1) << (levels + 1))
    return kZALLadoNoMultiplo;
  if (width < 1 || width > kLadoMaximo || height < 1 || height > kLadoMaximo)
    return kZALLadoFueraDeRango;
  if (blankborder < 0) return kZALBordeIncorrecto;
  return kZALOk;
}

// The encoder; path null codes into the counting sink (or, given flujo, into
// memory) and stores the size, giving up once it passes `limite` bytes (when
// limite >= 0). unHilo: all of the work on the calling thread. rd: labels
// chosen by rate and distortion (ZALrdo.cpp) instead of by thresholds.
int Codifica(signed char rplanes, signed char levels, float quant, int width, int height,
             float* plane, const char* path, signed char blankborder, int64_t* bytes,
             int64_t limite, bool unHilo, bool rd, std::vector<uint8_t>* flujo = nullptr) {
  int error = CompruebaArgumentos(rplanes, levels, quant, width, height, plane != nullptr, blankborder);
  if (error == kZALOk && path == nullptr && bytes == nullptr) error = kZALNoEscribe;
  if (error != kZALOk) return error;

  AcumuladorTStart(1);
  z.referencia = usarReferencia;
  z.limite = path == nullptr && limite >= 0 ? limite : -1;
  z.unHilo = unHilo;
  z.capas = rplanes;
  z.fcorrec = 2 - z.capas;
  z.umbral = 1 << z.capas;
  z.cotaContexto = 2 * z.umbral;
  z.nlevelCod = levels;
  z.DobleQuantInversa = float(1.0 / (double(quant) + double(quant)));
  z.UmbralPre = float((z.umbral - 1.5) / double(z.DobleQuantInversa));
  z.Coef = plane;
  z.alto = height;
  z.ancho = width;
  z.anchoBuf = width + blankborder;
  z.anchoLL = width >> levels;
  z.altoLL = height >> levels;

  // Labelling comes before the output is opened, so that an image the format
  // cannot carry is refused before any file is created.
  InicializaBits();
  error = rd ? EtiquetaPlanoRD(quant) : EtiquetaPlano();
  if (error != kZALOk) {
    AcumuladorTStop(1);
    return error;
  }

  const int abierto = path != nullptr   ? InicializaEscritura(path)
                      : flujo != nullptr ? InicializaEscrituraMemoria(flujo, z.limite)
                                         : InicializaEscrituraContador(z.limite);
  if (abierto != kAritOk) {
    AcumuladorTStop(1);
    return abierto == kAritSinMemoria ? kZALSinMemoria : kZALNoEscribe;
  }

  EmiteFlujo(quant);

  AcumuladorTStop(1);
  const int fin = FinalizaEscrituraFicheroDeBits();
  const int arit = ErrorCodificadorAritmetico();
  if (fin == kAritOk && arit == kAritOk) {
    if (bytes != nullptr) *bytes = BytesEscritos();
    return kZALOk;
  }
  if (fin == kAritSinMemoria) return kZALSinMemoria;
  // The bit file kept no output (the name keeps what it had). A model error cannot follow from the checks of EtiquetaPlano; should one
  // appear, the stream is unusable all the same.
  return fin != kAritOk || arit == kAritErrorEscritura ? kZALNoEscribe : kZALQuantPequeno;
}

}  // namespace
}  // namespace zalcoder

using namespace zalcoder;

int ZALCompruebaArgumentos(signed char rplanes, signed char levels, float quant, int width, int height,
                           signed char blankborder) {
  return CompruebaArgumentos(rplanes, levels, quant, width, height, true, blankborder);
}

int ZALCodificador(signed char rplanes, signed char levels, float quant, int width, int height,
                   float* plane, const char* path, signed char blankborder, bool rd) {
  return Codifica(rplanes, levels, quant, width, height, plane, path, blankborder, nullptr, -1,
                  false, rd);
}

int ZALCodificadorTamano(signed char rplanes, signed char levels, float quant, int width,
                         int height, float* plane, signed char blankborder, int64_t* bytes,
                         int64_t limite, bool unHilo, bool rd) {
  int64_t tamano = 0;
  const int error = Codifica(rplanes, levels, quant, width, height, plane, nullptr, blankborder,
                             &tamano, limite, unHilo, rd);
  if (bytes != nullptr) *bytes = tamano;
  return error;
}

int ZALCodificadorMemoria(signed char rplanes, signed char levels, float quant, int width,
                          int height, float* plane, signed char blankborder, int64_t* bytes,
                          std::vector<uint8_t>* flujo, int64_t limite, bool unHilo, bool rd) {
  if (flujo == nullptr) return kZALNoEscribe;
  int64_t tamano = 0;
  const int error = Codifica(rplanes, levels, quant, width, height, plane, nullptr, blankborder,
                             &tamano, limite, unHilo, rd, flujo);
  if (bytes != nullptr) *bytes = tamano;
  return error;
}

int ZALGuardaFlujo(const std::vector<uint8_t>& flujo, SalidaAtomica* salida) {
  return GuardaFlujo(salida, flujo) == kAritOk ? kZALOk : kZALNoEscribe;
}

int ZALGuardaFlujo(const std::vector<uint8_t>& flujo, const char* path) {
  SalidaAtomica salida;
  PreparaSalida(path, &salida);
  if (ZALGuardaFlujo(flujo, &salida) != kZALOk) {
    DescartaSalida(&salida);
    return kZALNoEscribe;
  }
  return ConfirmaSalida(&salida) ? kZALOk : kZALNoEscribe;
}

