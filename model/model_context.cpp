// The per-evaluation rate constants.
#include "model_context.hpp"

void set_model_context(ModelContext& context, const double* p, double optical_frequency) {
  context.photon_factor = INVERSE_PLANCK / optical_frequency;
  context.sigma_1 = p[0];
  context.sigma_2 = p[1];
  context.sigma_4 = p[2];
  // Reciprocals formed once, so the right-hand sides only multiply and add.
  context.rate_21 = 1.0 / p[3];
  context.rate_24 = 1.0 / p[4];
  context.rate_32 = 1.0 / p[5];
  context.rate_41 = 1.0 / p[6];
  context.rate_54 = 1.0 / p[7];
}

ModelContext& thread_model_context() {
  thread_local ModelContext context;
  return context;
}
