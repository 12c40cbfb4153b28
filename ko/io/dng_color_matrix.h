// 3 x 3 colour matrices for the DNG reader's camera-to-sRGB transform, held in single
// precision: products and inverses are computed in double and rounded to float once per
// stored element.
#pragma once

namespace ko::dng {

struct Mat3 {
  float m[3][3];  // row, column
};
struct Vec3 {
  float v[3];
};

Mat3 Identity();
Mat3 Mul(const Mat3& a, const Mat3& b);
Vec3 Mul(const Mat3& a, const Vec3& x);
// Gauss-Jordan elimination with partial pivoting; a zero pivot (an exactly singular
// matrix) gives the zero matrix.
Mat3 Inverse(const Mat3& a);

// Linear sRGB (D65) to XYZ, and the Bradford cone response matrix.
inline constexpr Mat3 kSrgbToXyz = {{{0.4124f, 0.3576f, 0.1805f}, {0.2126f, 0.7152f, 0.0722f}, {0.0193f, 0.1192f, 0.9505f}}};
inline constexpr Mat3 kBradford = {{{0.8951f, 0.2664f, -0.1614f}, {-0.7502f, 1.7135f, 0.0367f}, {0.0389f, -0.0685f, 1.0296f}}};

}  // namespace ko::dng
