// In-place multi-level 2-D 9/7 biorthogonal wavelet transform and its inverse.
// Planes are row-major floats: alto rows of ancho samples, each row followed
// by `border` spare samples that are never touched.
#pragma once

// 0, 1 (level outside 0..31, a side not positive or not a multiple of
// 2^level, negative border or no plane) or 2 (no memory). On 1 or 2 the plane
// is untouched; level 0 leaves it unchanged.
int TransformaWavelet(int level, int ancho, int alto, float* plane, int border);
// The refusal either transform gives for these arguments whatever the plane
// (one is given): 0 or 1. Known before the plane exists.
int WaveletsCompruebaArgumentos(int level, int ancho, int alto, int border);
// Same arguments as the forward call that made the plane; same checks and codes.
int TransformaWaveletInversa(int level, int ancho, int alto, float* plane, int border);
// Message for a code of either transform, into a buffer of 128 characters.
void WaveletsCheckError(int code, char* text);
// The text of a code alone, static.
const char* WaveletsTextoError(int code);
// How later calls run: `simd` 0 plain kernels, 1 AVX2, 2 AVX-512, or -1 the
// widest the processor offers (the default), a wider request than that being
// lowered to it; `hilos` 1 thread, 2 threads on every pass that splits, or -1
// two threads on large passes when the machine has two cores (the default).
// Every choice gives the same bits; this exists so that tests and benchmarks
// can compare them. Returns the kernel set in force.
int WaveletsModo(int simd, int hilos);
