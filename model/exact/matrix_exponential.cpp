// Scaling and squaring for the 5x5 rate matrices of the population step: the
// kernel (matrix_exponential_kernel.hpp) on two-wide SSE2 vectors, on
// four-wide AVX vectors (matrix_exponential_avx.cpp) and on eight-wide
// AVX-512F vectors (matrix_exponential_avx512.cpp), the widest the processor
// has. All do the same operations lane by lane, so the results are the same
// bits either way.
#include "matrix_exponential.hpp"

#include <cmath>
#include <limits>

namespace tarvo::exact {

namespace sse2 {
#define TARVO_KERNEL_WIDTH 2
#include "matrix_exponential_kernel.hpp"
#undef TARVO_KERNEL_WIDTH
}  // namespace sse2

#if TARVO_AVX512_KERNEL
namespace avx512 {
void exponential(const double* m, double* x, StepAverage* average);
void exponential_derivatives(const double* m, const double* dm, int directions, double* x,
                             double* dx, StepAverage* average);
void step(const double* m, const double* dm, int directions, double* n, double* dn,
          StepAverage* average);
}  // namespace avx512

// Whether this processor (and its operating system) runs AVX-512F instructions.
static bool avx512_usable() {
  static const bool usable = __builtin_cpu_supports("avx512f");
  return usable;
}
#endif

#if TARVO_AVX_KERNEL
namespace avx {
void exponential(const double* m, double* x, StepAverage* average);
void exponential_derivatives(const double* m, const double* dm, int directions, double* x,
                             double* dx, StepAverage* average);
void step(const double* m, const double* dm, int directions, double* n, double* dn,
          StepAverage* average);
}  // namespace avx

// Whether this processor (and its operating system) runs AVX instructions;
// fixed for the life of the process.
static bool avx_usable() {
  static const bool usable = __builtin_cpu_supports("avx");
  return usable;
}
#endif

void rate_matrix_exponential(const double* m, double* x, StepAverage* average) {
#if TARVO_AVX512_KERNEL
  if (avx512_usable()) return avx512::exponential(m, x, average);
#endif
#if TARVO_AVX_KERNEL
  if (avx_usable()) return avx::exponential(m, x, average);
#endif
  sse2::exponential(m, x, average);
}

void rate_matrix_exponential_derivatives(const double* m, const double* dm, int directions,
                                         double* x, double* dx, StepAverage* average) {
#if TARVO_AVX512_KERNEL
  if (avx512_usable()) {
    return avx512::exponential_derivatives(m, dm, directions, x, dx, average);
  }
#endif
#if TARVO_AVX_KERNEL
  if (avx_usable()) return avx::exponential_derivatives(m, dm, directions, x, dx, average);
#endif
  sse2::exponential_derivatives(m, dm, directions, x, dx, average);
}

void rate_matrix_step(const double* m, const double* dm, int directions, double* n, double* dn,
                      StepAverage* average) {
#if TARVO_AVX512_KERNEL
  // Without tangents or an average the step is a chain of dependent products,
  // which the eight-wide copy does not shorten (its division takes longer):
  // the four-wide copy is the faster there, to the same bits.
  if ((directions > 0 || average != nullptr) && avx512_usable()) {
    return avx512::step(m, dm, directions, n, dn, average);
  }
#endif
#if TARVO_AVX_KERNEL
  if (avx_usable()) return avx::step(m, dm, directions, n, dn, average);
#endif
  sse2::step(m, dm, directions, n, dn, average);
}

}  // namespace tarvo::exact

namespace tarvo {

bool exact_exponential(ExponentialKernel kernel, const double* m, const double* dm,
                       int directions, const double* v, double* x, double* dx, double* avg,
                       double* davg) {
  if (directions < 0 || directions > exact::MAX_DIRECTIONS) return false;
  const double zero_tangents[exact::MAX_DIRECTIONS * LEVELS] = {};
  exact::StepAverage average{v, zero_tangents, avg, davg};
  switch (kernel) {
    case ExponentialKernel::best:
      exact::rate_matrix_exponential_derivatives(m, dm, directions, x, dx, &average);
      return true;
    case ExponentialKernel::sse2:
      exact::sse2::exponential_derivatives(m, dm, directions, x, dx, &average);
      return true;
    case ExponentialKernel::avx:
#if TARVO_AVX_KERNEL
      if (!exact::avx_usable()) return false;
      exact::avx::exponential_derivatives(m, dm, directions, x, dx, &average);
      return true;
#else
      return false;
#endif
    case ExponentialKernel::avx512:
#if TARVO_AVX512_KERNEL
      if (!exact::avx512_usable()) return false;
      exact::avx512::exponential_derivatives(m, dm, directions, x, dx, &average);
      return true;
#else
      return false;
#endif
  }
  return false;
}

}  // namespace tarvo
