// The exponential kernel on eight-wide vectors, compiled with AVX-512F enabled
// (this file only; the caller checks that the processor has it): a padded row
// of a 5x5 matrix is one vector. Without FMA and with contraction off, every
// lane rounds as the SSE2 and AVX kernels do.
#include <cmath>
#include <limits>

#include "matrix_exponential.hpp"

namespace tarvo::exact::avx512 {
#define TARVO_KERNEL_WIDTH 8
#include "matrix_exponential_kernel.hpp"
#undef TARVO_KERNEL_WIDTH
}  // namespace tarvo::exact::avx512
