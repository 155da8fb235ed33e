// What the decoder must give back for each label of the encoder: shared by the
// round-trip tests and the round-trip fuzz target, so both hold the decoder to
// the same rule. Header-only and free of the test framework.
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

// Magnitude the decoder rebuilds from a quantized one: the removed low bits
// become the middle of their range.
inline int64_t RebuiltMagnitude(int64_t m, int rplanes) {
  return ((m >> rplanes) << rplanes) + (int64_t(1) << (rplanes - 1));
}

// Decoded value of the cell whose label is `label`. LL labels: 1 below
// threshold, else the rounded sample. Detail labels: -1, 0 and 1 are
// insignificant, else the signed quantized value, dequantized as
// (2m - 3) quant with its sign. |2m - 3| < 2^32 and quant's 24-bit mantissa
// multiply exactly in long double, so the product is rounded to float once.
inline float DecodedFromLabel(int32_t label, bool ll, int rplanes, float quant) {
  if (ll) return label == 1 ? 0.0f : float(RebuiltMagnitude(label, rplanes));
  if (label >= -1 && label <= 1) return 0.0f;
  const int64_t d = RebuiltMagnitude(std::llabs(int64_t(label)), rplanes);
  const int64_t f = label < 0 ? -(2 * d - 3) : 2 * d - 3;
  return float(static_cast<long double>(f) * static_cast<long double>(quant));
}

}  // namespace zaltest
