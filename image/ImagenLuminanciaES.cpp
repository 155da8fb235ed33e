// Grey-scale image files: type from the name, PGM / BMP / RAW / PNG readers and
// writers, float <-> integer planes, error texts and quality measurement.
#include "image/ImagenLuminanciaES.h"

#include "entropy/SalidaAtomica.h"

#include <pthread.h>
#include <spng.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <string>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

// Error codes of the module (the number shown adds 100).
enum : int {
  kErrFirmaBMP = 1,
  kErrCabeceraBMP = 2,
  kErrFormatoMuestras = 3,
  kErrLectura = 4,
  kErrEscritura = 5,
  kErrMagicPGM = 6,
  kErrPGMAscii = 7,
  kErrDimensiones = 8,
  kErrSinExtension = 9,
  kErrExtension = 10,
  kErrMemoria = 11,
  kErrTamano = 12,
  kErrColor = 14,
  kErr16Bits = 15,
  kErrTransparencia = 16,
};

enum : int { kTipoDesconocido = 0, kTipoSinExtension = 1, kTipoPGM = 2, kTipoRAW = 3, kTipoBMP = 4, kTipoPNG = 5 };

// Largest image a loader accepts: it bounds the plane at about 1 GiB and keeps
// every row and sample index far from 32-bit overflow in the other modules.
constexpr int64_t kLadoMaximo = 65535;
constexpr int64_t kMuestrasMaximas = int64_t{1} << 28;

// Bytes moved per fread/fwrite call; a row of the largest width fits in one.
constexpr size_t kBloque = 65536;

// Header tokens longer than this are refused (the token buffer holds 75).
constexpr size_t kTokenMaximo = 74;

// Bytes a PGM header (comments included, up to the byte that ends its maximum
// value) or a line of a dimension file may take. No real one comes near it;
// past it the input is refused, so that an endless FIFO or device cannot hold
// the reader.
constexpr size_t kCabeceraMaxima = size_t(1) << 20;

constexpr uint32_t kOffsetPixelesBMP = 1078;  // 14 + 40 + 256 * 4
constexpr uint32_t kTamanoInfoBMP = 40;

// An output file being written: it replaces its name only once it is whole
// (entropy/SalidaAtomica.h).
struct Salida {
  std::unique_ptr<char[]> buffer;  // the stream's, until it is closed
  SalidaAtomica destino;           // closed before the buffer goes
  FILE* file = nullptr;
  bool ok = true;                  // every write so far went through
};

// A stream's own buffer (a page by default) makes a system call of every
// row; a larger one makes a few. The bytes and the failures are the same.
constexpr size_t kBufferSalida = size_t(1) << 20;

bool AbreSalida(const char* name, Salida* out) {
  out->file = AbreSalidaAtomica(name, &out->destino);
  out->ok = out->file != nullptr;
  if (!out->ok) return false;
  out->buffer.reset(new (std::nothrow) char[kBufferSalida]);
  if (out->buffer) std::setvbuf(out->file, out->buffer.get(), _IOFBF, kBufferSalida);
  return true;
}

int CierraSalida(Salida* out) {
  out->file = nullptr;
  return CierraSalidaAtomica(&out->destino, out->ok) ? 0 : kErrEscritura;
}

// Whether a loader may allocate and fill a plane of this size, computed in 64
// bits so that no header value can wrap into an acceptable one. A negative gap
// would make the rows overlap past the end of the plane.
bool TamanoAdmitido(int64_t width, int64_t height, int gap) {
  return width > 0 && height > 0 && width <= kLadoMaximo && height <= kLadoMaximo &&
         width * height <= kMuestrasMaximas && gap >= 0;
}

// The pages of a large new plane, supplied by the kernel on a second thread
// while the loader reads the file, instead of one page fault at a time in the
// loop that fills them. The advice changes no byte of the plane, so it can
// run beside the loop; the loader waits for it before returning (destructor).
constexpr size_t kBytesAnticipo = size_t(1) << 22;  // smaller planes: not worth a thread

struct Anticipo {
  pthread_t hilo;
  bool activo = false;
  void* inicio = nullptr;
  size_t largo = 0;
  ~Anticipo() {
    if (activo) pthread_join(hilo, nullptr);
  }
};

// From the end of the plane backwards, in steps, so that the thread does not
// meet the loader, which fills it from the start, page after page.
constexpr size_t kPasoAnticipo = size_t(1) << 21;

void* HiloAnticipo(void* p) {
#ifdef MADV_POPULATE_WRITE
  // A kernel without this advice refuses it: nothing is lost.
  const Anticipo& a = *static_cast<const Anticipo*>(p);
  char* inicio = static_cast<char*>(a.inicio);
  for (size_t fin = a.largo; fin > 0;) {
    const size_t paso = std::min(fin, kPasoAnticipo);  // page-sized multiples
    fin -= paso;
    if (madvise(inicio + fin, paso, MADV_POPULATE_WRITE) != 0) break;
  }
#else
  (void)p;
#endif
  return nullptr;
}

void Anticipa(void* bloque, size_t bytes, Anticipo& a) {
  const uintptr_t pagina = uintptr_t(sysconf(_SC_PAGESIZE));
  const uintptr_t inicio = (uintptr_t(bloque) + pagina - 1) & ~(pagina - 1);
  const uintptr_t fin = (uintptr_t(bloque) + bytes) & ~(pagina - 1);
  if (bytes < kBytesAnticipo || fin <= inicio) return;
  a.inicio = reinterpret_cast<void*>(inicio);
  a.largo = fin - inicio;
  a.activo = pthread_create(&a.hilo, nullptr, &HiloAnticipo, &a) == 0;
}

