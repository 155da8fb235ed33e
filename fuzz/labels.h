// What the decoder must give back for each label of the encoder, for the
// round-trip fuzz target. Header-only, free of any test framework.
#pragma once
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace zaltest {

// Label of a cell after ZALCodificador: the cell's bits read as a 32-bit int.
inline int32_t LabelAt(const float* plane, int stride, int x, int y) {
  int32_t v;
  std::memcpy(&v, plane + int64_t(y) * stride + x, sizeof v);
  return v;
}
// A quantized magnitude rebuilt: the removed low bits become the middle of their range.
inline int64_t RebuiltMagnitude(int64_t m, int rplanes) {
  return ((m >> rplanes) << rplanes) + (int64_t(1) << (rplanes - 1));
}
// Decoded value of a cell's label. LL: 1 below threshold, else the rounded
// sample. Detail: -1, 0 and 1 insignificant, else (2m - 3) quant with its sign,
// exact in long double and rounded to float once.
inline float DecodedFromLabel(int32_t label, bool ll, int rplanes, float quant) {
  if (ll) return label == 1 ? 0.0f : float(RebuiltMagnitude(label, rplanes));
  if (label >= -1 && label <= 1) return 0.0f;
  const int64_t d = RebuiltMagnitude(std::llabs(int64_t(label)), rplanes);
  const int64_t f = label < 0 ? -(2 * d - 3) : 2 * d - 3;
  return float(static_cast<long double>(f) * static_cast<long double>(quant));
}

}  // namespace zaltest
