// The rate search: the quantization parameter at which a transformed image's
// stream comes just below a target bit rate. Bppquest and the library's
// zal_encode_to_rate both search here; only where the stream is left (a file
// or memory) and what is shown of each trial differ.
#pragma once
#include <cstdint>
#include <vector>

// Where the search leaves its stream.
class ZALSalidaBusqueda {
 public:
  // Leaves in the output a whole stream already coded: 0 or a coder code.
  virtual int Guarda(const std::vector<uint8_t>& flujo) = 0;
  // Codes the plane into the output (its cells take the coder's labels):
  // 0 or a coder code.
  virtual int Codifica(signed char rplanes, signed char level, float quant, int width, int height,
                       float* plane, signed char blankborder, bool rd) = 0;
  // Size in bytes of what the output holds (the stream and the extra bytes
  // after it), or false when that size is unknown (an output that is not a
  // regular file).
  virtual bool Tamano(int64_t* bytes) = 0;

 protected:
  ~ZALSalidaBusqueda() = default;
};

// Told of each trial as the search goes, without changing how it searches
// (unlike a trial function): the trial's number and quantization, and its
// rate, or with `exacta` false a rate its coding stopped above.
using ZALAvisoFn = void (*)(void* usuario, int prueba, float quant, float rate, bool exacta);

struct ZALParametrosBusqueda {
  float target = 1.0f;  // bits per pixel
  float startq = 0.1f;  // first quantization, and where each --keep phase starts again
  signed char rplanes = 2;
  signed char level = 6;
  signed char blankborder = 3;
  bool keep = false;    // raise rplanes rather than let the quantization pass 1
  int width = 0, height = 0;  // coded
  // Rates count the whole output over the image's own pixels: `extra` bytes
  // that follow each stream (the extension), and trueWidth x trueHeight
  // pixels when the coded image is a padded one (0: width x height).
  int extra = 0;
  int trueWidth = 0, trueHeight = 0;
  bool adelantado = false;  // code the likely next trial on a second thread meanwhile
  ZALAvisoFn aviso = nullptr;
  void* usuarioAviso = nullptr;
  bool rd = false;          // labels chosen by rate and distortion (ZALCodificador)
};

// Called once per trial, in order, on the searching thread (never for a trial
// coded ahead): its quantization, rplanes and rate. Non-zero cancels.
using ZALPruebaFn = int (*)(void* usuario, float quant, int rplanes, float rate);

enum : int {
  kBusquedaOk = 0,
  kBusquedaInalcanzable = 1,  // the target is below the lowest rate (minima)
  kBusquedaSinQuant = 2,      // the trials ended without one at or below the target
  kBusquedaCancelada = 3,     // the trial function asked to stop
  kBusquedaCodificador = 4,   // the coder failed (codigo); see ZALResultadoBusqueda
  kBusquedaSinMemoria = 5,    // no memory for a copy of the coefficients
};

struct ZALResultadoBusqueda {
  float quant = 0.0f;       // found; with kBusquedaSinQuant, the last trial coded
  signed char rplanes = 0;  // found
  int pruebas = 0;          // trials made
  float minima = 0.0f;      // kBusquedaInalcanzable: the lowest rate
  int codigo = 0;           // kBusquedaCodificador: the coder's code
  // What the output holds at the end: the stream coded at the result, or
  // after a failure the one Bppquest has always left (the last trial coded).
  bool salidaEscrita = false;
};

// Whether trials are best coded ahead on a second thread for an image of this
// size: on small images starting the thread costs more than it saves.
bool ZALBusquedaAdelantada(int width, int height);

// The refusal the search's first coding gives for these parameters whatever
// the plane's values (ZALCompruebaArgumentos), or 0: known before the plane
// exists.
int ZALCompruebaBusqueda(const ZALParametrosBusqueda& p);

// The search over the transformed plane (left as it was on entry). The output
// ends as if every trial had been coded into it: coded at the result, or
// after kBusquedaSinQuant or a coder failure past the first trial at the last
// trial coded without error.
int ZALBuscaTasa(float* plane, const ZALParametrosBusqueda& p, ZALPruebaFn prueba, void* usuario,
                 ZALSalidaBusqueda& salida, ZALResultadoBusqueda* resultado);
