// The decoder: reads the header (ZALcabecera.cpp) from a file or a byte
// source, then rebuilds the quantized values pass by pass in a zero-filled
// plane and dequantizes them. The plain functions (Decodifica*Simbolos*,
// Decuantiza) are the reference for the fast block decoding, which keeps the
// arithmetic decoder's registers in locals, and for the companion thread that
// dequantizes regions of the plane once the decoding is past them.
#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <bit>
#include <cstdlib>
#include <cstring>

#include "coder/ZALextension.h"
#include "coder/ZALinterno.h"
#include "entropy/LectorAritmetico.h"
#include "timing/tiempos.h"

namespace zalcoder {
namespace {

inline bool PequenaCelda(int32_t c) {
  return (Magnitud(c) & ~uint32_t(z.fcorrecLowerGroup)) < uint32_t(z.cotaContexto);
}

// The end of the stream. The encoder's flush puts the S + 2 bits of its S
// renormalisation steps in floor((S + 2) / 8) + 1 bytes and the decoder
// consumes 16 + S bits, so 6 to 13 bits past the last byte of a whole
// stream, never more (measured: 6 to 13 on every golden, reference and
// photograph stream). A decode that consumes more ran off a cut file; one
// that consumed C bits read a stream of (C - 6) / 8 bytes.
constexpr int64_t kBitsTrasElFinal = 13;
constexpr int64_t kBitsTrasElFinalMinimo = 6;
// Reads are watched only when fewer than kMargen bytes are at hand: with
// more, neither a read nor a group of the fast path (7 symbols of at most 12
// renormalisation steps and 4 fields of at most 36: 228 bits) can take the
// decoder's window past the source's end.
constexpr size_t kMargen = 64;

bool Cortado() {
  const int64_t bytes = BytesFuente();
  return bytes >= 0 && BitsConsumidos() > 8 * bytes + kBitsTrasElFinal;
}

// A watched read for cell i, once the source's end is known. The first read
// whose window reaches past the end (more bits consumed than the source
// holds) marks the cell from which a cut stream's cells are dropped, the
// window holding bytes that are not the stream's; a read that finds the
// stream cut is not made (false).
bool VigilaLectura(std::ptrdiff_t i) {
  const int64_t bytes = BytesFuente();
  if (bytes < 0) return true;  // every bit consumed so far is the source's own
  z.cercaDelFinal = true;
  const int64_t bits = BitsConsumidos();
  if (z.celdaDescarte < 0 && bits > 8 * bytes) {
    z.nivelDescarte = z.levelCod;
    z.celdaDescarte = i;
  }
  z.truncado = z.truncado || bits > 8 * bytes + kBitsTrasElFinal;
  return !z.truncado;
}

inline bool Vigila(std::ptrdiff_t i) { return BytesALaMano() >= kMargen || VigilaLectura(i); }
// A symbol for cell i, or 0 when the model has none or the stream is cut.
int LeeSimbolo(THistograma* m, std::ptrdiff_t i) { return Vigila(i) ? DecodificaSimbolo(m) : 0; }
int LeeBits(int n, std::ptrdiff_t i) { return Vigila(i) ? DecodificaBits(n) : 0; }

// Value of a detail coefficient of bit length L: implied top bit, the sent
// bits, and the middle of the removed range; the field's last bit is the sign.
int32_t ValorDetalle(int L, std::ptrdiff_t i) {
  const int r = LeeBits(L - z.capas, i);
  const int32_t m = (int32_t(1) << (L - 1)) + ((r >> 1) << z.capas) + (1 << (z.capas - 1));
  return (r & 1) ? -m : m;
}

int32_t ValorLL(int L, std::ptrdiff_t i) {
  const int r = LeeBits(L - z.capas - 1, i);
  return (int32_t(1) << (L - 1)) + (r << z.capas) + (1 << (z.capas - 1));
}

// Symbol of an LL coefficient into cell i; a marker or an empty model here
// means the stream is damaged. conHijosVacios adds the flag G.
bool DecodificaLL(std::ptrdiff_t i, bool conHijosVacios) {
  const int s = LeeSimbolo(&z.Hist[0], i);
  if (s == 0 || s == 2) return false;
  if (s != 1) PonFuente(i, ValorLL(s - z.fcorrec, i) + (conHijosVacios ? z.fcorrecLowerGroup : 0));
  return true;
}

// TR, BL or BR of an LL group: an optional marker, then the coefficient.
bool DecodificaLLConMarca(std::ptrdiff_t i) {
  const int s = LeeSimbolo(&z.Hist[0], i);
  if (s == 0) return false;
  if (s == 2) return DecodificaLL(i, true);  // a below-threshold value stays 0
  PonFuente(i, s == 1 ? 1 : ValorLL(s - z.fcorrec, i));
  return true;
}

int DecodificaSimbolosLL() {
  for (int i = 0; i < z.altoLL; i += 2)
    for (int j = 0; j < z.anchoLL; j += 2) {
      if (!DecodificaLL(Indice(j, i), false) || !DecodificaLLConMarca(Indice(j + 1, i)) ||
          !DecodificaLLConMarca(Indice(j, i + 1)) || !DecodificaLLConMarca(Indice(j + 1, i + 1)))
        return kZALDatosCorruptos;
    }
  return kZALOk;
}

// Parent test: true when the child group is coded. A flagged parent gets its
// plain value back, an isolated zero (or below-threshold LL value) becomes 0.
bool GrupoCodificado(std::ptrdiff_t padre) {
  const int32_t c = Fuente(padre);
  const int32_t G = z.fcorrecLowerGroup;
  if (c == 0) return false;
  if (c >= G || c <= -G) {
    PonFuente(padre, c > 0 ? c - G : c + G);
    return false;
  }
  if (c == 1) PonFuente(padre, 0);
  return true;
}

bool DecodificaMiembro(int x, int y, int modelo, bool hoja) {
  const std::ptrdiff_t i = Indice(x, y);
  const int s = LeeSimbolo(&z.Hist[modelo], i);
  if (s == 0) return false;  // a model without symbols (nothing can be coded here), or the end
  if (hoja) {
    if (s != 1) PonFuente(i, ValorDetalle(s - z.fcorrec + 1, i));
    return true;
  }
  const int sk = z.simbolosNivel[z.levelCod];
  if (s == 1) {
    PonFuente(i, 1);
  } else if (s > 2 && s <= sk) {
    PonFuente(i, ValorDetalle(s - z.fcorrec, i));
  } else if (s > sk) {
    const int32_t v = ValorDetalle(s + 2 - z.fcorrec - sk, i);
    PonFuente(i, v > 0 ? v + z.fcorrecLowerGroup : v - z.fcorrecLowerGroup);
  }
  return true;
}

// Members in stream order, each context taken after the members before it.
bool DecodificaGrupo(int X, int Y, bool hoja) {
  const int cTL = X > 0 && Y > 0 && PequenaCelda(Fuente(X - 1, Y)) && PequenaCelda(Fuente(X, Y - 1));
  if (!DecodificaMiembro(X, Y, cTL, hoja)) return false;
  const int cBL = X > 0 && PequenaCelda(Fuente(X - 1, Y + 1)) && PequenaCelda(Fuente(X, Y));
  if (!DecodificaMiembro(X, Y + 1, cBL, hoja)) return false;
  const int cTR = Y > 0 && PequenaCelda(Fuente(X, Y)) && PequenaCelda(Fuente(X + 1, Y - 1));
  if (!DecodificaMiembro(X + 1, Y, cTR, hoja)) return false;
  const int cBR = PequenaCelda(Fuente(X, Y + 1)) && PequenaCelda(Fuente(X + 1, Y));
  return DecodificaMiembro(X + 1, Y + 1, cBR, hoja);
}

// Level 1: the parent of the group at (X, Y) is the LL cell at index
// Y*anchoBuf + X + offset.
int DecodificaSimbolosHijosdeLL(std::ptrdiff_t offset, int x, int y, int w, int h) {
  for (int i = 0; i < h; i += 2)
    for (int j = 0; j < w; j += 2) {
      const int X = x + j, Y = y + i;
      if (GrupoCodificado(Indice(X, Y) + offset) && !DecodificaGrupo(X, Y, false))
        return kZALDatosCorruptos;
    }
  return kZALOk;
}

// Levels 2 to n: the parent of the group at (X, Y) is the cell (X/2, Y/2).
int DecodificaBloque(int x, int y, int w, int h, bool hoja) {
  for (int i = 0; i < h; i += 2)
    for (int j = 0; j < w; j += 2) {
      const int X = x + j, Y = y + i;
      if (GrupoCodificado(Indice(X / 2, Y / 2)) && !DecodificaGrupo(X, Y, hoja))
        return kZALDatosCorruptos;
    }
  return kZALOk;
}

int DecodificaSimbolos(int x, int y, int w, int h) { return DecodificaBloque(x, y, w, h, false); }
int DecodificaSimbolosHojas(int x, int y, int w, int h) { return DecodificaBloque(x, y, w, h, true); }

// Fast decoding of a level or leaf block: the same reads and writes in the
// same order as the plain functions above, walking rows with pointers (the
// parent cells of a row pair lie in one row, one or two cells apart), and
// turning each symbol into its cell value through a table made once per
// pass.
struct TablaSimbolos {
  int ancho[kSimbolosMaximos + 1];    // field width after the symbol (0: none)
  int32_t base[kSimbolosMaximos + 1];   // with a field: top bit plus the middle of the removed bits
  int32_t marca[kSimbolosMaximos + 1];  // with a field: G for the empty-children symbols, else 0
  int32_t fijo[kSimbolosMaximos + 1];   // without a field: the cell's value
};

void PreparaTabla(TablaSimbolos& t, int alfabeto, bool hoja) {
  const int sk = z.simbolosNivel[z.levelCod];
  for (int s = 1; s <= alfabeto && s <= kSimbolosMaximos; ++s) {
    int L = 0;  // bit length of a significant value, 0 for the other symbols
    t.marca[s] = 0;
    t.fijo[s] = 0;
    if (hoja) {
      if (s != 1) L = s - z.fcorrec + 1;
    } else if (s == 1) {
      t.fijo[s] = 1;  // isolated zero
    } else if (s > 2 && s <= sk) {
      L = s - z.fcorrec;
    } else if (s > sk) {
      L = s + 2 - z.fcorrec - sk;
      t.marca[s] = z.fcorrecLowerGroup;
    }
    t.ancho[s] = L > 0 ? L - z.capas : 0;
    t.base[s] = L > 0 ? (int32_t(1) << (L - 1)) + (1 << (z.capas - 1)) : 0;
  }
}

// Where the fast block decoding reads its items: on the decoder's registers,
// taken from the bit file for a whole block so that they stay in machine
// registers (the usual way), or through the module's calls one by one (when
// the bit file keeps its plain paths, a test hook). The same items either way.
// Near the end of the bytes at hand (Cerca) a group goes the plain, watched
// way (GrupoVigilado: false when the stream is damaged or cut there).
struct GrupoLeido {
  LectorAritmetico l;
  bool leido;
};

// Out of the block loop, and on copies of the registers (handed back to the
// bit file meanwhile), so that the loop's own stay in machine registers.
[[gnu::noinline]] GrupoLeido DecodificaGrupoVigilado(LectorAritmetico l, int X, int Y) {
  DevuelveLector(l);
  const bool leido = DecodificaGrupo(X, Y, z.levelCod == z.nlevelCod);
  return {TomaLector(), leido};
}

struct LecturaEnRegistros {
  LectorAritmetico l;
  int Simbolo(THistograma* m) { return DecodificaSimboloLector(l, m); }
  int Bits(int n) { return DecodificaBitsLector(l, n); }
  bool Cerca() const { return size_t(l.fin - l.p) < kMargen; }
  bool GrupoVigilado(int X, int Y) {
    const GrupoLeido g = DecodificaGrupoVigilado(l, X, Y);
    l = g.l;
    return g.leido;
  }
};

struct LecturaPorLlamadas {
  int Simbolo(THistograma* m) { return DecodificaSimbolo(m); }
  int Bits(int n) { return DecodificaBits(n); }
  bool Cerca() const { return BytesALaMano() < kMargen; }
  bool GrupoVigilado(int X, int Y) { return DecodificaGrupo(X, Y, z.levelCod == z.nlevelCod); }
};

// Cell value of one member, decoded with model m; false when the model has
// no symbols (a damaged stream).
template <class Lectura>
[[gnu::always_inline]] inline bool MiembroRapido(Lectura& lec, const TablaSimbolos& t, THistograma* m, int32_t& v) {
  const int s = lec.Simbolo(m);
  if (s == 0) return false;
  if (t.ancho[s] == 0) {
    v = t.fijo[s];
    return true;
  }
  const int r = lec.Bits(t.ancho[s]);
  const int32_t magnitud = t.base[s] + ((r >> 1) << z.capas) + t.marca[s];
  v = (r & 1) ? -magnitud : magnitud;
  return true;
}

// The block at (x, y), w x h; the parent of the group at (x + j, Y) is the
// cell padre(Y) + j * pasoPadre / 2. The reader is worked on in a local copy,
// whose address is never taken, and handed back at the end.
template <class Lectura, class Padre>
int DecodificaBloqueRapido(Lectura& lectura, int x, int y, int w, int h, const TablaSimbolos& t,
                           Padre padreDeFila, int pasoPadre) {
  Lectura lec = lectura;
  const uint32_t cota = uint32_t(z.cotaContexto), sinG = ~uint32_t(z.fcorrecLowerGroup);
  auto pequena = [=](const float* celda) { return (Magnitud(Etiqueta(celda)) & sinG) < cota; };
  const int32_t G = z.fcorrecLowerGroup;
  const std::ptrdiff_t paso = z.anchoBuf;
  THistograma* const hist = z.Hist;
  int error = kZALOk;
  for (int i = 0; i < h && error == kZALOk; i += 2) {
    const int Y = y + i;
    float* f0 = z.Coef + Indice(x, Y);
    float* f1 = f0 + paso;
    const float* arriba = Y > 0 ? f0 - paso : f0;  // row Y - 1, read only when Y > 0
    float* padre = padreDeFila(Y);
    for (int j = 0; j < w; j += 2, padre += pasoPadre) {
      const int32_t c = Etiqueta(padre);
      if (c == 0) continue;  // empty group
      if (c >= G || c <= -G) {  // the parent says so with its flag
        PonEtiqueta(padre, c > 0 ? c - G : c + G);
        continue;
      }
      if (c == 1) PonEtiqueta(padre, 0);
      const int X = x + j;
      if (lec.Cerca()) [[unlikely]] {
        if (!lec.GrupoVigilado(X, Y)) {
          error = kZALDatosCorruptos;
          break;
        }
        continue;
      }
      int32_t v;
      if (!MiembroRapido(lec, t, &hist[X > 0 && Y > 0 && pequena(f0 + j - 1) && pequena(arriba + j)], v)) {
        error = kZALDatosCorruptos;
        break;
      }
      PonEtiqueta(f0 + j, v);
      if (!MiembroRapido(lec, t, &hist[X > 0 && pequena(f1 + j - 1) && pequena(f0 + j)], v)) {
        error = kZALDatosCorruptos;
        break;
      }
      PonEtiqueta(f1 + j, v);
      if (!MiembroRapido(lec, t, &hist[Y > 0 && pequena(f0 + j) && pequena(arriba + j + 1)], v)) {
        error = kZALDatosCorruptos;
        break;
      }
      PonEtiqueta(f0 + j + 1, v);
      if (!MiembroRapido(lec, t, &hist[pequena(f1 + j) && pequena(f0 + j + 1)], v)) {
        error = kZALDatosCorruptos;
        break;
      }
      PonEtiqueta(f1 + j + 1, v);
    }
  }
  lectura = lec;
  return error;
}

// A level or leaf pass, block by block, on either reader. cuadranteHecho(q)
// is called once quadrant q (0 top-right, 1 bottom-left, 2 bottom-right) has
// been decoded.
template <class Lectura, class F>
int DecodificaNivelRapido(Lectura& lec, int k, const TablaSimbolos& tabla, F&& cuadranteHecho) {
  const std::ptrdiff_t a = z.anchoLL, b = std::ptrdiff_t(z.altoLL) * z.anchoBuf;
  const std::ptrdiff_t offset[3] = {1 - a, z.anchoBuf - b, z.anchoBuf - b - a + 1};
  int error = kZALOk;
  int actual = 0;
  ParaCadaBloque(k, [&](int x, int y, int w, int h, int q) {
    if (error != kZALOk) return;
    for (; actual < q; ++actual) cuadranteHecho(actual);
    if (k == 1) {
      const std::ptrdiff_t o = offset[q];
      error = DecodificaBloqueRapido(
          lec, x, y, w, h, tabla, [&](int Y) { return z.Coef + Indice(x, Y) + o; }, 2);
    } else {
      error = DecodificaBloqueRapido(
          lec, x, y, w, h, tabla, [&](int Y) { return z.Coef + Indice(x / 2, Y / 2); }, 1);
    }
  });
  if (error == kZALOk)
    for (; actual < 3; ++actual) cuadranteHecho(actual);
  return error;
}

// Back to floats, the cells x0 <= x < x1, y0 <= y < y1 of the image area: LL
// values as they are, detail values o as 2 quant (|o| - 1.5). For |o| below
// 2^28, |2o - 3| (below 2^29) times quant's 24-bit mantissa fits the 53 bits
// of a double, so the product is exact there and rounds to float once, as in
// Decuantiza; larger values go the long double way. Each cell is done on its
// own, so the plane can be done region by region in any order.
struct Region {
  int x0, y0, x1, y1;
};

// The detail cells c[0..n), when none is 2^28 or more in magnitude: every
// choice by selection, so that the loop becomes vector code (the products
// being exact, each lane rounds to float once, as the plain loop does). False,
// with nothing changed, when some cell needs the long double way.
[[gnu::always_inline]] inline bool DecuantizaTramo(float* c, int n, double q) {
  constexpr int32_t kExacto = int32_t(1) << 28;
  uint32_t grandes = 0;  // |o| >= 2^28: o + 2^28 - 1 outside 0 .. 2^29 - 2
  for (int j = 0; j < n; ++j)
    grandes |= uint32_t(Etiqueta(c + j) + (kExacto - 1)) > uint32_t(2 * kExacto - 2);
  if (grandes != 0) return false;
  for (int j = 0; j < n; ++j) {
    const int32_t o = Etiqueta(c + j);
    const int32_t tres = ((o >> 31) | 1) * -3;  // -3 for o > 0, +3 for o < 0
    const float f = float((2.0 * double(o) + double(tres)) * q);
    // A zero stays 0 (integer 0 and float 0.0 share their bits).
    c[j] = std::bit_cast<float>(std::bit_cast<int32_t>(f) & -int32_t(o != 0));
  }
  return true;
}

void DecuantizaRegion(Region r) {
  const double q = z.QUniforme;
  constexpr int32_t kExacto = int32_t(1) << 28;
  for (int y = r.y0; y < r.y1; ++y) {
    float* fila = z.Coef + Indice(0, y);
    int x = r.x0;
    if (y < z.altoLL)
      for (; x < z.anchoLL && x < r.x1; ++x) fila[x] = float(Etiqueta(fila + x));
    if (x < r.x1 && DecuantizaTramo(fila + x, r.x1 - x, q)) continue;
    for (; x < r.x1; ++x) {
      const int32_t o = Etiqueta(fila + x);
      if (o == 0) continue;  // integer 0 and float 0.0 share their bits
      if (o < kExacto && o > -kExacto) {
        const double d = double(o);
        fila[x] = float((o > 0 ? 2.0 * d - 3.0 : 2.0 * d + 3.0) * q);
      } else {
        const int64_t f = o > 0 ? 2 * int64_t(o) - 3 : 2 * int64_t(o) + 3;
        fila[x] = float(static_cast<long double>(f) * static_cast<long double>(z.QUniforme));
      }
    }
  }
}

// Decoding on two threads: while this thread decodes, a companion faults in
// the pages of the new plane (so that the decoding loop does not stop for the
// kernel) and dequantizes each region of the plane once no later read or
// write of the decoding can reach it. The leaf pass (level n, whose quadrants
// are the image's halves) reads and writes only the cells of level n and
// level n - 1, and of these only its own quadrant, the parents of its
// groups, the column left of the top-right and bottom-right quadrants and
// the row above the bottom-left and bottom-right ones. So, with w, h the
// image's sides:
//  - when the leaf pass starts: everything coarser than level n - 1, the
//    top-left w/4 x h/4;
//  - after its top-right quadrant: level n - 1's top-right quadrant and the
//    leaf top-right quadrant but its last row (read by the bottom-right);
//  - after its bottom-left quadrant: level n - 1's bottom-left and the leaf
//    bottom-left but its last column (read by the bottom-right);
//  - at the end, the rest, shared by both threads.
constexpr int kFasesDecodificacion = 4;
constexpr int kFaseAbandono = 100;  // the decoding failed: the companion stops
constexpr size_t kCeldasPorAcompanante = size_t(1) << 20;  // smaller planes: one thread

struct Acompanante {
  pthread_t hilo;
  std::atomic<int> fase{0};  // phases reached by the decoding thread
  size_t celdas = 0;
  EstadoZAL estado;  // the decoding thread's state at the start, for the companion's own
  int hechas = 0;    // phases the companion has dequantized (read once it has ended)
};

// The regions of a phase (1 to 4); in the last, `parte` 0 is the companion's
// share and 1 the decoding thread's.
int RegionesDeFase(int fase, int parte, Region* r) {
  const int w = z.ancho, h = z.alto, w2 = w / 2, h2 = h / 2, w4 = w / 4, h4 = h / 4;
  const int medio = h2 + (h - h2) / 2;  // the bottom-right quadrant split between the threads
  switch (fase) {
    case 1:
      r[0] = {0, 0, w4, h4};
      return 1;
    case 2:
      r[0] = {w4, 0, w2, h4};
      r[1] = {w2, 0, w, h2 - 1};
      return 2;
    case 3:
      r[0] = {0, h4, w4, h2};
      r[1] = {0, h2, w2 - 1, h};
      return 2;
    default:
      if (parte == 1) {
        r[0] = {w2, medio, w, h};
        return 1;
      }
      r[0] = {w4, h4, w2, h2};
      r[1] = {w2, h2 - 1, w, h2};
      r[2] = {w2 - 1, h2, w2, h};
      r[3] = {w2, h2, w, medio};
      return 4;
  }
}

// A cut stream's cells that still hold the decoder's marks get what they
// stand for: 1 (an isolated zero, or a below-threshold LL value whose child
// group is coded) is 0, a value flagged with G its plain value.
void LimpiaRegion(Region r) {
  const int32_t G = z.fcorrecLowerGroup;
  for (int y = r.y0; y < r.y1; ++y)
    for (int x = r.x0; x < r.x1; ++x) {
      const int32_t c = Fuente(x, y);
      if (c == 1 || c >= G || c <= -G) PonFuente(x, y, c == 1 ? 0 : c > 0 ? c - G : c + G);
    }
}

void DecuantizaFase(int fase, int parte, bool limpia = false) {
  Region r[4];
  const int n = RegionesDeFase(fase, parte, r);
  for (int i = 0; i < n; ++i) {
    if (limpia) LimpiaRegion(r[i]);
    DecuantizaRegion(r[i]);
  }
}

void* HiloAcompanante(void* p) {
  Acompanante& a = *static_cast<Acompanante*>(p);
  z = a.estado;
#ifdef MADV_POPULATE_WRITE
  // Pages already in place, or a kernel without this advice: nothing lost.
  const uintptr_t pagina = uintptr_t(sysconf(_SC_PAGESIZE));
  const uintptr_t inicio = (uintptr_t(z.Coef) + pagina - 1) & ~(pagina - 1);
  const uintptr_t fin = (uintptr_t(z.Coef + a.celdas)) & ~(pagina - 1);
  if (fin > inicio) madvise(reinterpret_cast<void*>(inicio), fin - inicio, MADV_POPULATE_WRITE);
#endif
  for (int f = 1; f <= kFasesDecodificacion; ++f) {
    int vista;
    while ((vista = a.fase.load(std::memory_order_acquire)) < f) a.fase.wait(vista);
    if (vista == kFaseAbandono) break;
    DecuantizaFase(f, 0);
    a.hechas = f;
  }
  return nullptr;
}

void AvisaFase(Acompanante* a, int fase) {
  if (a == nullptr) return;
  a->fase.store(fase, std::memory_order_release);
  a->fase.notify_one();
}

// The passes; with a companion, the phases of the leaf pass are told to it,
// but not once a read has been watched near the source's end: what the
// companion dequantizes is then never dropped from a cut stream. A stream
// cut where the last item has been read is found at the end.
int DecodificaPasadas(Acompanante* acompanante) {
  const int n = z.nlevelCod;
  z.levelCod = 0;
  InicializaModelo(z.simbolosNivel[0], &z.Hist[0]);
  int error = DecodificaSimbolosLL();

  const std::ptrdiff_t a = z.anchoLL, b = std::ptrdiff_t(z.altoLL) * z.anchoBuf;
  const std::ptrdiff_t offset[3] = {1 - a, z.anchoBuf - b, z.anchoBuf - b - a + 1};
  for (int k = 1; k <= n && error == kZALOk; ++k) {
    z.levelCod = k;
    const int alfabeto = k == n ? z.simbolosNivel[k] - 1 : 2 * z.simbolosNivel[k] - 2;
    InicializaModelo(alfabeto, &z.Hist[0]);
    InicializaModelo(alfabeto, &z.Hist[1]);
    if (z.referencia) {
      ParaCadaBloque(k, [&](int x, int y, int w, int h, int q) {
        if (error != kZALOk) return;
        if (k == 1)
          error = DecodificaSimbolosHijosdeLL(offset[q], x, y, w, h);
        else if (k < n)
          error = DecodificaSimbolos(x, y, w, h);
        else
          error = DecodificaSimbolosHojas(x, y, w, h);
      });
      continue;
    }
    TablaSimbolos tabla;
    PreparaTabla(tabla, alfabeto, k == n);
    if (k == n && !z.cercaDelFinal) AvisaFase(acompanante, 1);
    // Phases 2 to 4 follow the leaf quadrants 0 to 2.
    auto cuadranteHecho = [&](int q) {
      if (k == n && !z.cercaDelFinal) AvisaFase(acompanante, q + 2);
    };
    if (LectorDisponible()) {
      LecturaEnRegistros lec{TomaLector()};
      error = DecodificaNivelRapido(lec, k, tabla, cuadranteHecho);
      DevuelveLector(lec.l);
    } else {
      LecturaPorLlamadas lec;
      error = DecodificaNivelRapido(lec, k, tabla, cuadranteHecho);
    }
  }
  if (error == kZALOk && Cortado()) z.truncado = true;
  return error;
}

// The cells of pass k in stream order: the members of each group, skipped
// groups too.
template <class F>
void CeldasDePasada(int k, F&& celda) {
  if (k == 0) {
    for (int i = 0; i < z.altoLL; i += 2)
      for (int j = 0; j < z.anchoLL; j += 2)
        for (const auto& [dx, dy] : {std::pair{0, 0}, {1, 0}, {0, 1}, {1, 1}}) celda(Indice(j + dx, i + dy));
    return;
  }
  ParaCadaBloque(k, [&](int x, int y, int w, int h, int) {
    for (int i = 0; i < h; i += 2)
      for (int j = 0; j < w; j += 2)
        for (const auto& [dx, dy] : {std::pair{0, 0}, {0, 1}, {1, 0}, {1, 1}})
          celda(Indice(x + j + dx, y + i + dy));
  });
}

// A cut stream: the cells from the first one read past the end on go back
// to 0, as if never decoded.
void Descarta() {
  if (z.celdaDescarte < 0) return;
  bool borra = false;
  for (int k = z.nivelDescarte; k <= z.nlevelCod; ++k)
    CeldasDePasada(k, [&](std::ptrdiff_t i) {
      borra = borra || i == z.celdaDescarte;
      if (borra) PonFuente(i, 0);
    });
}

// The coder's code for a verdict on an extension.
int CodigoExtension(ZALEstadoExtension e) {
  switch (e) {
    case kExtValida: case kExtAusente: return kZALOk;
    case kExtCortada: return kZALExtCortada;
    case kExtFlags: return kZALExtFlags;
    case kExtTamano: return kZALExtTamano;
    default: return kZALExtCrc;  // a damaged magic is damage the CRC would show
  }
}

// The bytes after a whole stream that consumed `bits`: an extension there
// must verify, other bytes are no concern. The CRC of the stream is taken
// (reading it again) only for an extension whose magic and length are right.
int LeeExtension(int64_t bits, ZALFinFlujo& f) {
  const int64_t finFlujo = (bits - kBitsTrasElFinalMinimo) / 8;
  uint8_t resto[kZALExtensionBytes];
  const size_t n = BytesDesde(finFlujo, resto, sizeof resto);
  auto lee = [&](uint32_t crc) {
    return ZALLeeExtension(crc, resto, n, z.ancho, z.alto, z.nlevelCod, &f.ancho, &f.alto);
  };
  ZALEstadoExtension e = lee(0);
  if (e != kExtAusente && e != kExtMagia && e != kExtCortada) {
    uint32_t crc = 0;
    auto suma = [](const uint8_t* b, size_t k, void* c) {
      *static_cast<uint32_t*>(c) = ZALCrc32(*static_cast<uint32_t*>(c), b, k);
    };
    if (!RecorreFuente(finFlujo, suma, &crc)) return kZALNoLee;
    e = lee(crc);
  }
  f.extension = e == kExtValida;
  return CodigoExtension(e);
}

// Back to floats: LL values as they are, detail values o as 2 quant (|o| - 1.5).
void Decuantiza() {
  for (int y = 0; y < z.alto; ++y)
    for (int x = 0; x < z.ancho; ++x) {
      const std::ptrdiff_t i = Indice(x, y);
      const int32_t o = Fuente(i);
      if (o == 0) continue;  // integer 0 and float 0.0 share their bits
      if (x < z.anchoLL && y < z.altoLL) {
        z.Coef[i] = float(o);
      } else {
        // |2o - 3| and quant's 24-bit mantissa multiply exactly in long double
        // (64-bit mantissa), so the product is rounded to float only once.
        const int64_t f = o > 0 ? 2 * int64_t(o) - 3 : 2 * int64_t(o) + 3;
        z.Coef[i] = float(static_cast<long double>(f) * static_cast<long double>(z.QUniforme));
      }
    }
}

int Decodifica(signed char* rplanes, signed char* levels, float* quant, int* width, int* height,
               float** plane, const char* path, FuenteBytes* fuente, signed char blankborder,
               ZALFinFlujo* fin) {
  *plane = nullptr;
  z.referencia = usarReferencia;
  z.cercaDelFinal = z.truncado = false;
  z.nivelDescarte = 0;
  z.celdaDescarte = -1;
  if (blankborder < 0) return kZALBordeIncorrecto;
  const int abierto = fuente != nullptr ? InicializaLecturaFuente(fuente)
                      : path != nullptr ? InicializaLecturaFicheroDeBits(path)
                                        : kAritNoAbre;
  if (abierto != 0) return kZALNoLee;

  ZALCabecera c;
  // A file that fails to read (a directory, a device error) is not a short
  // one: its input error comes before anything its bytes would say.
  const int cabecera = ErrorCodificadorAritmetico() == kAritErrorLectura ? kZALNoLee : LeeCabecera(c);
  *width = c.ancho;
  *height = c.alto;
  *quant = c.quant;
  *rplanes = static_cast<signed char>(c.rplanes);
  *levels = static_cast<signed char>(c.levels);
  // A file cut within or just after its header holds nothing to show.
  if (cabecera != kZALOk || Cortado()) {
    FinalizaLecturaFicheroDeBits();
    return cabecera != kZALOk ? cabecera : kZALDatosCorruptos;
  }
  z.ancho = c.ancho;
  z.anchoBuf = z.ancho + blankborder;
  z.alto = c.alto;
  z.QUniforme = c.quant;
  z.capas = c.rplanes;
  z.nlevelCod = c.levels;
  const int n = z.nlevelCod;
  for (int k = 0; k <= n; ++k) z.simbolosNivel[k] = c.simbolos[k];
  z.fcorrec = 2 - z.capas;
  z.umbral = 1 << z.capas;
  z.cotaContexto = 2 * z.umbral;
  int M = 0;
  for (int k = 0; k <= n; ++k)
    if (z.simbolosNivel[k] > M) M = z.simbolosNivel[k];
  z.fcorrecLowerGroup = int32_t(1) << (M - z.fcorrec);
  InicializaBits();

  // Sides are below 8192 here, so the cell count cannot overflow.
  const size_t celdas = size_t(z.anchoBuf) * size_t(z.alto);
  float* nuevo = static_cast<float*>(std::calloc(celdas, sizeof(float)));
  if (nuevo == nullptr) {
    FinalizaLecturaFicheroDeBits();
    return kZALSinMemoria;
  }
  z.Coef = nuevo;
  z.anchoLL = z.ancho >> n;
  z.altoLL = z.alto >> n;

  // Large planes are faulted in and dequantized by a companion thread while
  // this one decodes; the plain path keeps one thread and the plain loop. A
  // body of a few bytes (a file cut after its header, or next to nothing
  // coded) is not worth faulting in a whole plane first.
  Acompanante acompanante;
  acompanante.celdas = celdas;
  acompanante.estado = z;
  const bool cuerpoCorto = BytesFuente() >= 0 && BytesALaMano() < kMargen;
  const bool conAcompanante = !z.referencia && !cuerpoCorto && celdas >= kCeldasPorAcompanante &&
                              pthread_create(&acompanante.hilo, nullptr, &HiloAcompanante,
                                             &acompanante) == 0;
  const int error = DecodificaPasadas(conAcompanante ? &acompanante : nullptr);
  // A cut stream whose first item was already read past the end is refused
  // as a damaged one: nothing of the image was read.
  // A read that failed is no cut: that error comes first.
  const bool lectura = ErrorCodificadorAritmetico() == kAritErrorLectura;
  const bool truncado = z.truncado && !lectura;
  const bool fallo = lectura || (truncado ? z.nivelDescarte == 0 && z.celdaDescarte == 0
                                          : error != kZALOk || ErrorCodificadorAritmetico() != kAritOk);
  if (conAcompanante) {
    if (fallo || truncado) {
      AvisaFase(&acompanante, kFaseAbandono);
    } else {
      AvisaFase(&acompanante, kFasesDecodificacion);
      DecuantizaFase(kFasesDecodificacion, 1);
    }
    pthread_join(acompanante.hilo, nullptr);
  }
  if (fallo) {
    FinalizaLecturaFicheroDeBits();
    std::free(nuevo);
    z.Coef = nullptr;
    return lectura ? kZALNoLee : kZALDatosCorruptos;
  }
  if (truncado) Descarta();
  if (z.referencia) {
    if (truncado) LimpiaRegion({0, 0, z.ancho, z.alto});
    Decuantiza();
  } else if (!conAcompanante || truncado) {
    // What the companion has not dequantized (all of it, without one).
    for (int f = conAcompanante ? acompanante.hechas + 1 : 1; f <= kFasesDecodificacion; ++f)
      DecuantizaFase(f, 0, truncado);
    DecuantizaFase(kFasesDecodificacion, 1, truncado);
  }
  ZALFinFlujo final = {truncado, BitsConsumidos(), BytesFuente(), false, z.ancho, z.alto};
  const int extension = truncado ? kZALOk : LeeExtension(final.bits, final);
  if (extension != kZALOk) {
    FinalizaLecturaFicheroDeBits();
    std::free(nuevo);
    z.Coef = nullptr;
    return extension;
  }
  if (fin != nullptr) *fin = final;
  *plane = nuevo;
  return kZALOk;
}

}  // namespace
}  // namespace zalcoder

