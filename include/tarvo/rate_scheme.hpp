// The five-level rate scheme, written once: every transition between the
// levels, either driven by the light (a cross-section times the photon flux)
// or a decay (the reciprocal of a time constant). The exact engine builds its
// rate matrices, their parameter derivatives and the attenuation coefficient
// from this table; the LSODA right-hand sides (model/lsoda/rate_equations.cpp)
// are the same terms written out in the fixed arithmetic order that their
// bit-for-bit results depend on, and a test (rate_scheme_terms in
// tarvo._native) checks the two against each other.
#pragma once

#include "tarvo/constants.hpp"

namespace tarvo {

// One transition: population leaves level `from` for level `to` (0-based).
struct Transition {
  int from;
  int to;
  // Index into the parameter vector: a cross-section (absorption) or a time
  // constant (decay).
  int parameter;
  // True: rate = parameter * photon flux; false: rate = 1 / parameter.
  bool absorption;
};

// Level 1 absorbs into 2, 2 into 3, 4 into 5; 2 decays to 1 and to 4, 3 to 2,
// 4 to 1 and 5 to 4. Levels 3 and 5 do not absorb.
inline constexpr Transition RATE_SCHEME[] = {
    {0, 1, 0, true},   // sigma_1: 1 -> 2
    {1, 2, 1, true},   // sigma_2: 2 -> 3
    {3, 4, 2, true},   // sigma_4: 4 -> 5
    {1, 0, 3, false},  // tau_21: 2 -> 1
    {1, 3, 4, false},  // tau_24: 2 -> 4
    {2, 1, 5, false},  // tau_32: 3 -> 2
    {3, 0, 6, false},  // tau_41: 4 -> 1
    {4, 3, 7, false},  // tau_54: 5 -> 4
};
inline constexpr int TRANSITIONS = sizeof(RATE_SCHEME) / sizeof(RATE_SCHEME[0]);

// The first CROSS_SECTIONS parameters are cross-sections, the rest time
// constants: each parameter drives exactly one transition of the table.
inline constexpr int CROSS_SECTIONS = 3;

// The transition that parameter `parameter` drives.
constexpr const Transition& transition_of(int parameter) {
  for (const Transition& t : RATE_SCHEME) {
    if (t.parameter == parameter) return t;
  }
  return RATE_SCHEME[0];
}

// The table's shape, checked when it is compiled: one transition per
// parameter, cross-sections first, levels in range, no transition to itself.
constexpr bool rate_scheme_is_consistent() {
  if (TRANSITIONS != PARAMETER_COUNT) return false;
  for (int p = 0; p < PARAMETER_COUNT; ++p) {
    int count = 0;
    for (const Transition& t : RATE_SCHEME) {
      if (t.parameter != p) continue;
      ++count;
      if (t.absorption != (p < CROSS_SECTIONS)) return false;
      if (t.from < 0 || t.from >= LEVELS || t.to < 0 || t.to >= LEVELS || t.from == t.to) {
        return false;
      }
    }
    if (count != 1) return false;
  }
  return true;
}
static_assert(rate_scheme_is_consistent(), "RATE_SCHEME: one transition per parameter");

// Names of the parameters, in the order of the parameter vector.
inline constexpr const char* PARAMETER_NAMES[PARAMETER_COUNT] = {
    "sigma_1", "sigma_2", "sigma_4", "tau_21", "tau_24", "tau_32", "tau_41", "tau_54"};

}  // namespace tarvo
