// In-place multi-level 2-D 9/7 biorthogonal wavelet transform and its inverse.
// Planes are row-major floats: alto rows of ancho samples, each row followed
// by `border` spare samples that are never touched.
#pragma once

// 0, 1 (a side is not a multiple of 2^level, or level outside 0..31) or 2 (no memory).
int TransformaWavelet(int level, int ancho, int alto, float* plane, int border);
// 0, 1 (bad level or sides) or 2 (no memory).
int TransformaWaveletInversa(int level, int ancho, int alto, float* plane, int border);
// Message for a code of either transform, into a buffer of 128 characters.
void WaveletsCheckError(int code, char* text);
