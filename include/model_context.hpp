// The rate constants that one model evaluation derives from its parameter
// vector, read by the two right-hand sides of the model.
#pragma once

struct ModelContext {
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

// Fill `context` from the eight-entry parameter vector p and the optical frequency.
void set_model_context(ModelContext& context, const double* p, double optical_frequency);

// The calling thread's record: holds the constants of the last evaluation
// made on this thread (zero-filled before the first).
ModelContext& thread_model_context();
