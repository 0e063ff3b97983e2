// One evaluation of the exact model. Every march (established: one per scan
// position; energy: one per peak-intensity node, see peak_interpolation.hpp)
// is independent and runs as one task of the shared position frame; the sums
// are combined into transmittance curves, their derivatives and the baseline
// shift afterwards, in a fixed order, so the result does not depend on the
// number of threads.
#include <algorithm>
#include <atomic>
#include <bit>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <new>
#include <vector>

#include "exact_march.hpp"
#include "positions.hpp"
#include "tarvo/engine.hpp"
#include "tarvo/exact.hpp"
#include "tarvo/memory.hpp"

namespace tarvo {

namespace {

// Shift every curve and every Jacobian column of the curves to the baseline
// (the shift is linear, so the columns move by their own baselines).
void shift_curves(const ExactProblem& problem, int nd, double* curves, double* jacobian,
                  double* column) {
  const int nx = problem.num_x_pts;
  for (int k = 0; k < problem.num_datasets; ++k) {
    double* curve = curves + static_cast<std::ptrdiff_t>(k) * nx;
    const double baseline = internal::curve_baseline(curve, nx);
    for (int i = 0; i < nx; ++i) curve[i] = curve[i] + (1.0 - baseline);
    for (int d = 0; d < nd; ++d) {
      double* derivative = jacobian + static_cast<std::ptrdiff_t>(k) * nx * nd + d;
      for (int i = 0; i < nx; ++i) column[i] = derivative[i * nd];
      const double shift = internal::curve_baseline(column, nx);
      for (int i = 0; i < nx; ++i) derivative[i * nd] = column[i] - shift;
    }
  }
}

// The marches of one evaluation: their sums, and the scratch of each thread.
struct Marches {
  std::vector<exact::MarchSums> sums;
  std::vector<double> storage;
  std::size_t per_thread = 0;
  std::size_t populations = 0;
  int directions = 0;

  // A march asked to stop (the evaluation then reports stopped).
  std::atomic<bool> stopped{false};

  // count marches through at most z_slices depth slices. Throws
  // AllocationError (what and how much) when the scratch cannot be had.
  Marches(int count, int z_slices, int directions_) : directions(directions_) {
    per_thread = exact::march_scratch_size(z_slices, directions);
    populations = static_cast<std::size_t>(z_slices) * LEVELS;
    const int threads = internal::position_team_size();
    const double needed =
        static_cast<double>(sizeof(double)) * static_cast<double>(per_thread) * threads +
        static_cast<double>(sizeof(exact::MarchSums)) * count;
    char wanted[32], message[320];
    format_bytes(needed, wanted, sizeof wanted);
    const double available = available_memory();
    if (needed > available) {
      char limit[32];
      format_bytes(available, limit, sizeof limit);
      std::snprintf(message, sizeof message,
                    "the exact model needs %s for the scratch of %d thread%s (%d depth slices, "
                    "%d derivatives), more than the %s this process may use",
                    wanted, threads, threads == 1 ? "" : "s", z_slices, directions, limit);
      throw AllocationError(message);
    }
    try {
      sums.resize(static_cast<std::size_t>(count));
      storage.resize(per_thread * static_cast<std::size_t>(threads));
    } catch (const std::bad_alloc&) {
      std::snprintf(message, sizeof message,
                    "could not allocate %s for the exact model's scratch of %d thread%s (%d "
                    "depth slices, %d derivatives)",
                    wanted, threads, threads == 1 ? "" : "s", z_slices, directions);
      throw AllocationError(message);
    }
  }

  // Keep the sums of march n; false when it stopped early.
  void keep(int n, const exact::MarchSums& s) {
    sums[static_cast<std::size_t>(n)] = s;
    if (s.stopped) stopped.store(true, std::memory_order_relaxed);
  }

