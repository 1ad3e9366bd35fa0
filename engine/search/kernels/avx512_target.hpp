// Included by a file of AVX-512 code after every other include: the rest of
// that file is compiled for AVX-512F, and no library code a header defines
// is built for it and shared with other paths. The file ends with
//   #pragma GCC diagnostic pop
//   #pragma GCC pop_options
// No include guard: each such file includes it once, at that place.

#pragma GCC push_options
#pragma GCC target("avx512f")
// GCC 12's own AVX-512 intrinsics trip these warnings (_mm512_undefined_*).
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
