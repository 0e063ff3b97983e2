// The two right-hand sides of the model and the single integration steps
// built on them. Every step starts the solver afresh with the same settings.
#pragma once

#include "lsoda.hpp"
#include "model_context.hpp"

// Solver settings shared by every integration step of the model.
inline constexpr double STEP_RTOL = 1.0e-6;
inline constexpr double STEP_ATOL = 1.0e-6;
// Largest system the model integrates (five populations).
inline constexpr int MAX_STEP_EQUATIONS = 5;

// Population rate equations. context: the ModelContext; y = (N1..N5, I),
// ydot: five derivatives. neq and t are not used.
void population_rhs(void* context, int neq, double t, const double* y, double* ydot);

// Attenuation across depth. context: the ModelContext; y = (I, N1..N5),
// ydot: dI/dz. neq and t are not used.
void intensity_rhs(void* context, int neq, double t, const double* y, double* ydot);

// Advance the populations of state_in = (N1..N5, I) from t_start to t_end
// under the constant intensity I; state_out(6) = state_in(6). Returns ISTATE.
int integrate_populations(const ModelContext& context, const double* state_in, double t_start,
                          double t_end, lsoda::Solver& solver, double* state_out);

// Carry the intensity of state_in = (I, N1..N5) from z_start to z_end with the
// populations held fixed; state_out(2..6) = state_in(2..6). Returns ISTATE.
int integrate_intensity(const ModelContext& context, const double* state_in, double z_start,
                        double z_end, lsoda::Solver& solver, double* state_out);
