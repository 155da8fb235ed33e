// The public C API (include/zal/zal.h) over the stages the programs use
// (coder/ZALetapas.h). This file only checks arguments, moves bytes between
// the caller's buffers and the stages' planes, and turns each stage's code
// into the status the programs print for it: the image module's codes plus
// 100, the coder's plus 200, the transform's plus 300, and 209 for every
// lack of memory. Nothing here prints, exits or lets an exception out.
#include "zal/zal.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <vector>

#include "coder/ZALetapas.h"
#include "coder/ZALextension.h"
#include "entropy/CodificadorAritmetico.h"
#include "image/ImagenLuminanciaES.h"
#include "wavelet/wavelets.h"

namespace {

constexpr signed char kBorde = 3;  // the programs' blank border after each row
constexpr float kQuantDefecto = 0.8956599831581116f;  // ZALcod's default, bits 0x3F6549F9
constexpr float kStartDefecto = 0.1f;                 // Bppquest's default start
constexpr int kLevelsDefecto = 6;
constexpr int kRplanesDefecto = 2;

// The image module's codes that have a status of their own here.
constexpr int kImagenSinMemoria = 11;
constexpr int kWaveletSinMemoria = 2;

int DeImagen(int codigo) {
  return codigo == 0 ? 0 : codigo == kImagenSinMemoria ? ZAL_STATUS_NO_MEMORY : 100 + codigo;
}
int DeWavelet(int codigo) {
  return codigo == 0 ? 0 : codigo == kWaveletSinMemoria ? ZAL_STATUS_NO_MEMORY : 300 + codigo;
}
// `enMemoria`: the stream went to memory or was only counted, so that a
// failed write can only be memory running out.
int DeCoder(int codigo, bool enMemoria) {
  if (codigo == 0) return 0;
  if (codigo == kZALSinMemoria || (enMemoria && codigo == kZALNoEscribe))
    return ZAL_STATUS_NO_MEMORY;
  return 200 + codigo;
}

struct LiberaPlano {
  void operator()(float* p) const { std::free(p); }
};
using Plano = std::unique_ptr<float, LiberaPlano>;

// The 8-bit settings take the command lines' values: an int beyond 8 bits is
// saturated, so that it is refused as the nearest 8-bit value would be.
signed char Ocho(int v) {
  return static_cast<signed char>(v < -128 ? -128 : v > 127 ? 127 : v);
}

// Pixels, sizes and stride of an image argument; *paso gets the stride.
bool ImagenValida(const uint8_t* pixels, int width, int height, size_t stride, size_t* paso) {
  if (pixels == nullptr || width <= 0 || height <= 0) return false;
  if (stride == 0) stride = size_t(width);
  if (stride < size_t(width)) return false;
  // The last row must end within the address space.
  if (size_t(height - 1) > (std::numeric_limits<size_t>::max() - size_t(width)) / stride)
    return false;
  *paso = stride;
  return true;
}

bool ParametrosValidos(const zal_params* p) {
  if (p == nullptr || (p->flags & ~(ZAL_PAD | ZAL_CHECKSUM | ZAL_RDO)) != 0) return false;
  for (int r : p->reserved)
    if (r != 0) return false;
  return true;
}

bool ConExtension(const zal_params* p) { return (p->flags & (ZAL_PAD | ZAL_CHECKSUM)) != 0; }

// The size coded: the image's, or with ZAL_PAD the padded one.
struct Codificado {
  int ancho = 0, alto = 0;
};

// The coding side's first stages, as ZALcod takes them: the samples into a
// plane, padded with ZAL_PAD (a size too large is refused before any plane
// is made), then the transform.
int PreparaPlano(const uint8_t* pixels, int width, int height, size_t paso, const zal_params* params,
                 Plano& plano, Codificado* cod) {
  const signed char level = Ocho(params->levels);
  const bool pad = (params->flags & ZAL_PAD) != 0;
  *cod = {width, height};
  if (pad && ZALTamanoRelleno(level, width, height, &cod->ancho, &cod->alto) != 0)
    return DeCoder(kZALLadoFueraDeRango, true);
  float* p = nullptr;
  const int carga = CargaImagenBytes(pixels, width, height, paso, &p, kBorde);
  plano.reset(p);
  if (carga != 0) return DeImagen(carga);
  if (pad) {
    p = plano.release();
    const int relleno = ZALRellenaPlano(level, width, height, &p, kBorde, &cod->ancho, &cod->alto);
    plano.reset(p);
    if (relleno != 0) return DeCoder(relleno, true);
  }
  return DeWavelet(ZALTransformaPlano(level, cod->ancho, cod->alto, plano.get(), kBorde));
}

// A copy of the stream in a buffer the caller frees with zal_free.
int Entrega(const std::vector<uint8_t>& flujo, uint8_t** out, size_t* out_size) {
  uint8_t* copia = static_cast<uint8_t*>(std::malloc(flujo.empty() ? 1 : flujo.size()));
  if (copia == nullptr) return ZAL_STATUS_NO_MEMORY;
  if (!flujo.empty()) std::memcpy(copia, flujo.data(), flujo.size());
  *out = copia;
  *out_size = flujo.size();
  return 0;
}

// The rate search's output, in memory: each stream followed by the extension
// when `extension` is set.
class SalidaMemoria final : public ZALSalidaBusqueda {
 public:
  std::vector<uint8_t> flujo;
  bool extension = false;
  int ancho = 0, alto = 0;  // the true size

