// Output files replaced whole. A new content is written to a temporary file
// beside the output, ".NAME.XXXXXX.tmp", with the output's permissions (or
// those a new file gets), synced to disk and renamed over the name only once
// it is complete. Until then, after any failure, and when the process dies of
// SIGINT, SIGTERM, SIGHUP or SIGXFSZ (their handlers remove the temporary
// file, then the signal takes its course), the name keeps what it had; a
// SIGKILL may leave the temporary file. A name that cannot be replaced that
// way (not a regular file, a symbolic link, a file with other hard links or
// that may not be written, or a folder where no file can be made) is written
// directly, truncated first, and an incomplete regular file written so is
// removed, as it always was.
#pragma once
#include <sys/types.h>

#include <cstdio>
#include <string>

struct SalidaAtomica {
  std::string nombre;
  std::string temporal;  // empty: the name is written directly
  int fd = -1;           // the temporary file, open while it exists
  int ranura = -1;       // where the signal handlers find its name
  FILE* file = nullptr;  // the content being written
  bool completo = false; // the last content was closed without fault
  // Written directly: the regular file opened, removed if the write fails.
  bool borrable = false;
  dev_t dev = 0;
  ino_t ino = 0;

  SalidaAtomica() = default;
  SalidaAtomica(const SalidaAtomica&) = delete;
  SalidaAtomica& operator=(const SalidaAtomica&) = delete;
  ~SalidaAtomica();  // an output neither confirmed nor discarded is discarded
};

// Makes the temporary file for `nombre`, or chooses to write the name
// directly. Nothing is written yet; a temporary file that cannot be made
// means writing directly, where the failure, if any, shows.
void PreparaSalida(const char* nombre, SalidaAtomica* s);
// s->file, at the start of an empty content (a content written before is
// dropped), or null when it cannot be opened.
FILE* AbreContenido(SalidaAtomica* s);
// Flushes and closes s->file. `ok`: every write went through. False when
// anything failed.
bool CierraContenido(SalidaAtomica* s, bool ok);
// The last content closed becomes the output: synced and renamed over the
// name. False, and the output keeps what it had, if that fails.
bool ConfirmaSalida(SalidaAtomica* s);
// From this call on, ConfirmaSalida syncs the content but leaves the rename
// to TerminaRenombrados, which the program calls last: then renames every
// such output over its name, or, with `renombra` false, removes them. True
// when every rename went through.
void DifiereRenombrados();
bool TerminaRenombrados(bool renombra);
// The file that holds what `nombre` will hold: its temporary file while the
// rename waits, else the name itself.
const char* ContenidoDe(const char* nombre);
// Drops the temporary file and any content being written: the output keeps
// what it had (written directly, what was written stays).
void DescartaSalida(SalidaAtomica* s);

// One whole write: PreparaSalida and AbreContenido, then CierraSalidaAtomica,
// which confirms the content when it was closed without fault, and returns
// true then, or discards it.
FILE* AbreSalidaAtomica(const char* nombre, SalidaAtomica* s);
bool CierraSalidaAtomica(SalidaAtomica* s, bool ok);

// Test hook, for runs stopped at a chosen moment of an output's life:
// ZAL_TEST_HOOK="MOMENT:ACTION", MOMENT being "open" (about to write a
// content), "written" (a content closed) or "rename" (synced, about to be
// renamed), ACTION a signal number, raised there, or the name of a FIFO,
// which the run opens and reads to its end before going on.
void GanchoSalida(const char* momento);
