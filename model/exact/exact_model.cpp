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

// The closed-aperture curve value of closed position c (problem.closed_index)
// and its derivatives: the far field of every time slice of every grid from
// the marched exit fields, the energy through the aperture over S times the
// incident energy, extrapolated over the grids as the fluences are.
void closed_point(const ExactProblem& problem, const exact::StepConstants& constants, int c,
                  double focus_rate, const std::vector<double>& fields,
                  const std::size_t* field_start, double* value, double* derivative) {
  const int m = problem.intensity_points;
  const int nodes = problem.far_nodes;
  const int tangents = constants.tangents;
  const int width = 2 * (1 + tangents);
  const std::size_t at = static_cast<std::size_t>(c) * nodes;
  const double* k_re = problem.kernel_re.data() + at * m;
  const double* k_im = problem.kernel_im.data() + at * m;
  const double* kx_re = problem.kernel_x_re.data() + at * m;
  const double* kx_im = problem.kernel_x_im.data() + at * m;
  const double* weight = problem.far_weight.data() + at;
  const double* weight_x = problem.far_weight_x.data() + at;
  int focus = -1;
  for (int p = 0; p < tangents; ++p) {
    if (constants.index[p] == FOCUS_SHIFT) focus = p;
  }
  double f[2 * (1 + exact::MAX_TANGENTS)];
  *value = 0.0;
  for (int p = 0; p < tangents; ++p) derivative[p] = 0.0;
  for (int g = 0; g < ENERGY_GRIDS; ++g) {
    const EnergyGrid& grid = problem.grids[g];
    double energy = 0.0, incident = 0.0;
    double denergy[exact::MAX_TANGENTS] = {};
    for (int s = 0; s < grid.t_slices; ++s) {
      double power = 0.0, dpower[exact::MAX_TANGENTS] = {}, power_x = 0.0;
      for (int q = 0; q < nodes; ++q) {
        // F_q and its tangents: sum_j K_qj t_j.
        for (int e = 0; e < width; ++e) f[e] = 0.0;
        double fx_re = 0.0, fx_im = 0.0;
        for (int j = 0; j < m; ++j) {
          const double* t = fields.data() + field_start[j * ENERGY_GRIDS + g] +
                            static_cast<std::size_t>(s) * width;
          const double a = k_re[q * m + j], b = k_im[q * m + j];
          for (int e = 0; e < width; e += 2) {
            f[e] += a * t[e] - b * t[e + 1];
            f[e + 1] += a * t[e + 1] + b * t[e];
          }
          if (focus >= 0) {
            const double ax = kx_re[q * m + j], bx = kx_im[q * m + j];
            fx_re += ax * t[0] - bx * t[1];
            fx_im += ax * t[1] + bx * t[0];
          }
        }
        const double magnitude = f[0] * f[0] + f[1] * f[1];
        power += weight[q] * magnitude;
        for (int p = 0; p < tangents; ++p) {
          dpower[p] += weight[q] * (2.0 * (f[0] * f[2 + 2 * p] + f[1] * f[3 + 2 * p]));
        }
        if (focus >= 0) {
          power_x += weight_x[q] * magnitude + weight[q] * (2.0 * (f[0] * fx_re + f[1] * fx_im));
        }
      }
      const double share = grid.dt[s] * grid.time_profile[s];
      energy += share * power;
      incident += share;
      for (int p = 0; p < tangents; ++p) {
        const double d = p == focus ? focus_rate * dpower[p] + problem.x_rate * power_x
                                    : dpower[p];
        denergy[p] += share * d;
      }
    }
    *value += ENERGY_GRID_WEIGHTS[g] * (energy / incident);
    for (int p = 0; p < tangents; ++p) {
      derivative[p] += ENERGY_GRID_WEIGHTS[g] * (denergy[p] / incident);
    }
  }
}