using namespace zalcoder;

namespace {

// Either decoder's road, from a file (path) or from bytes (fuente): timed in
// slot 2, the bit reader closed after a success.
int DecodificaMedido(signed char* rplanes, signed char* levels, float* quant, int* width,
                     int* height, float** plane, const char* path, FuenteBytes* fuente,
                     signed char blankborder, ZALFinFlujo* fin) {
  AcumuladorTStart(2);
  const int error =
      Decodifica(rplanes, levels, quant, width, height, plane, path, fuente, blankborder, fin);
  AcumuladorTStop(2);
  if (error == kZALOk) FinalizaLecturaFicheroDeBits();
  return error;
}

}  // namespace

int ZALDecodificador(signed char* rplanes, signed char* levels, float* quant, int* width,
                     int* height, float** plane, const char* path, signed char blankborder,
                     ZALFinFlujo* fin) {
  return DecodificaMedido(rplanes, levels, quant, width, height, plane, path, nullptr, blankborder,
                          fin);
}

int ZALDecodificadorFuente(signed char* rplanes, signed char* levels, float* quant, int* width,
                           int* height, float** plane, FuenteBytes* fuente,
                           signed char blankborder, ZALFinFlujo* fin) {
  *plane = nullptr;
  if (fuente == nullptr) return kZALNoLee;
  return DecodificaMedido(rplanes, levels, quant, width, height, plane, nullptr, fuente, blankborder,
                          fin);
}

int ZALExtensionAlFinal(const uint8_t* datos, size_t tamano, const ZALCabecera& c, int* ancho,
                        int* alto, bool* hay) {
  *ancho = c.ancho;
  *alto = c.alto;
  *hay = false;
  if (tamano < kZALExtensionBytes) return kZALOk;
  const uint8_t* resto = datos + tamano - kZALExtensionBytes;
  if (std::memcmp(resto, kZALExtensionMagia, sizeof kZALExtensionMagia) != 0) return kZALOk;
  const ZALEstadoExtension e =
      ZALLeeExtension(ZALCrc32(0, datos, tamano - kZALExtensionBytes), resto, kZALExtensionBytes,
                      c.ancho, c.alto, c.levels, ancho, alto);
  *hay = e == kExtValida;
  return CodigoExtension(e);
}
