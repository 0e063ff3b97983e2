// The docstring and the text signature of fit_zscan.
#pragma once

// The signature as introspection shows it.
inline constexpr const char* FIT_ZSCAN_TEXT_SIGNATURE =
    "(x_data, y_data, populations, t_slices, z_slices, sample_width, tau, wavelength, w0, M2, "
    "pulse_energy, spec_pars, fit_indices, num_x_pts, num_datasets, is_sa=False, n_starts=3)";

// The docstring.
inline constexpr const char* FIT_ZSCAN_DOC =
    "Fit z-scan data with multi-start parallel optimization.\n"
    "\n"
    "Fits the selected entries of spec_pars to the measured curves with a\n"
    "five-level rate-equation model, from several starting points, and keeps\n"
    "the start with the smallest fit error.\n"
    "\n"
    "Parameters:\n"
    "    x_data: scan positions (mm) of all curves, one curve after another\n"
    "        (float64 array of num_x_pts * num_datasets values).\n"
    "    y_data: measured normalised transmittance, same layout as x_data.\n"
    "    populations: initial populations of the five levels (float64 array).\n"
    "    t_slices, z_slices: numbers of time slices and depth slices (>= 2).\n"
    "    sample_width: sample thickness.\n"
    "    tau: pulse duration parameter.\n"
    "    wavelength: laser wavelength (m).\n"
    "    w0: beam waist radius (m).\n"
    "    M2: beam quality factor.\n"
    "    pulse_energy: pulse energy of each curve (float64 array).\n"
    "    spec_pars: the eight model parameters: cross-sections of levels 1, 2\n"
    "        and 4, time constants of the 2->1, 2->4, 3->2, 4->1 and 5->4\n"
    "        transitions (float64 array; not modified).\n"
    "    fit_indices: 0-based indices into spec_pars of the entries to fit\n"
    "        (int32 array), valid range 0-7; handed to the native fit as\n"
    "        1-based indices.\n"
    "    num_x_pts: points per curve (>= 5).\n"
    "    num_datasets: number of curves (>= 1).\n"
    "    is_sa: True for a saturable absorber (SA): the positions are centred\n"
    "        on the maximum of y_data; False for a reverse saturable absorber\n"
    "        (RSA): centred on the minimum. Default False (RSA).\n"
    "    n_starts: number of starting points. Start k scales the fitted\n"
    "        entries by 10**((k * 1.04) / max(n_starts - 1, 1) - 0.52), from\n"
    "        about 0.302 to about 3.311. Default 3.\n"
    "\n"
    "Returns:\n"
    "    residuals, error, spec_pars (best result)\n";
