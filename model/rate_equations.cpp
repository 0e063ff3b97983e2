// Right-hand sides of the population and attenuation equations, and the
// single integration steps that the slice march makes with them.
#include "rate_equations.hpp"

void population_rhs(void* context, int /*neq*/, double /*t*/, const double* y, double* ydot) {
  const ModelContext& c = *static_cast<const ModelContext*>(context);
  const double phi = c.photon_factor * y[5];
  const double n1 = y[0], n2 = y[1], n3 = y[2], n4 = y[3], n5 = y[4];
  // Groupings as written fix the rounding, and with it every step the solver takes.
  ydot[0] = (c.rate_21 * n2 - (c.sigma_1 * n1) * phi) + n4 * c.rate_41;
  ydot[1] = ((c.sigma_1 * n1) * phi + c.rate_32 * n3) -
            ((c.rate_21 * n2 + n2 * c.rate_24) + (c.sigma_2 * phi) * n2);
  ydot[2] = (c.sigma_2 * phi) * n2 - c.rate_32 * n3;
  ydot[3] = (n2 * c.rate_24 - (n4 * c.rate_41 + (phi * c.sigma_4) * n4)) + c.rate_54 * n5;
  ydot[4] = (phi * c.sigma_4) * n4 - c.rate_54 * n5;
}

void intensity_rhs(void* context, int /*neq*/, double /*t*/, const double* y, double* ydot) {
  const ModelContext& c = *static_cast<const ModelContext*>(context);
  // Levels 3 and 5 (y[3], y[5]) do not absorb.
  ydot[0] = -y[0] * (y[4] * c.sigma_4 + (y[2] * c.sigma_2 + y[1] * c.sigma_1));
}

namespace {

// Copy the six-entry state and integrate its first neq entries from t_start to t_end.
int integrate_step(lsoda::RightHandSide f, const ModelContext& context, int neq,
                   const double* state_in, double t_start, double t_end, lsoda::Solver& solver,
                   double* state_out) {
  for (int i = 0; i < 6; ++i) state_out[i] = state_in[i];
  double t = t_start;
  return solver.integrate(f, const_cast<ModelContext*>(&context), neq, state_out, t, t_end,
                          STEP_RTOL, STEP_ATOL);
}

}  // namespace

int integrate_populations(const ModelContext& context, const double* state_in, double t_start,
                          double t_end, lsoda::Solver& solver, double* state_out) {
  return integrate_step(population_rhs, context, 5, state_in, t_start, t_end, solver, state_out);
}

int integrate_intensity(const ModelContext& context, const double* state_in, double z_start,
                        double z_end, lsoda::Solver& solver, double* state_out) {
  return integrate_step(intensity_rhs, context, 1, state_in, z_start, z_end, solver, state_out);
}
