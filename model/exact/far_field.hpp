// The closed aperture of the energy model: a centred circular aperture in
// the far field that passes the fraction S of the linear beam's power.
//
// At the sample exit the field is the incident Gaussian beam, with the
// wavefront curvature it has there, times the sample's transmission t (exit
// field over incident field: amplitude from the absorption, phase from the
// refraction). With u = r^2 / w^2 and x = z / z_R the incident field is
// exp(-u (1 - i x)) (the curvature k r^2 / 2R is x u), and t depends on r
// only through the local peak intensity I0 exp(-2u), so t(u) = sum_j W_j(u)
// t_j with the peak-intensity interpolation of peak_interpolation.hpp. The
// far field is the Hankel (Fraunhofer) transform
//   F(psi) = int_0^inf exp(-u (1 - i x)) t(u) J0(2 sqrt((1 + x^2) psi u)) du,
// psi = theta^2 / theta_0^2 the far-field angle over the linear divergence,
// and the energy through the aperture, relative to S times the incident
// energy, is 2 (1 + x^2) / S int_0^psi_a |F|^2 dpsi with psi_a = -ln(1-S)/2.
//
// Why a Hankel transform by quadrature and not the Gaussian decomposition:
// the decomposition expands exp(i phi) in powers of the on-axis phase, which
// converges slowly beyond 1 rad and holds only for a phase of Gaussian
// profile; absorption, saturation and population refraction give neither.
// The transform by quadrature is exact for any t and, because F is linear in
// the t_j, folds into one complex kernel K_qj per position (built when the
// positions or the focus change): an evaluation costs far_nodes x
// intensity_points complex products per time slice and position. The linear
// part t(0) is transformed in closed form, exp(-(1 + i x) psi) / (1 - i x);
// the rest, t(u) - t(0) ~ exp(-2u), by composite Gauss-Legendre in u on
// [0, 8] with panels fine enough for the oscillation of the curvature phase
// and of J0.
#pragma once

namespace tarvo::exact {

// Largest number of far-field nodes of one aperture.
inline constexpr int MAX_FAR_NODES = 16;

// Far-field (Gauss-Legendre) nodes in psi for an aperture of transmittance S.
int far_field_nodes(double S);

// Where far_field_kernel writes: K and dK/dx (nodes x m, complex as re, im),
// the weights of |F_q|^2 and their x derivatives (nodes).
struct FarFieldKernel {
  double* re;
  double* im;
  double* x_re;
  double* x_im;
  double* weight;
  double* weight_x;
};

// The kernel of one position: aperture S, `nodes` far-field nodes, x = z /
// z_R, its peak intensity, the peak-intensity nodes' range and count m;
// `row` is scratch of m values.
void far_field_kernel(double S, int nodes, double x, double peak, double peak_max, int m,
                      const FarFieldKernel& out, double* row);

}  // namespace tarvo::exact
