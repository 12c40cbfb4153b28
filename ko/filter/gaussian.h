// The normal density and the error function that the Gaussian kernels integrate.
#pragma once

namespace ko {

// exp(-x^2 / (2 s^2)) / (s sqrt(2 pi)): the normal density of standard deviation s.
double Gaussian(double x, double s);

// The error function, from a rational Chebyshev approximation of the complementary error
// function (fractional error below 1.2e-7). Exactly +1 or -1 beyond |x| > 6.
double Erf(double x);

}  // namespace ko
