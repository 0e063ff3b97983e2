// The forward model: normalised Z-scan transmittance of every curve of a
// Problem for one parameter vector, and the pieces it is built from (rate
// constants, single integration steps, the pulse and grid helpers).
#pragma once

#include <array>
#include <memory>

#include "tarvo/control.hpp"
#include "tarvo/diagnostics.hpp"
#include "tarvo/export.hpp"
#include "tarvo/lsoda.hpp"
#include "tarvo/problem.hpp"

namespace tarvo {

// The constants that one parameter vector gives the rate equations.
struct RateConstants {
  // Photons per joule at the laser frequency (1/h divided by the frequency).
  double photon_factor = 0.0;
  // Absorption cross-sections of levels 1, 2 and 4 (cm^2).
  double sigma_1 = 0.0;
  double sigma_2 = 0.0;
  double sigma_4 = 0.0;
  // Reciprocal time constants of the 2->1, 2->4, 3->2, 4->1 and 5->4 channels (1/s).
  double rate_21 = 0.0;
  double rate_24 = 0.0;
  double rate_32 = 0.0;
  double rate_41 = 0.0;
  double rate_54 = 0.0;
};

// Reciprocal of Planck's constant (1/(J s)).
inline constexpr double INVERSE_PLANCK = 1.5091901796421518e33;
// Speed of light (m/s).
inline constexpr double SPEED_OF_LIGHT = 299792458.0;
// pi as the model uses it.
inline constexpr double MODEL_PI = 3.141592653589793;

// The constants of the eight-entry parameter vector p at the optical
// frequency: cross-sections as given, reciprocals of the time constants
// (formed once, so the right-hand sides only multiply and add).
TARVO_API RateConstants rate_constants(const double* p, double optical_frequency);

// Integration steps that failed, counted by the ISTATE they returned.
struct SolverFailures {
  // Kinds of failure: ISTATE -1 .. -6.
  static constexpr int KINDS = 6;
  // counts[i]: steps that returned ISTATE = -(i + 1).
  std::array<long, KINDS> counts{};

  // Count a step's ISTATE if it is a failure.
  void record(int istate) {
    if (istate < 0 && istate >= -KINDS) ++counts[-istate - 1];
  }
  void add(const SolverFailures& other) {
    for (int i = 0; i < KINDS; ++i) counts[i] += other.counts[i];
  }
  long total() const {
    long sum = 0;
    for (long count : counts) sum += count;
    return sum;
  }
};

// Name of failure kind i (ISTATE -(i + 1)): "too_many_steps",
// "too_much_accuracy", "illegal_input", "error_test_failures",
// "convergence_failures", "zero_error_weight".
TARVO_API const char* solver_failure_name(int index);

// How the populations are carried through the time and depth slices. The
// propagators share the Problem, the rate constants and the shift to the
// baseline; each has its own march through the slices and its own scratch.
enum class Propagator : int {
  // Every slice integrated with LSODA (the reference model).
  lsoda,
};

namespace internal {
struct ThreadScratch;
}  // namespace internal

// Scratch of model evaluations for up to `threads` threads: one set per
// thread, made once and reused by every evaluation that runs on the team
// (the positions of one thread never overlap). Allocates only here.
class TARVO_API ModelWorkspace {
 public:
  // Throws AllocationError (with what and how much). Solver diagnostics go
  // to `diagnostics` (nullptr: stdout).
  ModelWorkspace(const Problem& problem, Propagator propagator, int threads,
                 DiagnosticsSink* diagnostics);

  // Bytes the scratch of `threads` threads takes for `problem`.
  static double bytes_needed(const Problem& problem, Propagator propagator, int threads);
  ~ModelWorkspace();
  ModelWorkspace(const ModelWorkspace&) = delete;
  ModelWorkspace& operator=(const ModelWorkspace&) = delete;

  // Threads provided for, and the propagator it serves.
  int threads() const { return threads_; }
  Propagator propagator() const { return propagator_; }
  // The scratch of thread `thread` (below threads()).
  internal::ThreadScratch& scratch(int thread) { return *scratch_[thread]; }

 private:
  Propagator propagator_;
  int threads_;
  std::unique_ptr<std::unique_ptr<internal::ThreadScratch>[]> scratch_;
};

// How one model evaluation ended.
enum class ModelStatus : int { ok, stopped, out_of_memory, failed };

// What a model evaluation may be given besides the problem and the parameters.
struct ModelRun {
  Propagator propagator = Propagator::lsoda;
  // Scratch for the threads of the team; nullptr: made for this evaluation
  // with `diagnostics` (nullptr: stdout).
  ModelWorkspace* workspace = nullptr;
  DiagnosticsSink* diagnostics = nullptr;
  // Polled between scan positions (nullptr: never stops).
  FitControl* control = nullptr;
  // Receives the failed integration steps of the evaluation (may be nullptr).
  SolverFailures* failures = nullptr;
  // Shift each curve to its baseline (false: the raw transmittance).
  bool normalise = true;
};

// Model transmittance of every curve of `problem` for the eight-entry
// parameter vector p: out receives problem.points() values, curve after
// curve. The scan positions are independent, so they run as tasks on the
// current OpenMP team, or on a new team when called outside one. Each curve
// is shifted so that the mean of its first five and last five values is 1.
// The problem guarantees what the march relies on (see problem.hpp). Any
// status other than ok leaves `out` incomplete. Without run.workspace the
// evaluation makes its own scratch, and throws AllocationError when it cannot;
// with one it allocates nothing and throws nothing.
TARVO_API ModelStatus model_curves(const Problem& problem, const double* p, double* out,
                                   const ModelRun& run = {});

// --- single integration steps of the LSODA propagator ---------------------

// Length of a step state: five populations and the intensity.
inline constexpr int STEP_STATE_LENGTH = 6;
// Largest system a step integrates (the five populations).
inline constexpr int MAX_STEP_EQUATIONS = 5;
// Tolerances of every step.
inline constexpr double STEP_RTOL = 1.0e-6;
inline constexpr double STEP_ATOL = 1.0e-6;

// Advance the populations of state_in = (N1..N5, I) from t_start to t_end
// under the constant intensity I; state_out(6) = state_in(6). Returns ISTATE.
TARVO_API int integrate_populations(const RateConstants& constants, const double* state_in,
                                    double t_start, double t_end, lsoda::Solver& solver,
                                    double* state_out);

// Carry the intensity of state_in = (I, N1..N5) from z_start to z_end with
// the populations held fixed; state_out(2..6) = state_in(2..6). Returns ISTATE.
TARVO_API int integrate_intensity(const RateConstants& constants, const double* state_in,
                                  double z_start, double z_end, lsoda::Solver& solver,
                                  double* state_out);

// --- pulse and grids ---------------------------------------------------------

// n evenly spaced values from a to b into x (nothing for n <= 0, a for n == 1).
TARVO_API void linspace(double* x, double a, double b, int n);

// Gaussian beam with Gaussian pulse: intensity (W/cm^2) at radius r, time t,
// position z, for pulse energy e, duration tau, waist w0 and Rayleigh range z_r.
TARVO_API double pulse_intensity(double r, double t, double z, double e, double tau, double w0,
                                 double z_r);

// Rayleigh range (m) of a beam with waist w0 (m), beam quality m2 and wavelength (m).
TARVO_API double rayleigh_range(double w0, double m2, double wavelength);

// Radius (m) of that beam at position z (m) from the focus.
TARVO_API double beam_radius(double z, double w0, double z_r);

}  // namespace tarvo
