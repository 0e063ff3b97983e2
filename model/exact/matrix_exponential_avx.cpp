// The exponential kernel on four-wide vectors, compiled with AVX enabled
// (this file only; the caller checks that the processor has AVX). Without
// FMA and with contraction off, every lane rounds as the SSE2 kernel does.
#include <cmath>
#include <limits>

#include "matrix_exponential.hpp"

namespace tarvo::exact::avx {
#define TARVO_KERNEL_WIDTH 4
#include "matrix_exponential_kernel.hpp"
#undef TARVO_KERNEL_WIDTH
}  // namespace tarvo::exact::avx
