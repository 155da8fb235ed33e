#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "entropy/CodificadorAritmetico.h"
#include "support/support.h"

namespace {

using zaltest::ReadFile;
using zaltest::TempDir;
using Bytes = std::vector<uint8_t>;

// Runs `body` between opening and finishing a bit file, returns the file.
template <typename F>
Bytes Stream(const TempDir& dir, F body) {
  const std::string path = dir.File("s.bin");
  EXPECT_EQ(InicializaEscritura(path.c_str()), 0);
  body();
  EXPECT_EQ(FinalizaEscrituraFicheroDeBits(), 0);
  return ReadFile(path);
}

THistograma Modelo(int n) {
  THistograma m;
  EXPECT_EQ(InicializaModelo(n, &m), 0);
  return m;
}

}  // namespace

TEST(BitFile, ByteLevelExamples) {
  TempDir dir;
  EXPECT_EQ(Stream(dir, [] {}), Bytes({0x40}));
  EXPECT_EQ(Stream(dir, [] { CodificaBits(1, 1); }), Bytes({0xA0}));
  // Six raw bits plus the two flush bits fill a byte: an extra 0x00 follows.
  EXPECT_EQ(Stream(dir, [] { CodificaBits(6, 0x2A); }), Bytes({0xA9, 0x00}));
  // Zero-width fields put nothing; bits above the width are ignored.
  EXPECT_EQ(Stream(dir, [] { CodificaBits(0, 12345); CodificaBits(1, 0x7FFFFFFF); }), Bytes({0xA0}));
  // The header's 13, 13, 32, 5 and 4 bits stand as they are, across bytes.
  EXPECT_EQ(Stream(dir, [] {
              CodificaBits(13, 0x1ABC);
              CodificaBits(13, 0x0123);
              CodificaBits(32, int(0xDEADBEEF));
              CodificaBits(5, 0x15);
              CodificaBits(4, 0x9);
            }),
            Bytes({0xD5, 0xE0, 0x48, 0xF7, 0xAB, 0x6F, 0xBB, 0xEB, 0x28}));
}

TEST(BitFile, ReadsShortFilesAsIfPaddedWithOnes) {
  TempDir dir;
  const std::string path = dir.File("r.bin");
  zaltest::WriteFile(path, Bytes{});
  ASSERT_EQ(InicializaLecturaFicheroDeBits(path.c_str()), 0);
  EXPECT_EQ(DecodificaBits(16), 0xFFFF);
  FinalizaLecturaFicheroDeBits();
  zaltest::WriteFile(path, Bytes{0x12});
  ASSERT_EQ(InicializaLecturaFicheroDeBits(path.c_str()), 0);
  EXPECT_EQ(DecodificaBits(0), 0);
  EXPECT_EQ(DecodificaBits(16), 0x12FF);
  FinalizaLecturaFicheroDeBits();
  zaltest::WriteFile(path, Bytes{0xA0});
  ASSERT_EQ(InicializaLecturaFicheroDeBits(path.c_str()), 0);
  EXPECT_EQ(DecodificaBits(1), 1);
  FinalizaLecturaFicheroDeBits();
}

TEST(BitFile, OpenFailuresAndWriteErrors) {
  EXPECT_EQ(InicializaEscritura("/nonexistent-dir/x.bin"), 1);
  EXPECT_EQ(InicializaLecturaFicheroDeBits("/nonexistent-dir/x.bin"), 1);
  // A full disk must not pass for a good file.
  ASSERT_EQ(InicializaEscritura("/dev/full"), 0);
  for (int i = 0; i < 1000; ++i) CodificaBits(14, i);
  EXPECT_EQ(FinalizaEscrituraFicheroDeBits(), kAritErrorEscritura);
  EXPECT_EQ(ErrorCodificadorAritmetico(), kAritErrorEscritura);
}

