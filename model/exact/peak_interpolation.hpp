// Reuse of the energy model's marches across positions and radial nodes.
// Every scan position and radial node sends the same pulse shape through the
// same sample; they differ only in the peak intensity. The local fluence
// transmittance T(I) (and each of its tangents) is therefore one smooth
// function of the peak intensity I, which the energy model computes at a few
// nodes and interpolates, instead of marching every position at every radial
// node (82 positions x 7 nodes against 20 marches on the benchmark case).
//
// The interpolation variable s in [0, 1] maps to I = I_max (exp(lambda s) -
// 1) / (exp(lambda) - 1): T changes fastest where the absorber starts to
// saturate, a small fraction of I_max, and the map spreads that region over
// s. Nodes are Chebyshev points of the first kind in s (no node at I = 0,
// where a march has no light), and the polynomial interpolant is evaluated
// in barycentric form. On the benchmark case 20 nodes interpolate to 5e-7 of
// the dip (a reverse saturable and a saturable absorber, up to 1e-4 J).
#pragma once

#include <span>

namespace tarvo::exact {

// lambda of the map from s to the peak intensity.
inline constexpr double PEAK_MAP_RATE = 5.0;

// The peak intensities of the n interpolation nodes on [0, peak_max]
// (increasing) into nodes[0 .. n).
void peak_nodes(int n, double peak_max, double* nodes);

// The interpolation weights at peak intensity `peak` (0 <= peak <=
// peak_max): T(peak) ~ sum_j row[j] T(nodes[j]); the n weights sum to 1.
void peak_weights(int n, double peak_max, double peak, double* row);

}  // namespace tarvo::exact
