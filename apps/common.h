// What the three programs share: the argument walk, the value readers with
// the 32-bit and 8-bit semantics the command lines have always had, the
// banner and help frames, and the timing and file-size helpers of the reports.
// Each program keeps its own message texts.
#pragma once
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>

namespace zalapp {

inline constexpr const char* kVersion = "1.1";

// Handles one argument. `valor` is the next argument, or null when there is
// none or it begins with '-'. An option that takes a value adds 1 to n_opt so
// that the walk skips it. Returns false after printing a parsing error.
using ProcesaOpcionFn = bool (*)(const char* opcion, const char* valor, int& n_opt);

// Hands every argument after the program name to `procesa`, in order, and
// stops at the first one it refuses. Returns false in that case.
bool RecorreOpciones(int argc, char** argv, ProcesaOpcionFn procesa);

// True when `arg` is exactly the long or the short name.
bool EsOpcion(const char* arg, const char* larga, const char* corta);

// One entry of a program's option table: the two names, then either where the
// value goes (one of the pointers) with the message printed when the value is
// missing or refused, or the flag that the option sets.
struct Opcion {
  const char* larga;
  const char* corta;
  const char* mensaje = nullptr;
  const char** nombre = nullptr;   // a file name, kept as given
  int32_t* entero = nullptr;       // LeeEntero; 0 is refused
  signed char* entero8 = nullptr;  // LeeEntero8; 0 is refused
  float* real = nullptr;           // LeeReal; 0 is refused, or anything not above 0 with `positivo`
  bool positivo = false;
  int* bandera = nullptr;          // set to 1; the option takes no value
};

// Applies the first entry of `tabla` that names `opcion`: a value option adds
// 1 to n_opt at once (the walk skips its value, accepted or not), stores the
// value and tests it. An argument that names no entry is an unknown
// parameter. Returns false after printing a parsing error.
bool AplicaOpcion(std::span<const Opcion> tabla, const char* opcion, const char* valor, int& n_opt);

// atoi as on a 32-bit platform: out-of-range numbers saturate to the 32-bit
// limits instead of wrapping through a 64-bit long.
int32_t LeeEntero(const char* texto);
// The low 8 bits of LeeEntero, as the signed 8-bit settings store them.
signed char LeeEntero8(const char* texto);
// atof rounded to a 32-bit float.
float LeeReal(const char* texto);

// The checks that the encoder and the rate finder make after the walk: both
// file names given, and a size for a RAW input (`tipo` from DeterminaTipo).
// Returns false after printing the parsing error.
bool CompruebaNombres(const char* entrada, const char* salida, int tipo, int32_t ancho, int32_t alto);

// --pad: the loaded image is padded to the size the coder takes (its own
// size stays in the caller's ancho and alto), and a padded side the format
// cannot hold is the coder's error, shown in its frame with the output name.
struct Relleno {
  const char* salida = nullptr;
  int32_t ancho = 0, alto = 0;  // the coded size, set by CargaYTransforma
};

// Refuses an output that is the same file as one of the inputs (null names
// are skipped), before anything is written: prints the image module's
// message 113 in `marco` ("...%s...%s...": the output's name, the message)
// and returns false. A character device (a terminal, /dev/null) is not
// taken for the same file.
bool CompruebaSalida(const char* salida, std::initializer_list<const char*> entradas,
                     const char* marco);

// Runs a program's body, then sees that everything it printed reached
// standard output: if not, says so on standard error and returns 1, else
// the body's status. A closed pipe is such a failure (SIGPIPE is ignored),
// and a standard stream the caller closed is opened on /dev/null for
// reading, so that no file the program opens takes its place. The files the
// body wrote take their names only then, and only if standard output did
// not fail: a run that ends with status 1 for it leaves them as they were.
int Ejecuta(int (*principal)(int, char**), int argc, char** argv);

// The refusal a program's first coding gives for an image of this size
// (ZALCompruebaArgumentos with its settings), or 0.
using RechazoCodificador = int (*)(int ancho, int alto);

// The encoder side's road from the image file to its transform: clears the
// timing slots, loads the image (the size travels both ways, as the loader
// wants), pads it when `relleno` is given, prints the heading in verbose mode
// and transforms the plane, timed in slot 3. `luma`: a colour PNG is loaded
// as its luma (--grey). Returns the plane, or null after printing the
// error's frame. A size that the padding, the transform or then `rechazo`
// (when given) refuses is refused from the header, before the plane is
// allocated or a sample read, with the same heading and text as after the
// work: the padding's and the transform's here, the coder's by the caller,
// which finds it in *codigoCodificador (0 otherwise) with a null plane.
float* CargaYTransforma(const char* entrada, int32_t* ancho, int32_t* alto, signed char level,
                        signed char blankborder, bool verbose, RechazoCodificador rechazo,
                        int* codigoCodificador, Relleno* relleno = nullptr, bool luma = false);

// With "--version" as the only argument: prints the program's name, its
// banner's version and the project release, and returns true.
bool ImprimeVersion(int argc, char** argv, const char* programa);

// The two lines printed when a program runs without arguments.
void ImprimeBanner(const char* titulo, const char* programa);
// The help frame (title, credits, usage) followed by the program's option lines.
void ImprimeAyuda(const char* titulo, const char* programa, std::span<const std::string> opciones);

// printf into a std::string, for help lines that show a constant.
std::string Formatea(const char* formato, ...) __attribute__((format(printf, 1, 2)));

// A 32-bit tick total printed with a "%9lu" format: the total is the 32-bit
// counter's value, read as unsigned.
void ImprimeCiclos(const char* formato, int32_t total);
// "- Calculating CPU frequency: " and its result; returns the frequency.
uint32_t ImprimeFrecuencia();

// Size in bytes of a file, or false when its status cannot be read.
bool TamanoFichero(const char* nombre, int64_t* bytes);
// The same for a regular file only: false for a pipe, a device or anything
// else whose size is not the number of bytes written to it.
bool TamanoFicheroRegular(const char* nombre, int64_t* bytes);

}  // namespace zalapp