// The model's adaptation and rescaling rules are held byte for byte by the
// coder's reference vectors and golden files; these are the smallest cases.
TEST(Model, ByteLevelExamples) {
  TempDir dir;
  for (int s : {1, 2}) {
    THistograma h = Modelo(2);
    EXPECT_EQ(Stream(dir, [&] { EXPECT_EQ(CodificaSimbolo(s, &h), 0); }), Bytes({uint8_t(s == 1 ? 0xA0 : 0x20)}));
  }
  THistograma h = Modelo(3);
  EXPECT_EQ(Stream(dir, [&] { for (int s : {1, 1, 2, 3}) CodificaSimbolo(s, &h); }), Bytes({0xBA, 0xF0}));
}

// Broken preconditions never corrupt memory or abort: they are reported.
TEST(Model, ViolatedPreconditionsAreReportedNotFatal) {
  TempDir dir;
  THistograma m;
  ASSERT_EQ(InicializaEscritura(dir.File("e.bin").c_str()), 0);
  EXPECT_EQ(ErrorCodificadorAritmetico(), 0);
  EXPECT_EQ(InicializaModelo(38, &m), kAritAlfabeto);
  EXPECT_EQ(m.nSimbolos, 0);
  EXPECT_EQ(ErrorCodificadorAritmetico(), kAritAlfabeto);
  EXPECT_EQ(InicializaModelo(-1, &m), kAritAlfabeto);
  EXPECT_EQ(CodificaSimbolo(1, &m), kAritModeloVacio);
  FinalizaEscrituraFicheroDeBits();

  // A symbol outside the alphabet codes nothing: the stream is the empty one.
  THistograma h = Modelo(3);
  EXPECT_EQ(Stream(dir, [&] {
              EXPECT_EQ(CodificaSimbolo(0, &h), kAritIntervalo);
              EXPECT_EQ(CodificaSimbolo(4, &h), kAritIntervalo);
              EXPECT_EQ(ErrorCodificadorAritmetico(), kAritIntervalo);
            }),
            Bytes({0x40}));
  EXPECT_EQ(h.acumulada[0], 3);

  // Decoding with a model of no symbols gives 0 and records the error; the
  // next file starts clean.
  const std::string path = dir.File("d.bin");
  zaltest::WriteFile(path, Bytes{0x55, 0xAA});
  ASSERT_EQ(InicializaLecturaFicheroDeBits(path.c_str()), 0);
  THistograma vacio = Modelo(0);
  EXPECT_EQ(DecodificaSimbolo(&vacio), 0);
  EXPECT_EQ(ErrorCodificadorAritmetico(), kAritModeloVacio);
  FinalizaLecturaFicheroDeBits();
  ASSERT_EQ(InicializaLecturaFicheroDeBits(path.c_str()), 0);
  EXPECT_EQ(ErrorCodificadorAritmetico(), 0);
  FinalizaLecturaFicheroDeBits();
}

// Whatever the bytes, a decoded symbol lies inside its alphabet.
TEST(RoundTrip, AnyBytesDecodeToSymbolsWithinTheAlphabet) {
  TempDir dir;
  const std::string path = dir.File("g.bin");
  zaltest::Rng rng(99);
  for (int round = 0; round < 20; ++round) {
    Bytes junk(rng.Below(64));
    for (auto& b : junk) b = uint8_t(rng.Below(256));
    zaltest::WriteFile(path, junk);
    ASSERT_EQ(InicializaLecturaFicheroDeBits(path.c_str()), 0);
    THistograma m = Modelo(1 + round % 37);
    for (int i = 0; i < 500; ++i) {
      const int s = DecodificaSimbolo(&m);
      ASSERT_GE(s, 1);
      ASSERT_LE(s, m.nSimbolos);
      const int v = DecodificaBits(int(rng.Below(15)));
      ASSERT_GE(v, 0);
    }
    FinalizaLecturaFicheroDeBits();
  }
}
