// fit_zscan's arguments after conversion and checking.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "argument_binding.hpp"
#include "buffer_view.hpp"

// The converted arguments of one call. The views hold the caller's buffers
// until the call ends; nothing here is written by the fit.
struct FitArguments {
  BufferView x_data;
  BufferView y_data;
  BufferView populations;
  int t_slices = 0;
  int z_slices = 0;
  double sample_width = 0.0;
  double tau = 0.0;
  double wavelength = 0.0;
  double w0 = 0.0;
  double M2 = 0.0;
  BufferView pulse_energy;
  BufferView spec_pars;
  BufferView fit_indices;
  int num_x_pts = 0;
  int num_datasets = 0;
  bool is_sa = false;
  int n_starts = 0;
};

// Convert every bound argument in parameter order; the first failure stops
// with its exception (false). None is let through for the arrays here.
bool convert_arguments(const BoundArguments& bound, FitArguments& arguments);

// Refuse None arrays (in a fixed order) and fit indices outside 0-7; false
// with TypeError or ValueError set.
bool check_arguments(const FitArguments& arguments);
