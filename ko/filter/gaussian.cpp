#include "ko/filter/gaussian.h"

#include <cmath>

namespace ko {

double Gaussian(double x, double s) {
  return std::exp(-x * x / (2.0 * s * s)) / (s * 2.5066282746310007);
}

double Erf(double x) {
  if (std::fabs(x) > 6.0) return x > 0.0 ? 1.0 : -1.0;
  const double z = std::fabs(x);
  const double t = 1.0 / (1.0 + 0.5 * z);
  const double p =
      t * (1.00002368 +
           t * (0.37409196 +
                t * (0.09678418 +
                     t * (-0.18628806 +
                          t * (0.27886807 +
                               t * (-1.13520398 + t * (1.48851587 + t * (-0.82215223 + t * 0.17087277))))))));
  const double c = t * std::exp(p - z * z - 1.26551223);  // about erfc(|x|)
  return x >= 0.0 ? 1.0 - c : c - 1.0;
}

}  // namespace ko
