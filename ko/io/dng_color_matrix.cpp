#include "ko/io/dng_color_matrix.h"

#include <cmath>
#include <utility>

namespace ko::dng {

Mat3 Identity() { return Mat3{{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}}; }

Mat3 Mul(const Mat3& a, const Mat3& b) {
  Mat3 r;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) {
      double s = 0;
      for (int k = 0; k < 3; ++k) s += static_cast<double>(a.m[i][k]) * b.m[k][j];
      r.m[i][j] = static_cast<float>(s);
    }
  return r;
}

Vec3 Mul(const Mat3& a, const Vec3& x) {
  Vec3 r;
  for (int i = 0; i < 3; ++i) {
    double s = 0;
    for (int k = 0; k < 3; ++k) s += static_cast<double>(a.m[i][k]) * x.v[k];
    r.v[i] = static_cast<float>(s);
  }
  return r;
}

// Gauss-Jordan elimination with partial pivoting on the largest absolute value of the
// column; a zero pivot gives the zero matrix.
Mat3 Inverse(const Mat3& a) {
  double w[3][6];
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) {
      w[i][j] = a.m[i][j];
      w[i][j + 3] = i == j ? 1.0 : 0.0;
    }
  for (int col = 0; col < 3; ++col) {
    int pivot = col;
    for (int r = col + 1; r < 3; ++r)
      if (std::fabs(w[r][col]) > std::fabs(w[pivot][col])) pivot = r;
    if (w[pivot][col] == 0.0) return Mat3{};
    if (pivot != col)
      for (int j = 0; j < 6; ++j) std::swap(w[pivot][j], w[col][j]);
    const double p = w[col][col];
    for (int j = 0; j < 6; ++j) w[col][j] /= p;
    for (int r = 0; r < 3; ++r) {
      if (r == col) continue;
      const double f = w[r][col];
      for (int j = 0; j < 6; ++j) w[r][j] -= f * w[col][j];
    }
  }
  Mat3 r;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) r.m[i][j] = static_cast<float>(w[i][j + 3]);
  return r;
}

}  // namespace ko::dng