  int Guarda(const std::vector<uint8_t>& f) override {
    try {
      flujo = f;
      if (extension) ZALAnadeExtension(flujo, ancho, alto);
    } catch (const std::bad_alloc&) {
      flujo.clear();
      return kZALSinMemoria;
    }
    return 0;
  }
  int Codifica(signed char rplanes, signed char level, float quant, int width, int height,
               float* plane, signed char blankborder, bool rd) override {
    int64_t bytes = 0;
    const int codigo = ZALCodificadorMemoria(rplanes, level, quant, width, height, plane,
                                             blankborder, &bytes, &flujo, -1, false, rd);
    if (codigo == 0 && extension) ZALAnadeExtension(flujo, ancho, alto);
    return codigo == kZALNoEscribe ? kZALSinMemoria : codigo;
  }
  bool Tamano(int64_t* bytes) override {
    *bytes = static_cast<int64_t>(flujo.size());
    return true;
  }
};

struct Ensayo {
  zal_trial_fn fn;
  void* user;
};

int LlamaEnsayo(void* usuario, float quant, int rplanes, float rate) {
  const Ensayo& e = *static_cast<const Ensayo*>(usuario);
  return e.fn(e.user, quant, rplanes, static_cast<double>(rate));
}

void InfoDeCabecera(const ZALCabecera& c, zal_info* info) {
  *info = zal_info{};
  info->width = c.ancho;
  info->height = c.alto;
  info->levels = c.levels;
  info->rplanes = c.rplanes;
  info->quant = c.quant;
}

// The true size of a padded image, and the flags that say where it came from.
void Verdadero(int ancho, int alto, bool extension, zal_info* info) {
  if (ancho < info->width || alto < info->height) info->flags |= ZAL_INFO_PADDED;
  if (extension) info->flags |= ZAL_INFO_CHECKSUM;
  info->width = ancho;
  info->height = alto;
}

// Runs a body that may meet an exception (a container that finds no memory)
// and turns any into a status.
template <class F>
int Protegido(F&& cuerpo) {
  try {
    return cuerpo();
  } catch (...) {
    return ZAL_STATUS_NO_MEMORY;
  }
}

// What zal_encode and zal_encoded_size share: the argument checks, then the
// image's plane prepared and handed to `codifica`, which codes it (the plane
// may be freed there once coded).
template <class F>
int CodificaImagen(const uint8_t* pixels, int width, int height, size_t stride, const zal_params* p,
                   bool salidaValida, F&& codifica) {
  size_t paso = 0;
  if (!ImagenValida(pixels, width, height, stride, &paso) || !ParametrosValidos(p) || !salidaValida)
    return ZAL_STATUS_INVALID_ARGUMENT;
  return Protegido([&] {
    Plano plano;
    Codificado cod;
    const int estado = PreparaPlano(pixels, width, height, paso, p, plano, &cod);
    return estado != 0 ? estado : codifica(plano, cod);
  });
}

}  // namespace