// Allocates the plane; the caller's pointer is written because the allocation
// is attempted (null when it fails).
template <typename T>
int ReservaPlano(int width, int height, signed char gap, T** plane, Anticipo& anticipo) {
  const size_t muestras = size_t(int64_t(width) + gap) * size_t(height);
  *plane = static_cast<T*>(std::malloc(muestras * sizeof(T)));
  if (*plane == nullptr) return kErrMemoria;
  Anticipa(*plane, muestras * sizeof(T), anticipo);
  return 0;
}

// Byte -> sample: the byte's value, or -1 for a byte the file does not have.
template <typename T>
inline T MuestraDeByte(int byte) {
  return static_cast<T>(byte);
}

// Sample -> byte: floats are rounded and saturated, integers keep their low
// 8 bits (callers hold 0..255).
inline unsigned char ByteDeMuestra(float x) { return static_cast<unsigned char>(redondeaSaturaByte(x)); }
inline unsigned char ByteDeMuestra(int x) { return static_cast<unsigned char>(x); }

// Reads `height` rows of `width` samples, each followed in the file by `pad`
// bytes that are dropped, into plane rows at `stride` samples; with
// `deAbajoArriba` the first stored row is the plane's last. A short read is
// the same as a run of missing bytes: they become -1, as a byte-at-a-time
// read past the end would give. A read that fails is not the end of the file:
// false, at once.
template <typename T>
bool LeeFilas(FILE* file, int64_t width, int64_t height, T* plane, int64_t stride, int64_t pad,
              bool deAbajoArriba) {
  unsigned char bloque[kBloque];
  for (int64_t i = 0; i < height; ++i) {
    T* fila = plane + (deAbajoArriba ? height - 1 - i : i) * stride;
    for (int64_t x = 0; x < width;) {
      const size_t pedidos = size_t(std::min<int64_t>(width - x, int64_t(kBloque)));
      const size_t leidos = std::fread(bloque, 1, pedidos, file);
      if (leidos < pedidos && std::ferror(file)) return false;
      for (size_t k = 0; k < leidos; ++k) fila[x + int64_t(k)] = MuestraDeByte<T>(bloque[k]);
      for (size_t k = leidos; k < pedidos; ++k) fila[x + int64_t(k)] = MuestraDeByte<T>(-1);
      x += int64_t(pedidos);
    }
    if (pad > 0 && std::fread(bloque, 1, size_t(pad), file) < size_t(pad) && std::ferror(file))
      return false;
  }
  return true;
}

// Bytes of n samples of a row.
inline void BytesDeMuestras(const int* f, size_t n, unsigned char* b) {
  for (size_t k = 0; k < n; ++k) b[k] = ByteDeMuestra(f[k]);
}

// For floats, four at a time with SSE2 (always there on x86-64), with the
// operations of redondeaSaturaByte: max(x, 0) gives 0 for NaN and -0.0 (the
// instruction returns its second operand then), min(., 255) saturates, and
// the half is added in double precision, where the sum is exact, before the
// truncation. The samples left over take the scalar path.
inline void BytesDeMuestras(const float* f, size_t n, unsigned char* b) {
  size_t k = 0;
#if defined(__SSE2__)
  const __m128 cero = _mm_setzero_ps(), tope = _mm_set1_ps(255.0f);
  const __m128d medio = _mm_set1_pd(0.5);
  for (; k + 4 <= n; k += 4) {
    const __m128 x = _mm_min_ps(_mm_max_ps(_mm_loadu_ps(f + k), cero), tope);
    const __m128i bajos = _mm_cvttpd_epi32(_mm_add_pd(_mm_cvtps_pd(x), medio));
    const __m128i altos = _mm_cvttpd_epi32(_mm_add_pd(_mm_cvtps_pd(_mm_movehl_ps(x, x)), medio));
    const __m128i enteros = _mm_unpacklo_epi64(bajos, altos);  // 0..255 each
    const __m128i bytes = _mm_packus_epi16(_mm_packs_epi32(enteros, enteros), _mm_setzero_si128());
    const uint32_t cuatro = uint32_t(_mm_cvtsi128_si32(bytes));
    std::memcpy(b + k, &cuatro, 4);
  }
#endif
  for (; k < n; ++k) b[k] = ByteDeMuestra(f[k]);
}

// The writing counterpart of LeeFilas; pad bytes are written as 0. Returns
// false when the stream refused a byte.
template <typename T>
bool EscribeFilas(FILE* file, int64_t width, int64_t height, const T* plane, int64_t stride,
                  int64_t pad, bool deAbajoArriba) {
  unsigned char bloque[kBloque];
  const unsigned char ceros[4] = {0, 0, 0, 0};
  for (int64_t i = 0; i < height; ++i) {
    const T* fila = plane + (deAbajoArriba ? height - 1 - i : i) * stride;
    for (int64_t x = 0; x < width;) {
      const size_t n = size_t(std::min<int64_t>(width - x, int64_t(kBloque)));
      BytesDeMuestras(fila + x, n, bloque);
      if (std::fwrite(bloque, 1, n, file) != n) return false;
      x += int64_t(n);
    }
    if (pad > 0 && std::fwrite(ceros, 1, size_t(pad), file) != size_t(pad)) return false;
  }
  return true;
}

inline int64_t Paso(int width, signed char gap) { return int64_t(width) + gap; }

// Row pad of a BMP file: rows are stored as multiples of 4 bytes.
inline int PadBMP(int width) { return (4 - (width & 3)) & 3; }