  // The scratch of thread `thread`.
  exact::MarchScratch scratch(int thread) {
    double* own = storage.data() + per_thread * static_cast<std::size_t>(thread);
    return {own, own + populations, own + populations * (1 + directions)};
  }
};

// For every position of the established variant, the first position whose
// march is the same: the same incident intensity (to the bit) in every time
// slice and, when the focus shift is differentiated, the same focus rate.
// (The positions of a scan symmetric about the focus pair up.) Positions are
// sorted by those values, so the search takes n log n comparisons.
std::vector<int> same_marches(const ExactProblem& problem, bool focus) {
  const Problem& base = *problem.established;
  const int points = problem.points();
  const int nt = problem.t_slices;
  const std::ptrdiff_t stride = base.incident_stride();
  auto row = [&](int n) {
    const int curve = n / problem.num_x_pts;
    return base.incident_row(curve, n - curve * problem.num_x_pts);
  };
  auto bits = [](double v) { return std::bit_cast<std::uint64_t>(v); };
  // Lexicographic order of the values' bits; ties by index.
  auto before = [&](int a, int b) {
    const double* ra = row(a);
    const double* rb = row(b);
    for (int j = 0; j < nt; ++j) {
      const std::uint64_t x = bits(ra[j * stride]), y = bits(rb[j * stride]);
      if (x != y) return x < y;
    }
    if (focus) {
      const std::uint64_t x = bits(problem.focus_rate[a]), y = bits(problem.focus_rate[b]);
      if (x != y) return x < y;
    }
    return a < b;
  };
  auto same = [&](int a, int b) {
    const double* ra = row(a);
    const double* rb = row(b);
    for (int j = 0; j < nt; ++j) {
      if (bits(ra[j * stride]) != bits(rb[j * stride])) return false;
    }
    return !focus || bits(problem.focus_rate[a]) == bits(problem.focus_rate[b]);
  };
  std::vector<int> order(static_cast<std::size_t>(points));
  for (int n = 0; n < points; ++n) order[n] = n;
  std::sort(order.begin(), order.end(), before);
  std::vector<int> first(static_cast<std::size_t>(points));
  for (int k = 0; k < points; ++k) {
    // Runs of equal positions are in index order: the run's first is the smallest.
    first[order[k]] = k > 0 && same(order[k - 1], order[k]) ? first[order[k - 1]] : order[k];
  }
  return first;
}

// Curves (raw) of the established variant: one march per position, made
// once for positions with the same march.
ModelStatus established_curves(const ExactProblem& problem, const exact::StepConstants& constants,
                               int nd, double* curves, double* jacobian, FitControl* control) {
  const Problem& base = *problem.established;
  bool focus = false;
  for (int d = 0; d < nd; ++d) focus = focus || constants.index[d] == FOCUS_SHIFT;
  const std::vector<int> first = same_marches(problem, focus);
  Marches marches(problem.points(), problem.z_slices, nd);
  auto march = [&](int n, int thread) {
    if (first[n] != n) return;
    const int curve = n / problem.num_x_pts;
    const int point = n - curve * problem.num_x_pts;
    marches.keep(n, exact::march_established(constants, problem, base.incident_row(curve, point),
                                             static_cast<int>(base.incident_stride()),
                                             problem.focus_rate[n], marches.scratch(thread),
                                             control));
  };
  const ModelStatus status = internal::run_tasks(problem.points(), control, march);
  if (status != ModelStatus::ok) return status;
  if (marches.stopped.load()) return ModelStatus::stopped;
  // Transmittance: the ratio of the summed exit and incident intensities.
  for (int n = 0; n < problem.points(); ++n) {
    const exact::MarchSums& s = marches.sums[first[n]];
    const double t = s.exit / s.incident;
    curves[n] = t;
    for (int d = 0; d < nd; ++d) {
      jacobian[n * nd + d] = (s.exit_derivative[d] - t * s.incident_derivative[d]) / s.incident;
    }
  }
  return ModelStatus::ok;
}

// Curves (raw) of the energy variant: marches on the four grids at every
// peak-intensity node, their fluence transmittances extrapolated over the
// slice sizes and interpolated to every position and radial node.
ModelStatus energy_curves(const ExactProblem& problem, const exact::StepConstants& constants,
                          int nd, double* curves, double* jacobian, FitControl* control) {
  const int m = problem.intensity_points;
  Marches marches(m * ENERGY_GRIDS, problem.grids[ENERGY_GRIDS - 1].z_slices, nd);
  // March j * ENERGY_GRIDS + g: node j on grid g. Its focus-shift direction
  // is d / d ln(peak): focus rate 1.
  auto march = [&](int task, int thread) {
    const int j = task / ENERGY_GRIDS;
    const int g = task - j * ENERGY_GRIDS;
    marches.keep(task, exact::march_energy(constants, problem, problem.grids[g],
                                           problem.node_peak[j], 1.0, marches.scratch(thread),
                                           control));
  };
  const ModelStatus status = internal::run_tasks(m * ENERGY_GRIDS, control, march);
  if (status != ModelStatus::ok) return status;
  if (marches.stopped.load()) return ModelStatus::stopped;
  // Local fluence transmittance of every node and its tangents.
  std::vector<double> local(static_cast<std::size_t>(m) * (1 + nd), 0.0);
  for (int j = 0; j < m; ++j) {
    double* t = local.data() + static_cast<std::size_t>(j) * (1 + nd);
    for (int g = 0; g < ENERGY_GRIDS; ++g) {
      const exact::MarchSums& s = marches.sums[static_cast<std::size_t>(j) * ENERGY_GRIDS + g];
      const double weight = ENERGY_GRID_WEIGHTS[g];
      const double ratio = s.exit / s.incident;
      t[0] += weight * ratio;
      for (int d = 0; d < nd; ++d) {
        t[1 + d] += weight * ((s.exit_derivative[d] - ratio * s.incident_derivative[d]) /
                              s.incident);
      }
    }
  }
  double sum[1 + exact::MAX_DIRECTIONS];
  for (int n = 0; n < problem.points(); ++n) {
    const double* weights = problem.position_weights.data() + static_cast<std::size_t>(n) * m;
    for (int d = 0; d <= nd; ++d) sum[d] = 0.0;
    for (int j = 0; j < m; ++j) {
      const double* t = local.data() + static_cast<std::size_t>(j) * (1 + nd);
      for (int d = 0; d <= nd; ++d) sum[d] += weights[j] * t[d];
    }
    curves[n] = sum[0];
    for (int d = 0; d < nd; ++d) {
      const bool focus = constants.index[d] == FOCUS_SHIFT;
      jacobian[n * nd + d] = focus ? sum[1 + d] * problem.focus_rate[n] : sum[1 + d];
    }
  }
  return ModelStatus::ok;
}

}  // namespace

ModelStatus evaluate(const ExactProblem& problem, const double* p,
                     std::span<const int> derivatives, double* curves, double* jacobian,
                     const EvaluateOptions& options) {
  const int nd = static_cast<int>(derivatives.size());
  if (nd > exact::MAX_DIRECTIONS) return ModelStatus::failed;
  // The shift needs the five outermost points of each curve.
  if (options.normalise && problem.num_x_pts < MIN_POINTS_PER_CURVE) return ModelStatus::failed;
  exact::StepConstants constants;
  exact::set_step_constants(constants, p, problem.optical_frequency, derivatives.data(), nd);
  std::vector<double> column;
  ModelStatus status = ModelStatus::ok;
  try {
    column.resize(static_cast<std::size_t>(problem.num_x_pts));
    status = problem.variant == ExactVariant::established
                 ? established_curves(problem, constants, nd, curves, jacobian, options.control)
                 : energy_curves(problem, constants, nd, curves, jacobian, options.control);
  } catch (const AllocationError&) {
    throw;
  } catch (const std::bad_alloc&) {
    return ModelStatus::out_of_memory;
  }
  if (status != ModelStatus::ok) return status;
  if (options.normalise) shift_curves(problem, nd, curves, jacobian, column.data());
  return ModelStatus::ok;
}

}  // namespace tarvo
