// The gray value of a colour pixel, the one rule every colour-to-gray reduction uses.
#pragma once

namespace ko {

// red x 0.299f + green x 0.587f + blue x 0.114f (the single-precision values of the weights)
// in double, in that order, rounded to float. No range scaling.
inline float Luma(double red, double green, double blue) {
  constexpr double kWeightRed = 0.299f;
  constexpr double kWeightGreen = 0.587f;
  constexpr double kWeightBlue = 0.114f;
  double gray = red * kWeightRed;
  gray = gray + green * kWeightGreen;
  gray = gray + blue * kWeightBlue;
  return static_cast<float>(gray);
}

}  // namespace ko
