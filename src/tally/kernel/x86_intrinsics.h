// The x86 intrinsics, for the layers that use them.
#pragma once

#if defined(__x86_64__)
// GCC 12 warns inside its own AVX-512 intrinsics, of the undefined vector
// they start from (GCC bug 105593); the code that uses them is not at fault.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#endif
#include <immintrin.h>
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
#endif