// Curves (raw) of the energy variant: marches on the four grids at every
// peak-intensity node, their fluence transmittances extrapolated over the
// slice sizes and interpolated to every position and radial node; closed
// curves from the marches' exit fields through the far-field aperture.
ModelStatus energy_curves(const ExactProblem& problem, const exact::StepConstants& constants,
                          int nd, double* curves, double* jacobian, FitControl* control) {
  const int m = problem.intensity_points;
  const int tangents = constants.tangents;
  Marches marches(m * ENERGY_GRIDS, problem.grids[ENERGY_GRIDS - 1].z_slices, nd);
  // The exit fields of every march, when there are closed curves.
  const bool closed = problem.closed_points > 0;
  std::vector<double> fields;
  std::size_t field_start[MAX_INTENSITY_POINTS * ENERGY_GRIDS] = {};
  if (closed) {
    std::size_t total = 0;
    for (int task = 0; task < m * ENERGY_GRIDS; ++task) {
      field_start[task] = total;
      total += exact::field_size(problem.grids[task % ENERGY_GRIDS], tangents);
    }
    fields.resize(total);
  }
  // March j * ENERGY_GRIDS + g: node j on grid g. Its focus-shift direction
  // is d / d ln(peak): focus rate 1.
  auto march = [&](int task, int thread) {
    const int j = task / ENERGY_GRIDS;
    const int g = task - j * ENERGY_GRIDS;
    marches.keep(task, exact::march_energy(constants, problem, problem.grids[g],
                                           problem.node_peak[j], 1.0, marches.scratch(thread),
                                           control,
                                           closed ? fields.data() + field_start[task] : nullptr));
  };
  const ModelStatus status = internal::run_tasks(m * ENERGY_GRIDS, control, march);
  if (status != ModelStatus::ok) return status;
  if (marches.stopped.load()) return ModelStatus::stopped;
  // Local fluence transmittance of every node and its tangents (the
  // refractive directions have none).
  const int directions = constants.directions;
  std::vector<double> local(static_cast<std::size_t>(m) * (1 + directions), 0.0);
  for (int j = 0; j < m; ++j) {
    double* t = local.data() + static_cast<std::size_t>(j) * (1 + directions);
    for (int g = 0; g < ENERGY_GRIDS; ++g) {
      const exact::MarchSums& s = marches.sums[static_cast<std::size_t>(j) * ENERGY_GRIDS + g];
      const double weight = ENERGY_GRID_WEIGHTS[g];
      const double ratio = s.exit / s.incident;
      t[0] += weight * ratio;
      for (int d = 0; d < directions; ++d) {
        t[1 + d] += weight * ((s.exit_derivative[d] - ratio * s.incident_derivative[d]) /
                              s.incident);
      }
    }
  }
  double sum[1 + exact::MAX_TANGENTS];
  for (int n = 0; n < problem.points(); ++n) {
    double* row = jacobian + static_cast<std::ptrdiff_t>(n) * nd;
    if (closed && problem.closed_index[n] >= 0) continue;
    const double* weights = problem.position_weights.data() + static_cast<std::size_t>(n) * m;
    for (int d = 0; d <= directions; ++d) sum[d] = 0.0;
    for (int j = 0; j < m; ++j) {
      const double* t = local.data() + static_cast<std::size_t>(j) * (1 + directions);
      for (int d = 0; d <= directions; ++d) sum[d] += weights[j] * t[d];
    }
    curves[n] = sum[0];
    for (int d = 0; d < directions; ++d) {
      const bool focus = constants.index[d] == FOCUS_SHIFT;
      row[constants.slot[d]] = focus ? sum[1 + d] * problem.focus_rate[n] : sum[1 + d];
    }
    for (int d = directions; d < tangents; ++d) row[constants.slot[d]] = 0.0;
  }
  if (!closed) return ModelStatus::ok;
  // The closed curves' positions, one task each.
  auto closed_task = [&](int n, int) {
    const int c = problem.closed_index[n];
    if (c < 0) return;
    double derivative[exact::MAX_TANGENTS];
    closed_point(problem, constants, c, problem.focus_rate[n], fields, field_start, curves + n,
                 derivative);
    double* row = jacobian + static_cast<std::ptrdiff_t>(n) * nd;
    for (int d = 0; d < tangents; ++d) row[constants.slot[d]] = derivative[d];
  };
  return internal::run_tasks(problem.points(), control, closed_task);
}

}  // namespace

ModelStatus evaluate(const ExactProblem& problem, const double* p,
                     std::span<const int> derivatives, double* curves, double* jacobian,
                     const EvaluateOptions& options) {
  const int nd = static_cast<int>(derivatives.size());
  if (nd > exact::MAX_TANGENTS) return ModelStatus::failed;
  // Optics and the closed aperture belong to the energy variant; the rate
  // scheme's directions are at most MAX_DIRECTIONS.
  int rate_directions = 0;
  for (int d = 0; d < nd; ++d) {
    if (derivatives[d] < 0 || derivatives[d] >= ALL_DERIVATIVES) return ModelStatus::failed;
    if (derivatives[d] < OPTICS_FIRST + OPTICS_N2) ++rate_directions;
    if (derivatives[d] >= DERIVATIVE_COUNT && problem.variant != ExactVariant::energy) {
      return ModelStatus::failed;
    }
  }
  if (rate_directions > exact::MAX_DIRECTIONS) return ModelStatus::failed;
  if (options.optics != nullptr && !exact_optics_error(problem, options.optics).empty()) {
    return ModelStatus::failed;
  }
  // The shift needs the five outermost points of each curve.
  if (options.normalise && problem.num_x_pts < MIN_POINTS_PER_CURVE) return ModelStatus::failed;
  exact::StepConstants constants;
  exact::set_step_constants(constants, p, problem.optical_frequency, derivatives.data(), nd,
                            options.optics, problem.populations[0], problem.wavenumber);
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
