// The size checks every caller shares, and the building of a Problem:
// positions in metres, square-root weights, grids and the incident table.
#include <climits>
#include <cmath>
#include <cstdio>

#include "tarvo/memory.hpp"
#include "tarvo/model.hpp"
#include "tarvo/problem.hpp"

namespace tarvo {

namespace {

// Largest array length the native code counts (32-bit counts).
constexpr long long MAX_NATIVE_COUNT = INT_MAX;

// "value" or "values" for `count`.
const char* values_word(long long count) { return count == 1 ? "value" : "values"; }

// printf into a std::string.
template <typename... Args>
std::string formatted(const char* format, Args... args) {
  char text[256];
  std::snprintf(text, sizeof text, format, args...);
  return text;
}

// "" when value >= minimum, else the refusal for the integer `name`.
std::string at_least(const char* name, int value, int minimum) {
  if (value >= minimum) return {};
  return formatted("%s must be at least %d, got %d", name, minimum, value);
}

// "" when `length` fits the native counts, else the refusal for array `name`.
std::string native_length(const char* name, long long length) {
  if (length <= MAX_NATIVE_COUNT) return {};
  return formatted("%s has %lld values, more than the largest supported %lld", name, length,
                   MAX_NATIVE_COUNT);
}

// Copy `n` values (n <= source.size()) into a new vector.
std::vector<double> first_values(std::span<const double> source, std::size_t n) {
  return std::vector<double>(source.begin(), source.begin() + static_cast<std::ptrdiff_t>(n));
}

}  // namespace

ProblemError::~ProblemError() = default;

std::string size_error(const ArgumentSizes& s) {
  std::string error;
  if (!(error = at_least("num_datasets", s.num_datasets, 1)).empty()) return error;
  if (!(error = at_least("num_x_pts", s.num_x_pts, MIN_POINTS_PER_CURVE)).empty()) return error;

  const long long points = static_cast<long long>(s.num_x_pts) * s.num_datasets;
  if (s.y_length >= 0) {
    if (s.y_length != points) {
      return formatted("y_data has %lld %s but num_x_pts * num_datasets = %d * %d = %lld",
                       s.y_length, values_word(s.y_length), s.num_x_pts, s.num_datasets, points);
    }
    if (!(error = native_length("y_data", s.y_length)).empty()) return error;
    if (s.x_length != s.y_length) {
      return formatted("x_data has %lld %s but y_data has %lld", s.x_length,
                       values_word(s.x_length), s.y_length);
    }
  } else {
    if (s.x_length != points) {
      return formatted("x_data has %lld %s but num_x_pts * num_datasets = %d * %d = %lld",
                       s.x_length, values_word(s.x_length), s.num_x_pts, s.num_datasets, points);
    }
    if (!(error = native_length("x_data", s.x_length)).empty()) return error;
  }

  if (!(error = at_least("t_slices", s.t_slices, MIN_SLICES)).empty()) return error;
  if (!(error = at_least("z_slices", s.z_slices, MIN_SLICES)).empty()) return error;

  if (s.populations_length < LEVELS) {
    return formatted(
        "populations has %lld %s but the model needs the initial populations of %d levels",
        s.populations_length, values_word(s.populations_length), LEVELS);
  }
  if (!(error = native_length("populations", s.populations_length)).empty()) return error;
  if (s.pulse_energy_length < s.num_datasets) {
    return formatted("pulse_energy has %lld %s but num_datasets = %d needs one per curve",
                     s.pulse_energy_length, values_word(s.pulse_energy_length), s.num_datasets);
  }
  if (s.spec_pars_length >= 0) {
    if (s.spec_pars_length < PARAMETER_COUNT) {
      return formatted("spec_pars has %lld %s but the model needs %d", s.spec_pars_length,
                       values_word(s.spec_pars_length), PARAMETER_COUNT);
    }
    if (!(error = native_length("spec_pars", s.spec_pars_length)).empty()) return error;
  }
  if (s.fit_indices_length >= 0) {
    if (!(error = native_length("fit_indices", s.fit_indices_length)).empty()) return error;
    // LMDIF1 counts its work array, m n + 5 n + m values, in 32 bits. It
    // only runs with 1 <= n <= m (otherwise it evaluates the start alone).
    const long long m = s.y_length >= 0 ? s.y_length : s.x_length;
    const long long n = s.fit_indices_length;
    if (n >= 1 && n <= m) {
      const long long work = m * n + 5 * n + m;
      if (work > MAX_NATIVE_COUNT) {
        return formatted(
            "fit_indices has %lld entries for %lld points: the least-squares work array of %lld "
            "values (m n + 5 n + m) exceeds the largest LMDIF1 takes, %lld",
            n, m, work, MAX_NATIVE_COUNT);
      }
    }
  }
  return {};
}

Problem::Problem(const ProblemInput& in) : num_x_pts_(in.num_x_pts), num_datasets_(in.num_datasets) {
  ArgumentSizes sizes;
  sizes.x_length = static_cast<long long>(in.x_mm.size());
  sizes.y_length = in.y.empty() ? -1 : static_cast<long long>(in.y.size());
  sizes.populations_length = static_cast<long long>(in.populations.size());
  sizes.pulse_energy_length = static_cast<long long>(in.pulse_energy.size());
  sizes.num_x_pts = in.num_x_pts;
  sizes.num_datasets = in.num_datasets;
  sizes.t_slices = in.t_slices;
  sizes.z_slices = in.z_slices;
  const std::string error = size_error(sizes);
  if (!error.empty()) throw ProblemError(error);
  try {
    build(in);
  } catch (const AllocationError&) {
    throw;
  } catch (const std::bad_alloc&) {
    char wanted[32];
    format_bytes(bytes_needed(in), wanted, sizeof wanted);
    char message[320];
    std::snprintf(message, sizeof message,
                  "could not allocate %s for the grids and incident-intensity table of %d "
                  "points x %d time slices and %d depth slices",
                  wanted, static_cast<int>(in.x_mm.size()), in.t_slices, in.z_slices);
    throw AllocationError(message);
  }
}

double Problem::bytes_needed(const ProblemInput& in) {
  const double points = static_cast<double>(in.x_mm.size());
  const double copies = in.y.empty() ? 1.0 : 3.0;  // positions, and y and weights with data
  return sizeof(double) * (points * copies + static_cast<double>(in.t_slices) +
                           static_cast<double>(in.z_slices) +
                           points * static_cast<double>(in.t_slices));
}

void Problem::build(const ProblemInput& in) {
  // Refuse what cannot fit before filling gigabytes.
  const double needed = bytes_needed(in);
  const double available = available_memory();
  if (needed > available) {
    char wanted[32], limit[32];
    format_bytes(needed, wanted, sizeof wanted);
    format_bytes(available, limit, sizeof limit);
    char message[320];
    std::snprintf(message, sizeof message,
                  "the model needs %s for the grids and incident-intensity table of %d points x "
                  "%d time slices and %d depth slices, more than the %s this process may use",
                  wanted, static_cast<int>(in.x_mm.size()), in.t_slices, in.z_slices, limit);
    throw AllocationError(message);
  }
  const std::size_t n = in.x_mm.size();
  positions_.resize(n);
  for (std::size_t i = 0; i < n; ++i) positions_[i] = in.x_mm[i] * METRES_PER_MILLIMETRE;
  y_ = first_values(in.y, in.y.size());
  if (has_data()) {
    sqrt_weights_.resize(n);
    for (std::size_t i = 0; i < n; ++i) sqrt_weights_[i] = std::sqrt(point_weight(positions_[i]));
  }
  for (int l = 0; l < LEVELS; ++l) populations_[l] = in.populations[l];

  const double z_r = rayleigh_range(in.w0, in.M2, in.wavelength);
  optical_frequency_ = SPEED_OF_LIGHT / in.wavelength;
  z_grid_.resize(static_cast<std::size_t>(in.z_slices));
  linspace(z_grid_.data(), 0.0, in.sample_width, in.z_slices);
  // The time slices span one tau, centred on the pulse peak.
  t_grid_.resize(static_cast<std::size_t>(in.t_slices));
  linspace(t_grid_.data(), -0.5 * in.tau, 0.5 * in.tau, in.t_slices);
  dt_ = t_grid_[1] - t_grid_[0];
  dz_ = z_grid_[1];

  pulse_energy_ = first_values(in.pulse_energy, static_cast<std::size_t>(num_datasets_));
  tau_ = in.tau;
  w0_ = in.w0;
  z_r_ = z_r;
  incident_.resize(static_cast<std::size_t>(num_x_pts_) * t_grid_.size() *
                   static_cast<std::size_t>(num_datasets_));
  fill_incident();
}

void Problem::fill_incident() {
  const std::ptrdiff_t nx = num_x_pts_;
  const std::ptrdiff_t nt = t_slices();
  for (std::ptrdiff_t k = 0; k < num_datasets_; ++k) {
    for (std::ptrdiff_t j = 0; j < nt; ++j) {
      for (std::ptrdiff_t i = 0; i < nx; ++i) {
        incident_[static_cast<std::size_t>(i + nx * (j + nt * k))] =
            pulse_intensity(0.0, t_grid_[j], positions_[k * nx + i], pulse_energy_[k], tau_,
                            w0_, z_r_);
      }
    }
  }
}

bool Problem::place(std::span<const double> x_mm, double shift_mm) {
  if (has_data() || x_mm.size() != positions_.size()) return false;
  for (std::size_t i = 0; i < positions_.size(); ++i) {
    positions_[i] = (x_mm[i] - shift_mm) * METRES_PER_MILLIMETRE;
  }
  fill_incident();
  return true;
}

}  // namespace tarvo
