// Output files replaced whole (see SalidaAtomica.h).
#include "entropy/SalidaAtomica.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

namespace {

constexpr int kSenales[] = {SIGINT, SIGTERM, SIGHUP, SIGXFSZ};

// The temporary files that exist, by name, for the signal handlers: they may
// neither allocate nor lock, so the names live in fixed slots, each claimed
// and freed through a lock-free state.
enum : int { kLibre = 0, kTomada = 1, kArmada = 2 };  // kArmada: the name is a file to remove
struct Ranura {
  std::atomic<int> estado{kLibre};
  char nombre[PATH_MAX];
};
static_assert(std::atomic<int>::is_always_lock_free);
Ranura ranuras[8];

extern "C" void AlRecibirSenal(int senal) {
  for (Ranura& r : ranuras)
    if (r.estado.load() == kArmada) unlink(r.nombre);
  // The handler was reset to the default action on entry, and the signal is
  // blocked while it runs: raised again, it takes its course on return.
  raise(senal);
}

// Only signals left to their default action: one the process ignores or
// handles itself cannot end it here.
void InstalaManejadores() {
  static std::once_flag una;
  std::call_once(una, [] {
    for (int senal : kSenales) {
      struct sigaction actual;
      if (sigaction(senal, nullptr, &actual) != 0 || (actual.sa_flags & SA_SIGINFO) ||
          actual.sa_handler != SIG_DFL)
        continue;
      struct sigaction nueva = {};
      nueva.sa_handler = AlRecibirSenal;
      sigemptyset(&nueva.sa_mask);
      for (int otra : kSenales) sigaddset(&nueva.sa_mask, otra);
      nueva.sa_flags = SA_RESETHAND;
      sigaction(senal, &nueva, nullptr);
    }
  });
}

// Holds the four signals back while a temporary file and its slot change
// together: a handler never sees a file without its name, or the reverse.
struct SenalesBloqueadas {
  sigset_t antes;
  SenalesBloqueadas() {
    sigset_t bloqueo;
    sigemptyset(&bloqueo);
    for (int senal : kSenales) sigaddset(&bloqueo, senal);
    pthread_sigmask(SIG_BLOCK, &bloqueo, &antes);
  }
  ~SenalesBloqueadas() { pthread_sigmask(SIG_SETMASK, &antes, nullptr); }
};

int TomaRanura() {
  for (int i = 0; i < int(std::size(ranuras)); ++i) {
    int libre = kLibre;
    if (ranuras[i].estado.compare_exchange_strong(libre, kTomada)) return i;
  }
  return -1;
}

// ".NAME.XXXXXX.tmp" in the output's folder, or "" for a name without one.
std::string Plantilla(const std::string& nombre) {
  const size_t barra = nombre.rfind('/');
  const size_t base = barra == std::string::npos ? 0 : barra + 1;
  if (base == nombre.size()) return "";
  return nombre.substr(0, base) + "." + nombre.substr(base) + ".XXXXXX.tmp";
}

mode_t Umask() {
  const mode_t m = umask(0);
  umask(m);
  return m;
}

bool MismoRegular(const std::string& nombre, dev_t dev, ino_t ino) {
  struct stat ahora;
  return lstat(nombre.c_str(), &ahora) == 0 && S_ISREG(ahora.st_mode) && ahora.st_dev == dev &&
         ahora.st_ino == ino;
}

// Outputs complete and synced whose rename waits for the program's end
// (DifiereRenombrados), so that a run that fails after writing them, its
// standard output for one, leaves the names as they were.
struct Pendiente {
  std::string nombre, temporal;
  int fd = -1, ranura = -1;
};
struct {
  bool diferir = false;
  std::vector<Pendiente> lista;
} pendientes;

// Renames (or, when `renombra` is false, removes) a synced temporary file,
// frees its slot and closes it.
bool Termina(const std::string& temporal, const std::string& nombre, int fd, int ranura,
             bool renombra) {
  if (renombra) GanchoSalida("rename");
  bool bien = renombra;
  {
    SenalesBloqueadas bloqueo;
    bien = bien && std::rename(temporal.c_str(), nombre.c_str()) == 0;
    if (!bien) unlink(temporal.c_str());
    ranuras[ranura].estado = kLibre;
  }
  close(fd);
  return bien;
}

}  // namespace

SalidaAtomica::~SalidaAtomica() { DescartaSalida(this); }