extern "C" {

unsigned zal_version(void) { return ZAL_VERSION_NUMBER; }

const char* zal_strerror(int status) {
  if (status == 0) return "Success";
  if (status > 100 && status < 200) return ImagenTextoError(status - 100);
  if (status > 200 && status < 300) return ZALTextoError(status - 200);
  if (status > 300 && status < 400) return WaveletsTextoError(status - 300);
  switch (status) {
    case ZAL_STATUS_INVALID_ARGUMENT: return "Invalid argument";
    case ZAL_STATUS_UNREACHABLE_RATE: return "The bit rate cannot be reached with this rplanes";
    case ZAL_STATUS_NO_QUANT_FOUND: return "No quantization parameter found for the bit rate";
    case ZAL_STATUS_CANCELLED: return "Bit rate search cancelled";
    default: return "Unknown error";
  }
}

void zal_default_params(zal_params* p) {
  if (p == nullptr) return;
  *p = zal_params{};
  p->levels = kLevelsDefecto;
  p->rplanes = kRplanesDefecto;
  p->quant = kQuantDefecto;
}

int zal_read_header(const uint8_t* data, size_t size, zal_info* info) {
  if (data == nullptr || info == nullptr) return ZAL_STATUS_INVALID_ARGUMENT;
  *info = zal_info{};
  return Protegido([&] {
    FuenteMemoria fuente(data, size);
    ZALCabecera c;
    const int codigo = ZALLeeCabecera(&fuente, &c);
    if (codigo != 0) return DeCoder(codigo, true);
    int ancho = 0, alto = 0;
    bool extension = false;
    const int final = ZALExtensionAlFinal(data, size, c, &ancho, &alto, &extension);
    if (final != 0) return DeCoder(final, true);
    InfoDeCabecera(c, info);
    Verdadero(ancho, alto, extension, info);
    return 0;
  });
}

int zal_encode(const uint8_t* pixels, int width, int height, size_t stride, const zal_params* p,
               uint8_t** out, size_t* out_size) {
  if (out != nullptr) *out = nullptr;
  if (out_size != nullptr) *out_size = 0;
  return CodificaImagen(pixels, width, height, stride, p, out != nullptr && out_size != nullptr,
                        [&](Plano& plano, const Codificado& cod) {
    std::vector<uint8_t> flujo;
    int64_t bytes = 0;
    const int estado = DeCoder(ZALCodificadorMemoria(Ocho(p->rplanes), Ocho(p->levels), p->quant, cod.ancho,
                                                     cod.alto, plano.get(), kBorde, &bytes, &flujo, -1, false,
                                                     (p->flags & ZAL_RDO) != 0),
                               true);
    plano.reset();
    if (estado != 0) return estado;
    if (ConExtension(p)) ZALAnadeExtension(flujo, width, height);
    return Entrega(flujo, out, out_size);
  });
}

int zal_encoded_size(const uint8_t* pixels, int width, int height, size_t stride,
                     const zal_params* p, size_t* size) {
  if (size != nullptr) *size = 0;
  return CodificaImagen(pixels, width, height, stride, p, size != nullptr,
                        [&](Plano& plano, const Codificado& cod) {
    int64_t bytes = 0;
    const int estado = DeCoder(ZALCodificadorTamano(Ocho(p->rplanes), Ocho(p->levels), p->quant, cod.ancho,
                                                    cod.alto, plano.get(), kBorde, &bytes, -1, false,
                                                    (p->flags & ZAL_RDO) != 0),
                               true);
    if (estado == 0) *size = static_cast<size_t>(bytes) + (ConExtension(p) ? kZALExtensionBytes : 0);
    return estado;
  });
}

int zal_encode_to_rate(const uint8_t* pixels, int width, int height, size_t stride,
                       double target_bpp, float start_quant, zal_params* p, int keep_rplanes,
                       zal_trial_fn on_trial, void* user, uint8_t** out, size_t* out_size) {
  if (out != nullptr) *out = nullptr;
  if (out_size != nullptr) *out_size = 0;
  size_t paso = 0;
  // The rate as Bppquest reads it: rounded to float, refused unless above 0.
  const float target = static_cast<float>(target_bpp);
  if (!ImagenValida(pixels, width, height, stride, &paso) || !ParametrosValidos(p) ||
      out == nullptr || out_size == nullptr || !(target > 0.0f) || std::isnan(start_quant))
    return ZAL_STATUS_INVALID_ARGUMENT;
  return Protegido([&] {
    ZALParametrosBusqueda b;
    b.target = target;
    b.startq = start_quant > 0.0f ? start_quant : kStartDefecto;
    b.rplanes = Ocho(p->rplanes);
    b.level = Ocho(p->levels);
    b.blankborder = kBorde;
    b.keep = keep_rplanes != 0;
    b.rd = (p->flags & ZAL_RDO) != 0;
    Plano plano;
    Codificado cod;
    int estado = PreparaPlano(pixels, width, height, paso, p, plano, &cod);
    if (estado != 0) return estado;
    b.width = cod.ancho;
    b.height = cod.alto;
    b.trueWidth = width;
    b.trueHeight = height;
    b.extra = ConExtension(p) ? int(kZALExtensionBytes) : 0;
    // The labeller by rate and distortion keeps both cores busy itself.
    b.adelantado = !b.rd && ZALBusquedaAdelantada(cod.ancho, cod.alto);
    SalidaMemoria salida;
    salida.extension = ConExtension(p);
    salida.ancho = width;
    salida.alto = height;
    Ensayo ensayo = {on_trial, user};
    ZALResultadoBusqueda r;
    const int busqueda = ZALBuscaTasa(plano.get(), b, on_trial ? &LlamaEnsayo : nullptr, &ensayo,
                                      salida, &r);
    plano.reset();
    switch (busqueda) {
      case kBusquedaOk: estado = 0; break;
      case kBusquedaInalcanzable: return ZAL_STATUS_UNREACHABLE_RATE;
      case kBusquedaCancelada: return ZAL_STATUS_CANCELLED;
      case kBusquedaSinMemoria: return ZAL_STATUS_NO_MEMORY;
      case kBusquedaSinQuant: estado = ZAL_STATUS_NO_QUANT_FOUND; break;
      default: estado = DeCoder(r.codigo, true); break;
    }
    // Success, or a failure after which Bppquest leaves a stream on disk.
    if (r.salidaEscrita) {
      const int entrega = Entrega(salida.flujo, out, out_size);
      if (entrega != 0) return entrega;
    }
    if (estado == 0) {
      p->quant = r.quant;
      p->rplanes = r.rplanes;
    }
    return estado;
  });
}

int zal_decode(const uint8_t* data, size_t size, zal_info* info, uint8_t** pixels) {
  if (pixels != nullptr) *pixels = nullptr;
  if (data == nullptr || info == nullptr || pixels == nullptr) return ZAL_STATUS_INVALID_ARGUMENT;
  *info = zal_info{};
  return Protegido([&] {
    FuenteMemoria fuente(data, size);
    signed char rplanes = 0, levels = 0;
    float quant = 0.0f;
    int width = 0, height = 0;
    float* p = nullptr;
    ZALFinFlujo fin;
    const int codigo = ZALDecodificadorFuente(&rplanes, &levels, &quant, &width, &height, &p,
                                              &fuente, kBorde, &fin);
    Plano plano(p);
    if (codigo != 0) return DeCoder(codigo, true);
    const int inversa = DeWavelet(ZALReconstruyePlano(levels, width, height, plano.get(), kBorde));
    if (inversa != 0) return inversa;
    ZALRecortaPlano(width, fin.ancho, fin.alto, plano.get(), kBorde);
    const size_t bytes = size_t(fin.ancho) * size_t(fin.alto);
    uint8_t* imagen = static_cast<uint8_t*>(std::malloc(bytes));
    if (imagen == nullptr) return ZAL_STATUS_NO_MEMORY;
    GuardaImagenBytes(fin.ancho, fin.alto, plano.get(), kBorde, imagen, size_t(fin.ancho));
    info->width = width;
    info->height = height;
    info->levels = levels;
    info->rplanes = rplanes;
    info->quant = quant;
    info->flags = fin.truncado ? ZAL_INFO_TRUNCATED : 0u;
    Verdadero(fin.ancho, fin.alto, fin.extension, info);
    *pixels = imagen;
    return 0;
  });
}

double zal_psnr(const uint8_t* a, const uint8_t* b, int width, int height, size_t stride) {
  size_t paso = 0;
  if (b == nullptr || !ImagenValida(a, width, height, stride, &paso))
    return std::numeric_limits<double>::quiet_NaN();
  return static_cast<double>(CalculaPSNRBytes(width, height, a, b, paso));
}

void zal_free(void* p) { std::free(p); }

}  // extern "C"