// ---------------------------------------------------------------- PGM header

inline bool EsBlanco(int c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// The bytes of a PGM header or of one dimension-file line, at most
// kCabeceraMaxima of them: past that every read gives EOF and `agotado` is
// set, which refuses the input. A byte given back is not counted.
struct LectorAcotado {
  FILE* file;
  size_t resto = kCabeceraMaxima;
  bool agotado = false;
  int Lee() {
    if (resto == 0) {
      agotado = true;
      return EOF;
    }
    --resto;
    return std::getc(file);
  }
  void Devuelve(int c) {
    ++resto;
    std::ungetc(c, file);
  }
};

// Reads the next header field into `token` (at most kTokenMaximo characters
// kept, then a terminator) and returns the field's length, or kTokenMaximo + 1
// for any longer field: reading stops there, since such a header is refused
// anyway. Comments are skipped whole, from '#' to the end of their line,
// wherever a field may start, so any number of them may stand between fields
// as long as the header keeps within its bound. The byte that ends the field
// stays in the stream. At the end of the stream the token is empty.
size_t LeeCampo(LectorAcotado& in, unsigned char* token) {
  int c = in.Lee();
  for (;;) {
    while (c != EOF && EsBlanco(c)) c = in.Lee();
    if (c != '#') break;
    while (c != EOF && c != '\n') c = in.Lee();
  }
  size_t longitud = 0;
  while (c != EOF && !EsBlanco(c) && longitud <= kTokenMaximo) {
    if (longitud < kTokenMaximo) token[longitud] = static_cast<unsigned char>(c);
    ++longitud;
    c = in.Lee();
  }
  token[std::min(longitud, kTokenMaximo)] = '\0';
  if (c != EOF) in.Devuelve(c);
  return longitud;
}

// Numbers read as a 32-bit atoi reads them: out-of-range values saturate, so
// a huge number never wraps into a small one. The magnitude is capped just
// past the 32-bit range as digits arrive.
struct Numero {
  bool negativo = false;
  bool digitos = false;
  int64_t magnitud = 0;
  void Signo(int c) { negativo = c == '-'; }
  void Digito(int c) {
    digitos = true;
    magnitud = std::min<int64_t>(magnitud * 10 + (c - '0'), int64_t{INT_MAX} + 1);
  }
  int Valor() const {
    if (negativo) return magnitud > INT_MAX ? INT_MIN : -int(magnitud);
    return magnitud > INT_MAX ? INT_MAX : int(magnitud);
  }
};

inline bool EsDigito(int c) { return c >= '0' && c <= '9'; }

// Decimal value of a header token: optional sign, then digits; anything
// after them is ignored, and a token without digits is 0.
int LeeEntero(const unsigned char* p) {
  Numero numero;
  if (*p == '+' || *p == '-') numero.Signo(*p++);
  for (; EsDigito(*p); ++p) numero.Digito(*p);
  return numero.Valor();
}

// ---------------------------------------------------------- dimension file

// Reads one line of a dimension file: it must start with `clave`, then give a
// number after optional blanks; the rest of the line is dropped. The line is
// parsed as it streams by. 0, kErrLectura, or kErrDimensiones for a line that
// does not match or does not end within its bound (after a line that does
// not match nothing more is read).
int LeeLineaDimension(FILE* file, const char* clave, int* valor) {
  LectorAcotado linea{file};
  int c = linea.Lee();
  bool ok = true;
  for (const char* k = clave; *k && ok; ++k) {
    ok = c == static_cast<unsigned char>(*k);
    if (ok) c = linea.Lee();
  }
  if (ok) {
    while (c != '\n' && EsBlanco(c)) c = linea.Lee();
    Numero numero;
    if (c == '+' || c == '-') {
      numero.Signo(c);
      c = linea.Lee();
    }
    for (; EsDigito(c); c = linea.Lee()) numero.Digito(c);
    ok = numero.digitos;
    if (ok) *valor = numero.Valor();
  }
  if (ok)
    while (c != EOF && c != '\n') c = linea.Lee();
  if (std::ferror(file)) return kErrLectura;
  return ok && !linea.agotado ? 0 : kErrDimensiones;
}

// Name of a RAW image's dimension file: the name cut at its first '.' (or
// whole) followed by ".txt".
std::string NombreDimensiones(const char* name) {
  std::string dimensiones(name);
  const size_t punto = dimensiones.find('.');
  if (punto != std::string::npos) dimensiones.resize(punto);
  return dimensiones + ".txt";
}

// ------------------------------------------------------------------ loaders

// Opens an image for reading with a large buffer (held by the caller until
// the stream is closed), for the reason given at AbreSalida.
FILE* AbreEntrada(const char* name, std::unique_ptr<char[]>& buffer) {
  FILE* file = std::fopen(name, "rb");
  if (!file) return nullptr;
  buffer.reset(new (std::nothrow) char[kBufferSalida]);
  if (buffer) std::setvbuf(file, buffer.get(), _IOFBF, kBufferSalida);
  return file;
}

// The loaders' common end, once the size is read and admitted: asks the
// caller whether to go on (on no, 0 and no plane), allocates the plane, drops
// `salto` bytes, reads the rows and closes the stream. A read that fails
// frees the plane again: the file cannot be read, and *plane is null.
template <typename T>
int LeeImagen(FILE* file, int width, int height, signed char gap, T** plane, SigueCarga sigue,
              int salto, int64_t pad, bool deAbajoArriba) {
  if (sigue.fn != nullptr && !sigue.fn(sigue.usuario, width, height)) {
    std::fclose(file);
    return 0;
  }
  bool leido;
  {
    Anticipo anticipo;  // done with the plane at the end of this block
    const int err = ReservaPlano(width, height, gap, plane, anticipo);
    if (err) {
      std::fclose(file);
      return err;
    }
    for (int k = 0; k < salto; ++k) std::getc(file);
    leido = LeeFilas(file, width, height, *plane, Paso(width, gap), pad, deAbajoArriba) &&
            !std::ferror(file);
  }
  std::fclose(file);
  if (leido) return 0;
  std::free(*plane);
  *plane = nullptr;
  return kErrLectura;
}

template <typename T>
int CargaPGMT(const char* name, int* width, int* height, T** plane, signed char gap, SigueCarga sigue) {
  std::unique_ptr<char[]> buffer;
  FILE* file = AbreEntrada(name, buffer);
  if (!file) return kErrLectura;
  const int err = LeeCabeceraPGM(file, width, height);
  if (err) return err;  // the header reader has closed the stream
  if (!TamanoAdmitido(*width, *height, gap)) {
    std::fclose(file);
    return kErrTamano;
  }
  // Then the white space after the maximum value.
  return LeeImagen(file, *width, *height, gap, plane, sigue, 1, 0, false);
}

template <typename T>
int CargaRawT(const char* name, int width, int height, T** plane, signed char gap, SigueCarga sigue) {
  std::unique_ptr<char[]> buffer;
  FILE* file = AbreEntrada(name, buffer);
  if (!file) return kErrLectura;
  if (!TamanoAdmitido(width, height, gap)) {
    std::fclose(file);
    return kErrTamano;
  }
  return LeeImagen(file, width, height, gap, plane, sigue, 0, 0, false);
}

template <typename T>
int CargaBMPT(const char* name, int* width, int* height, T** plane, signed char gap, SigueCarga sigue) {
  std::unique_ptr<char[]> buffer;
  FILE* file = AbreEntrada(name, buffer);
  if (!file) return kErrLectura;
  int pad = 0;
  const int err = LeeCabeceraBMPLuminancia(file, width, height, &pad);
  if (err) {
    std::fclose(file);
    return err;
  }
  // A negative height marks rows stored top-down.
  const bool deArribaAbajo = *height < 0;
  const int64_t alto = deArribaAbajo ? -int64_t(*height) : int64_t(*height);
  if (!TamanoAdmitido(*width, alto, gap)) {
    std::fclose(file);
    return kErrTamano;
  }
  *height = int(alto);
  return LeeImagen(file, *width, *height, gap, plane, sigue, 0, pad, !deArribaAbajo);
}

template <typename T>
int CargaImagenT(const char* name, int* width, int* height, T** plane, signed char gap, int opciones,
                 SigueCarga sigue) {
  switch (DeterminaTipo(name)) {
    case kTipoPNG:
      return CargaPNG(name, width, height, plane, gap, (opciones & kCargaLuma) != 0, sigue);
    case kTipoSinExtension:
      return kErrSinExtension;
    case kTipoPGM:
      return CargaPGMT(name, width, height, plane, gap, sigue);
    case kTipoBMP:
      return CargaBMPT(name, width, height, plane, gap, sigue);
    case kTipoRAW:
      if (*width == 0 || *height == 0) {
        const int err = CargaRawDimensiones(name, width, height);
        if (err) return err;
      }
      return CargaRawT(name, *width, *height, plane, gap, sigue);
    default:
      return kErrExtension;
  }
}

// ------------------------------------------------------------------- savers

template <typename T>
int GuardaPGMT(const char* name, int width, int height, const T* plane, signed char gap) {
  Salida out;
  if (!AbreSalida(name, &out)) return kErrEscritura;
  EscribeCabeceraPGM(out.file, width, height);
  out.ok = EscribeFicheroLuminancia(out.file, width, height, plane, gap) == 0;
  return CierraSalida(&out);
}

template <typename T>
int GuardaRawT(const char* name, int width, int height, const T* plane, signed char gap) {
  Salida out;
  if (!AbreSalida(name, &out)) return kErrEscritura;
  out.ok = EscribeFicheroLuminancia(out.file, width, height, plane, gap) == 0;
  return CierraSalida(&out);
}

template <typename T>
int GuardaBMPT(const char* name, int width, int height, const T* plane, signed char gap) {
  const int pad = PadBMP(width);
  Salida out;
  if (!AbreSalida(name, &out)) return kErrEscritura;
  out.ok = EscribeCabeceraBMPLuminancia(out.file, width, height, pad) == 0 &&
           EscribeFilas(out.file, width, height, plane, Paso(width, gap), pad, true);
  return CierraSalida(&out);
}

template <typename T>
int GuardaImagenT(const char* name, int width, int height, const T* plane, signed char gap) {
  switch (DeterminaTipo(name)) {
    case kTipoSinExtension:
      return kErrSinExtension;
    case kTipoPGM:
      return GuardaPGM(name, width, height, plane, gap);
    case kTipoBMP:
      return GuardaBMPLuminancia(name, width, height, plane, gap);
    case kTipoRAW:
      return GuardaRawLuminancia(name, width, height, plane, gap);
    case kTipoPNG:
      return GuardaPNG(name, width, height, plane, gap);
    default:
      return kErrExtension;
  }
}

// -------------------------------------------------------------- BMP header

inline uint32_t Lee32(const unsigned char* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
inline uint32_t Lee16(const unsigned char* p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8; }
inline void Pon32(unsigned char* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}
inline void Pon16(unsigned char* p, uint32_t v) {
  p[0] = static_cast<unsigned char>(v);
  p[1] = static_cast<unsigned char>(v >> 8);
}

}  // namespace

// =================================================================== front

int DeterminaTipo(const char* name) {
  const char* punto = std::strrchr(name, '.');
  if (!punto || punto == name) return kTipoSinExtension;
  const char* ext = punto + 1;
  char mayus[3];
  for (int i = 0; i < 3; ++i) {
    if (ext[i] == '\0') return kTipoDesconocido;  // shorter than three characters
    mayus[i] = (ext[i] >= 'a' && ext[i] <= 'z') ? char(ext[i] - 'a' + 'A') : ext[i];
  }
  static const struct {
    const char* ext;
    int tipo;
  } kTabla[] = {{"PGM", kTipoPGM}, {"BMP", kTipoBMP}, {"RAW", kTipoRAW}, {"DAT", kTipoRAW}, {"BIN", kTipoRAW},
                 {"PNG", kTipoPNG}};
  for (const auto& e : kTabla)
    if (std::memcmp(mayus, e.ext, 3) == 0) return e.tipo;
  return kTipoDesconocido;
}

int CargaImagenLuminancia(const char* name, int* width, int* height, float** plane, signed char gap,
                          int opciones, SigueCarga sigue) {
  return CargaImagenT(name, width, height, plane, gap, opciones, sigue);
}
int CargaImagenLuminancia(const char* name, int* width, int* height, int** plane, signed char gap,
                          int opciones, SigueCarga sigue) {
  return CargaImagenT(name, width, height, plane, gap, opciones, sigue);
}
int GuardaImagenLuminancia(const char* name, int width, int height, const float* plane, signed char gap) {
  return GuardaImagenT(name, width, height, plane, gap);
}
int GuardaImagenLuminancia(const char* name, int width, int height, const int* plane, signed char gap) {
  return GuardaImagenT(name, width, height, plane, gap);
}

void LeeFicheroLuminancia(FILE* file, int width, int height, float* plane, signed char gap) {
  LeeFilas(file, width, height, plane, Paso(width, gap), 0, false);
}
void LeeFicheroLuminancia(FILE* file, int width, int height, int* plane, signed char gap) {
  LeeFilas(file, width, height, plane, Paso(width, gap), 0, false);
}
int EscribeFicheroLuminancia(FILE* file, int width, int height, const float* plane, signed char gap) {
  return EscribeFilas(file, width, height, plane, Paso(width, gap), 0, false) ? 0 : kErrEscritura;
}
int EscribeFicheroLuminancia(FILE* file, int width, int height, const int* plane, signed char gap) {
  return EscribeFilas(file, width, height, plane, Paso(width, gap), 0, false) ? 0 : kErrEscritura;
}

int CargaImagenBytes(const unsigned char* pixels, int width, int height, size_t stride,
                     float** plane, signed char gap) {
  *plane = nullptr;
  if (!TamanoAdmitido(width, height, gap)) return kErrTamano;
  Anticipo anticipo;
  const int err = ReservaPlano(width, height, gap, plane, anticipo);
  if (err) return err;
  const int64_t paso = Paso(width, gap);
  for (int64_t y = 0; y < height; ++y) {
    const unsigned char* fila = pixels + size_t(y) * stride;
    float* destino = *plane + y * paso;
    for (int64_t x = 0; x < width; ++x) destino[x] = MuestraDeByte<float>(fila[x]);
  }
  return 0;
}

void GuardaImagenBytes(int width, int height, const float* plane, signed char gap,
                       unsigned char* pixels, size_t stride) {
  const int64_t paso = Paso(width, gap);
  for (int64_t y = 0; y < height; ++y)
    BytesDeMuestras(plane + y * paso, size_t(width), pixels + size_t(y) * stride);
}

// Cells are moved through memcpy so that the in-place conversion, where the
// same memory is read as float and written as int (or the reverse), stays
// well defined.
void Buffer_ftoi(int width, int height, float* source, int* target, signed char gap) {
  unsigned char* in = reinterpret_cast<unsigned char*>(source);
  unsigned char* out = target ? reinterpret_cast<unsigned char*>(target) : in;
  const int64_t paso = Paso(width, gap);
  for (int64_t y = 0; y < height; ++y)
    for (int64_t x = 0; x < width; ++x) {
      const size_t at = size_t(y * paso + x) * 4;
      float f;
      std::memcpy(&f, in + at, 4);
      const int v = redondeaSaturaByte(f);
      std::memcpy(out + at, &v, 4);
    }
}

void Buffer_itof(int width, int height, int* source, float* target, signed char gap) {
  unsigned char* in = reinterpret_cast<unsigned char*>(source);
  unsigned char* out = target ? reinterpret_cast<unsigned char*>(target) : in;
  const int64_t paso = Paso(width, gap);
  for (int64_t y = 0; y < height; ++y)
    for (int64_t x = 0; x < width; ++x) {
      const size_t at = size_t(y * paso + x) * 4;
      int v;
      std::memcpy(&v, in + at, 4);
      const float f = static_cast<float>(v);
      std::memcpy(out + at, &f, 4);
    }
}

const char* ImagenTextoError(int code) {
  switch (code) {
    case kErrFirmaBMP:
    case kErrCabeceraBMP:
    case kErrFormatoMuestras:
    case kErrMagicPGM:
    case kErrPGMAscii:
    case kErrExtension: return "File format not supported";
    case kErrLectura: return "Cannot read file";
    case kErrEscritura: return "Cannot write file";
    case kErrDimensiones: return "Corrupt dimension file for raw format";
    case kErrSinExtension: return "No extension in file name";
    case kErrMemoria: return "Insuficient memory available";
    case kErrTamano: return "Image size not supported";
    case kImagenSalidaEsEntrada: return "Output file is the same as an input file";
    case kErrColor: return "Colour image not supported: ZAL takes 8-bit grey (--grey codes its luma)";
    case kErr16Bits: return "16-bit samples not supported: ZAL takes 8-bit grey images";
    case kErrTransparencia: return "Image with transparency not supported: ZAL takes opaque 8-bit grey";
    default: return "Unknown error";
  }
}

void ImagenCheckError(int code, char* buffer) {
  // The number in 64 bits, so that no code can overflow with the offset.
  std::snprintf(buffer, 128, "%s (error #%lld)", ImagenTextoError(code),
                static_cast<long long>(code) + 100);
}

// ===================================================================== BMP

int LeeCabeceraBMPLuminancia(FILE* file, int* width, int* height, int* pad) {
  // Each header in one read; a field the file is too short to hold, even in
  // part, counts as not matching its required value.
  unsigned char cab[14] = {}, info[40] = {};
  const size_t nCab = std::fread(cab, 1, sizeof cab, file);
  if (std::ferror(file)) return kErrLectura;
  if (nCab < 2 || Lee16(cab) != 0x4D42) return kErrFirmaBMP;  // "BM"
  if (nCab < 14 || Lee32(cab + 10) != kOffsetPixelesBMP) return kErrCabeceraBMP;
  const size_t nInfo = std::fread(info, 1, sizeof info, file);
  if (std::ferror(file)) return kErrLectura;
  if (nInfo < 4 || Lee32(info) != kTamanoInfoBMP) return kErrCabeceraBMP;
  *width = static_cast<int32_t>(Lee32(info + 4));
  *height = static_cast<int32_t>(Lee32(info + 8));
  *pad = PadBMP(*width);
  if (nInfo < 20 || Lee16(info + 12) != 1 || Lee16(info + 14) != 8 || Lee32(info + 16) != 0)
    return kErrFormatoMuestras;
  unsigned char paleta[1024];
  std::fread(paleta, 1, sizeof paleta, file);  // grey levels are the bytes themselves
  return std::ferror(file) ? kErrLectura : 0;
}

int CargaBMPLuminancia(const char* name, int* width, int* height, float** plane, signed char gap) {
  return CargaBMPT(name, width, height, plane, gap, {});
}
int CargaBMPLuminancia(const char* name, int* width, int* height, int** plane, signed char gap) {
  return CargaBMPT(name, width, height, plane, gap, {});
}

int EscribeCabeceraBMPLuminancia(FILE* file, int width, int height, int pad) {
  unsigned char cab[kOffsetPixelesBMP] = {};
  cab[0] = 'B';
  cab[1] = 'M';
  Pon32(cab + 2, uint32_t(1078 + int64_t(height) * (int64_t(width) + pad)));
  Pon32(cab + 10, kOffsetPixelesBMP);
  Pon32(cab + 14, kTamanoInfoBMP);
  Pon32(cab + 18, uint32_t(width));
  Pon32(cab + 22, uint32_t(height));
  Pon16(cab + 26, 1);
  Pon16(cab + 28, 8);
  Pon32(cab + 38, 3780);
  Pon32(cab + 42, 3780);
  for (int i = 0; i < 256; ++i) {
    unsigned char* e = cab + 54 + 4 * i;
    e[0] = e[1] = e[2] = static_cast<unsigned char>(i);
  }
  return std::fwrite(cab, 1, sizeof cab, file) == sizeof cab ? 0 : kErrEscritura;
}

int GuardaBMPLuminancia(const char* name, int width, int height, const float* plane, signed char gap) {
  return GuardaBMPT(name, width, height, plane, gap);
}
int GuardaBMPLuminancia(const char* name, int width, int height, const int* plane, signed char gap) {
  return GuardaBMPT(name, width, height, plane, gap);
}

// ============================================================= PGM and RAW

void LeeLinea(FILE* file, unsigned char* token) {
  LectorAcotado in{file};
  LeeCampo(in, token);
}

int LeeCabeceraPGM(FILE* file, int* width, int* height) {
  unsigned char token[kTokenMaximo + 1];
  LectorAcotado in{file};
  auto falla = [file](int code) {
    std::fclose(file);
    return code;
  };
  // Each field: a failed read, then a field or a header too long, refuse it.
  auto campo = [&in, &token, file]() -> int {
    const size_t n = LeeCampo(in, token);
    if (std::ferror(file)) return kErrLectura;
    return n > kTokenMaximo || in.agotado ? kErrMagicPGM : 0;
  };
  if (const int err = campo()) return falla(err);
  if (token[0] != 'P' || (token[1] != '2' && token[1] != '5')) return falla(kErrMagicPGM);
  const bool ascii = token[1] == '2';
  if (const int err = campo()) return falla(err);
  *width = LeeEntero(token);
  if (const int err = campo()) return falla(err);
  *height = LeeEntero(token);
  if (const int err = campo()) return falla(err);
  if (LeeEntero(token) != 255) return falla(kErrFormatoMuestras);
  if (ascii) return falla(kErrPGMAscii);
  return 0;
}

void EscribeCabeceraPGM(FILE* file, int width, int height) {
  std::fprintf(file, "P5\n#Imagen recuperada de ZAL\n%d %d\n255\n", width, height);
}

int CargaPGM(const char* name, int* width, int* height, float** plane, signed char gap) {
  return CargaPGMT(name, width, height, plane, gap, {});
}
int CargaPGM(const char* name, int* width, int* height, int** plane, signed char gap) {
  return CargaPGMT(name, width, height, plane, gap, {});
}
int GuardaPGM(const char* name, int width, int height, const float* plane, signed char gap) {
  return GuardaPGMT(name, width, height, plane, gap);
}
int GuardaPGM(const char* name, int width, int height, const int* plane, signed char gap) {
  return GuardaPGMT(name, width, height, plane, gap);
}

int CargaRawDimensiones(const char* name, int* width, int* height) {
  FILE* file = std::fopen(NombreDimensiones(name).c_str(), "rb");
  if (!file) return kErrLectura;
  int err = LeeLineaDimension(file, "ancho:", width);
  if (err == 0) err = LeeLineaDimension(file, "alto:", height);
  std::fclose(file);
  return err;
}

int CargaRawLuminancia(const char* name, int width, int height, float** plane, signed char gap) {
  return CargaRawT(name, width, height, plane, gap, {});
}
int CargaRawLuminancia(const char* name, int width, int height, int** plane, signed char gap) {
  return CargaRawT(name, width, height, plane, gap, {});
}
int GuardaRawLuminancia(const char* name, int width, int height, const float* plane, signed char gap) {
  return GuardaRawT(name, width, height, plane, gap);
}
int GuardaRawLuminancia(const char* name, int width, int height, const int* plane, signed char gap) {
  return GuardaRawT(name, width, height, plane, gap);
}

// ===================================================================== PNG

namespace {

using ContextoPNG = std::unique_ptr<spng_ctx, decltype(&spng_ctx_free)>;

// What a hostile file can make the decoder hold besides the image: photographs
// carry few ancillary chunks, and small ones.
constexpr size_t kTrozoMaximoPNG = size_t(1) << 24;
constexpr size_t kTrozosMaximosPNG = size_t(1) << 26;

// The luma of an RGB pixel in integers, rounded: a grey pixel is its own.
inline int Luma(const uint8_t* rgb) { return (299 * rgb[0] + 587 * rgb[1] + 114 * rgb[2] + 500) / 1000; }

// The refusals the header and the chunks before the image data decide, in
// their order; *rgb tells a colour or palette image, decoded as RGB.
int Comprueba(spng_ctx* ctx, const spng_ihdr& ih, bool luma, bool* rgb) {
  spng_trns trns;
  const int trnsLeido = spng_get_trns(ctx, &trns);
  if (trnsLeido != 0 && trnsLeido != SPNG_ECHUNKAVAIL) return kErrLectura;
  if (trnsLeido == 0 || ih.color_type == SPNG_COLOR_TYPE_GRAYSCALE_ALPHA ||
      ih.color_type == SPNG_COLOR_TYPE_TRUECOLOR_ALPHA)
    return kErrTransparencia;
  if (ih.bit_depth == 16) return kErr16Bits;
  *rgb = ih.color_type != SPNG_COLOR_TYPE_GRAYSCALE;
  bool color = ih.color_type == SPNG_COLOR_TYPE_TRUECOLOR;
  if (ih.color_type == SPNG_COLOR_TYPE_INDEXED) {
    spng_plte plte;
    if (spng_get_plte(ctx, &plte) != 0) return kErrLectura;
    for (uint32_t k = 0; k < plte.n_entries; ++k) {
      const spng_plte_entry& e = plte.entries[k];
      color = color || e.red != e.green || e.green != e.blue;
    }
  }
  return color && !luma ? kErrColor : 0;
}

// Decoded rows (grey bytes, or RGB triples) into plane rows.
template <typename T>
void MuestrasDePNG(const uint8_t* fila, bool rgb, int64_t width, T* destino) {
  for (int64_t x = 0; x < width; ++x) destino[x] = MuestraDeByte<T>(rgb ? Luma(fila + 3 * x) : fila[x]);
}

// Decodes row by row: an image that is not interlaced goes through one row
// of bytes; an interlaced one comes in seven passes over the whole image, so
// it is held whole and converted at the end.
template <typename T>
int LeePNG(FILE* file, int* width, int* height, T** plane, signed char gap, bool luma, SigueCarga sigue) {
  ContextoPNG ctx(spng_ctx_new(0), &spng_ctx_free);
  if (!ctx) return kErrMemoria;
  spng_ihdr ih;
  if (spng_set_png_file(ctx.get(), file) != 0 ||
      spng_set_chunk_limits(ctx.get(), kTrozoMaximoPNG, kTrozosMaximosPNG) != 0 ||
      spng_get_ihdr(ctx.get(), &ih) != 0)
    return kErrLectura;
  if (!TamanoAdmitido(ih.width, ih.height, gap)) return kErrTamano;
  bool rgb = false;
  int err = Comprueba(ctx.get(), ih, luma, &rgb);
  if (err) return err;
  if (sigue.fn != nullptr && !sigue.fn(sigue.usuario, int(ih.width), int(ih.height))) {
    *width = int(ih.width);
    *height = int(ih.height);
    return 0;
  }
  if (spng_decode_image(ctx.get(), nullptr, 0, rgb ? SPNG_FMT_RGB8 : SPNG_FMT_G8, SPNG_DECODE_PROGRESSIVE) != 0)
    return kErrLectura;
  const int64_t ancho = ih.width, alto = ih.height, paso = Paso(int(ancho), gap);
  const size_t fila = size_t(ancho) * (rgb ? 3 : 1);
  const bool entrelazada = ih.interlace_method != SPNG_INTERLACE_NONE;
  std::unique_ptr<uint8_t[]> bytes(new (std::nothrow) uint8_t[entrelazada ? fila * size_t(alto) : fila]);
  if (!bytes) return kErrMemoria;
  int r = 0;
  {
    Anticipo anticipo;  // done with the plane's pages before the plane may be freed
    err = ReservaPlano(int(ancho), int(alto), gap, plane, anticipo);
    if (err) return err;
    for (spng_row_info info; r == 0 && spng_get_row_info(ctx.get(), &info) == 0;) {
      uint8_t* destino = bytes.get() + (entrelazada ? fila * info.row_num : 0);
      r = spng_decode_row(ctx.get(), destino, fila);
      if ((r == 0 || r == SPNG_EOI) && !entrelazada)
        MuestrasDePNG(destino, rgb, ancho, *plane + info.row_num * paso);
    }
  }
  if (r != SPNG_EOI) {
    std::free(*plane);
    *plane = nullptr;
    return kErrLectura;
  }
  for (int64_t y = 0; entrelazada && y < alto; ++y)
    MuestrasDePNG(bytes.get() + fila * size_t(y), rgb, ancho, *plane + y * paso);
  *width = int(ancho);
  *height = int(alto);
  return 0;
}

template <typename T>
int CargaPNGT(const char* name, int* width, int* height, T** plane, signed char gap, bool luma,
              SigueCarga sigue) {
  std::unique_ptr<char[]> buffer;
  FILE* file = AbreEntrada(name, buffer);
  if (!file) return kErrLectura;
  const int err = LeePNG(file, width, height, plane, gap, luma, sigue);
  std::fclose(file);
  return err;
}

// 8-bit grey, row by row through one row of bytes. False when the encoder or
// the stream refused.
template <typename T>
bool EscribePNG(FILE* file, int width, int height, const T* plane, signed char gap) {
  ContextoPNG ctx(spng_ctx_new(SPNG_CTX_ENCODER), &spng_ctx_free);
  spng_ihdr ih = {};
  ih.width = uint32_t(width);
  ih.height = uint32_t(height);
  ih.bit_depth = 8;
  ih.color_type = SPNG_COLOR_TYPE_GRAYSCALE;
  std::unique_ptr<uint8_t[]> fila(new (std::nothrow) uint8_t[size_t(std::max(width, 1))]);
  if (!ctx || !fila || spng_set_png_file(ctx.get(), file) != 0 || spng_set_ihdr(ctx.get(), &ih) != 0 ||
      spng_encode_image(ctx.get(), nullptr, 0, SPNG_FMT_PNG, SPNG_ENCODE_PROGRESSIVE | SPNG_ENCODE_FINALIZE) != 0)
    return false;
  int r = 0;
  for (int64_t y = 0; y < height && r == 0; ++y) {
    BytesDeMuestras(plane + y * Paso(width, gap), size_t(width), fila.get());
    r = spng_encode_row(ctx.get(), fila.get(), size_t(width));
  }
  return r == SPNG_EOI;
}

template <typename T>
int GuardaPNGT(const char* name, int width, int height, const T* plane, signed char gap) {
  Salida out;
  if (!AbreSalida(name, &out)) return kErrEscritura;
  out.ok = EscribePNG(out.file, width, height, plane, gap);
  return CierraSalida(&out);
}

}  // namespace

int CargaPNG(const char* name, int* width, int* height, float** plane, signed char gap, bool luma,
             SigueCarga sigue) {
  return CargaPNGT(name, width, height, plane, gap, luma, sigue);
}
int CargaPNG(const char* name, int* width, int* height, int** plane, signed char gap, bool luma,
             SigueCarga sigue) {
  return CargaPNGT(name, width, height, plane, gap, luma, sigue);
}
int GuardaPNG(const char* name, int width, int height, const float* plane, signed char gap) {
  return GuardaPNGT(name, width, height, plane, gap);
}
int GuardaPNG(const char* name, int width, int height, const int* plane, signed char gap) {
  return GuardaPNGT(name, width, height, plane, gap);
}

// ================================================================= quality

namespace {

// Running mean, kept as a float after every step as the reference does; each
// step is formed in double. Rows are `paso` samples apart in both planes.
template <typename T>
float MSE(int width, int height, const T* first, const T* second, int64_t paso) {
  int64_t n = 0;
  float media = 0.0f;
  for (int64_t y = 0; y < height; ++y)
    for (int64_t x = 0; x < width; ++x) {
      ++n;
      const int64_t d = int64_t(first[y * paso + x]) - second[y * paso + x];
      const float s = static_cast<float>(double(d) * double(d));  // exact below 2^26
      media = static_cast<float>((double(n - 1) / double(n)) * double(media) + double(s) / double(n));
    }
  return media;
}

float PSNRDeMSE(float mse) {
  // Identical planes: the quotient would be a division by zero.
  if (mse == 0.0f) return std::numeric_limits<float>::infinity();
  return static_cast<float>(10.0 * std::log10(65025.0 / double(mse)));
}

}  // namespace

float CalculaMSELuminancia(int width, int height, const int* first, const int* second, signed char gap) {
  return MSE(width, height, first, second, Paso(width, gap));
}

float CalculaPSNRLuminancia(int width, int height, const int* first, const int* second, signed char gap) {
  return PSNRDeMSE(CalculaMSELuminancia(width, height, first, second, gap));
}

float CalculaPSNRBytes(int width, int height, const unsigned char* first,
                       const unsigned char* second, size_t stride) {
  return PSNRDeMSE(MSE(width, height, first, second, int64_t(stride)));
}
