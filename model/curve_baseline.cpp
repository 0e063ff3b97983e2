// The baseline that every model curve is shifted to 1 by.
#include "zscan_model.hpp"

double curve_baseline(const double* raw, int n) {
  return (raw[0] + raw[1] + raw[2] + raw[3] + raw[4] + raw[n - 5] + raw[n - 4] + raw[n - 3] +
          raw[n - 2] + raw[n - 1]) *
         0.1;
}