void PreparaSalida(const char* nombre, SalidaAtomica* s) {
  DescartaSalida(s);
  s->nombre = nombre;
  struct stat antes;
  const bool existe = lstat(nombre, &antes) == 0;
  // A file that may not be written is not replaced either: written in place,
  // it fails as it always did.
  if (existe ? !S_ISREG(antes.st_mode) || antes.st_nlink > 1 ||
                   faccessat(AT_FDCWD, nombre, W_OK, AT_EACCESS) != 0
             : errno != ENOENT)
    return;
  const mode_t modo = existe ? antes.st_mode & 07777 : 0666 & ~Umask();
  const std::string plantilla = Plantilla(s->nombre);
  if (plantilla.empty() || plantilla.size() >= PATH_MAX) return;
  const int r = TomaRanura();
  if (r < 0) return;
  InstalaManejadores();
  int fd;
  {
    SenalesBloqueadas bloqueo;
    std::memcpy(ranuras[r].nombre, plantilla.c_str(), plantilla.size() + 1);
    fd = mkostemps(ranuras[r].nombre, 4, O_CLOEXEC);
    ranuras[r].estado = fd >= 0 ? kArmada : kLibre;
  }
  if (fd < 0) return;
  s->fd = fd;
  s->ranura = r;
  s->temporal = ranuras[r].nombre;
  // An owner or group that cannot be kept, or permissions that cannot be
  // given, are kept by writing the old file in place instead.
  const bool dueno = !existe || (antes.st_uid == geteuid() && antes.st_gid == getegid()) ||
                     fchown(fd, antes.st_uid, antes.st_gid) == 0;
  if (!dueno || fchmod(fd, modo) != 0) DescartaSalida(s);
}

FILE* AbreContenido(SalidaAtomica* s) {
  if (s->file) std::fclose(s->file);
  s->file = nullptr;
  s->completo = false;
  if (s->fd >= 0) {
    int copia = -1;
    if (ftruncate(s->fd, 0) == 0 && lseek(s->fd, 0, SEEK_SET) == 0)
      copia = fcntl(s->fd, F_DUPFD_CLOEXEC, 0);
    if (copia >= 0 && !(s->file = fdopen(copia, "wb"))) close(copia);
  } else {
    s->file = std::fopen(s->nombre.c_str(), "wb");
    struct stat abierto;
    s->borrable = s->file && fstat(fileno(s->file), &abierto) == 0 && S_ISREG(abierto.st_mode) &&
                  MismoRegular(s->nombre, abierto.st_dev, abierto.st_ino);
    s->dev = s->borrable ? abierto.st_dev : 0;
    s->ino = s->borrable ? abierto.st_ino : 0;
  }
  if (s->file) GanchoSalida("open");
  return s->file;
}

bool CierraContenido(SalidaAtomica* s, bool ok) {
  if (!s->file) return false;
  bool bien = ok && std::ferror(s->file) == 0 && std::fflush(s->file) == 0;
  if (std::fclose(s->file) != 0) bien = false;
  s->file = nullptr;
  s->completo = bien;
  // A file written in place and cut short would look like a good one.
  if (!bien && s->fd < 0 && s->borrable && MismoRegular(s->nombre, s->dev, s->ino))
    std::remove(s->nombre.c_str());
  if (bien) GanchoSalida("written");
  return bien;
}

bool ConfirmaSalida(SalidaAtomica* s) {
  if (s->file || !s->completo) {
    DescartaSalida(s);
    return false;
  }
  if (s->fd < 0) return true;
  bool bien = fsync(s->fd) == 0;
  if (bien && pendientes.diferir) {
    pendientes.lista.push_back({s->nombre, s->temporal, s->fd, s->ranura});
  } else {
    bien = Termina(s->temporal, s->nombre, s->fd, s->ranura, bien);
  }
  s->fd = s->ranura = -1;
  s->temporal.clear();
  return bien;
}

void DifiereRenombrados() { pendientes.diferir = true; }

bool TerminaRenombrados(bool renombra) {
  bool bien = true;
  for (const Pendiente& p : pendientes.lista)
    bien = Termina(p.temporal, p.nombre, p.fd, p.ranura, renombra) && bien;
  pendientes.lista.clear();
  return bien;
}

const char* ContenidoDe(const char* nombre) {
  for (const Pendiente& p : pendientes.lista)
    if (p.nombre == nombre) return p.temporal.c_str();
  return nombre;
}

void DescartaSalida(SalidaAtomica* s) {
  if (s->file) std::fclose(s->file);
  s->file = nullptr;
  s->completo = false;
  if (s->fd < 0) return;
  {
    SenalesBloqueadas bloqueo;
    unlink(s->temporal.c_str());
    ranuras[s->ranura].estado = kLibre;
  }
  close(s->fd);
  s->fd = s->ranura = -1;
  s->temporal.clear();
}

FILE* AbreSalidaAtomica(const char* nombre, SalidaAtomica* s) {
  PreparaSalida(nombre, s);
  FILE* f = AbreContenido(s);
  if (!f) DescartaSalida(s);
  return f;
}

bool CierraSalidaAtomica(SalidaAtomica* s, bool ok) {
  if (CierraContenido(s, ok)) return ConfirmaSalida(s);
  DescartaSalida(s);
  return false;
}

void GanchoSalida(const char* momento) {
  const char* gancho = std::getenv("ZAL_TEST_HOOK");
  const char* dos = gancho ? std::strchr(gancho, ':') : nullptr;
  const size_t n = std::strlen(momento);
  if (!dos || size_t(dos - gancho) != n || std::strncmp(gancho, momento, n) != 0) return;
  const char* accion = dos + 1;
  char* fin = nullptr;
  const long senal = std::strtol(accion, &fin, 10);
  if (fin != accion && *fin == '\0') {
    raise(int(senal));
    return;
  }
  const int fd = open(accion, O_RDONLY | O_CLOEXEC);
  char c;
  while (fd >= 0 && read(fd, &c, 1) > 0) {
  }
  if (fd >= 0) close(fd);
}
