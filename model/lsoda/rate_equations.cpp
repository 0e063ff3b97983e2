// The rate constants of a parameter vector, the right-hand sides of the
// population and attenuation equations, and the single integration steps
// that the slice march makes with them. Every step starts the solver afresh
// with the same settings.
#include "rate_equations.hpp"

#include "tarvo/model.hpp"

namespace tarvo {

namespace {

// Population rate equations: the terms of RATE_SCHEME (rate_scheme.hpp),
// each transition's rate times the population it leaves, added to the level
// it reaches and taken from the one it leaves. context: the RateConstants;
// y = (N1..N5, I), ydot: five derivatives. neq and t are not used.
void population_rhs(const void* context, int /*neq*/, double /*t*/, const double* y,
                    double* ydot) {
  const RateConstants& c = *static_cast<const RateConstants*>(context);
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

// Attenuation across depth. context: the RateConstants; y = (I, N1..N5),
// ydot: dI/dz. neq and t are not used.
void intensity_rhs(const void* context, int /*neq*/, double /*t*/, const double* y,
                   double* ydot) {
  const RateConstants& c = *static_cast<const RateConstants*>(context);
  // Levels 3 and 5 (y[3], y[5]) do not absorb.
  ydot[0] = -y[0] * (y[4] * c.sigma_4 + (y[2] * c.sigma_2 + y[1] * c.sigma_1));
}

// Copy the six-entry state and integrate its first neq entries from t_start to t_end.
int integrate_step(lsoda::RightHandSide f, const RateConstants& constants, int neq,
                   const double* state_in, double t_start, double t_end, lsoda::Solver& solver,
                   double* state_out) {
  for (int i = 0; i < STEP_STATE_LENGTH; ++i) state_out[i] = state_in[i];
  double t = t_start;
  return solver.integrate(f, &constants, neq, state_out, t, t_end, STEP_RTOL, STEP_ATOL);
}

// Names of the failure kinds, by -ISTATE - 1.
constexpr const char* FAILURE_NAMES[SolverFailures::KINDS] = {
    "too_many_steps",      "too_much_accuracy",    "illegal_input",
    "error_test_failures", "convergence_failures", "zero_error_weight",
};

}  // namespace

void internal::population_rates(const RateConstants& c, const double* y, double* ydot) {
  population_rhs(&c, LEVELS, 0.0, y, ydot);
}

RateConstants rate_constants(const double* p, double optical_frequency) {
  RateConstants c;
  c.photon_factor = INVERSE_PLANCK / optical_frequency;
  c.sigma_1 = p[0];
  c.sigma_2 = p[1];
  c.sigma_4 = p[2];
  // Reciprocals formed once, so the right-hand sides only multiply and add.
  c.rate_21 = 1.0 / p[3];
  c.rate_24 = 1.0 / p[4];
  c.rate_32 = 1.0 / p[5];
  c.rate_41 = 1.0 / p[6];
  c.rate_54 = 1.0 / p[7];
  return c;
}

const char* solver_failure_name(int index) {
  return index >= 0 && index < SolverFailures::KINDS ? FAILURE_NAMES[index] : "unknown";
}

int integrate_populations(const RateConstants& constants, const double* state_in, double t_start,
                          double t_end, lsoda::Solver& solver, double* state_out) {
  return integrate_step(population_rhs, constants, LEVELS, state_in, t_start, t_end, solver,
                        state_out);
}

int integrate_intensity(const RateConstants& constants, const double* state_in, double z_start,
                        double z_end, lsoda::Solver& solver, double* state_out) {
  return integrate_step(intensity_rhs, constants, 1, state_in, z_start, z_end, solver, state_out);
}

}  // namespace tarvo
