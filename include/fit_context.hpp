// The data of the fit running on a thread. MINPACK's callback receives no
// context argument, so the residual function finds its fit here.
#pragma once

#include <vector>

#include "fit_entry.hpp"
#include "zscan_model.hpp"

// Routine that evaluates the model of every curve (zscan_forward_model_curves).
using CurvesModelRoutine = bool (*)(double* model_out, int num_x_pts, int num_datasets,
                                    ArrayView z_grid, ArrayView t_grid, ArrayView populations,
                                    const double* incident_table, double optical_frequency,
                                    const double* p, StopRequest stop);

struct FitContext {
  // --- the problem, as views of the caller's storage (valid during one fit) ---
  CurvesModelRoutine model = nullptr;
  ArrayView scan_positions;
  ArrayView y_data;
  ArrayView z_grid;
  ArrayView t_grid;
  ArrayView populations;
  // num_x_pts x t_slices x num_datasets, first index fastest.
  const double* incident_intensity = nullptr;
  // The caller's parameter vector: values of the parameters not fitted.
  const double* spec_pars = nullptr;
  double optical_frequency = 0.0;
  int num_x_pts = 0;
  int num_datasets = 0;

  // --- owned for the duration of one fit ---
  // 1-based indices into spec_pars of the fitted parameters.
  std::vector<int> param_indices;
  // Model values of all curves at the last evaluation.
  std::vector<double> model_values;

  // --- control and bookkeeping ---
  // Polled between evaluations and positions; may be null.
  FitControl* control = nullptr;
  // Set when an evaluation had to stop the fit (interrupt, allocation).
  FitStatus status = FitStatus::ok;
  // Residual evaluations made by the solver so far.
  int evaluations = 0;
};

// The calling thread's record; empty between fits.
FitContext& thread_fit_context();

// Weight of a point at scan position s (metres): 1 + 4 exp(-4 s^2).
double point_weight(double s);

// MINPACK's function form: weighted residuals of the trial vector x into fvec.
// Reads the calling thread's FitContext; sets iflag < 0 to stop the fit.
extern "C" void fit_residuals(int* m, int* n, double* x, double* fvec, int* iflag);

// One least-squares fit of spec_pars[param_indices - 1] (fitted in place).
// `error` receives the weighted residual norm, residual_buffer the unweighted
// residuals y - model at the fitted parameters.
FitStatus least_squares_fit(ArrayView scan_positions, ArrayView y_data, CurvesModelRoutine model,
                            ArrayView z_grid, ArrayView t_grid, ArrayView populations,
                            const double* incident_intensity, double* residual_buffer,
                            double optical_frequency, double* spec_pars, int num_x_pts,
                            int num_datasets, const int* param_indices, int n_fit, double& error,
                            FitControl* control = nullptr, int* evaluations = nullptr);
