// The per-pixel rule of the refinement apart from the sums (support_rule.h): where a pixel's
// two samples lie, how strongly and in which direction each neighbour supports them, how a
// pixel votes into the orientation histograms, and what a record holds. The reference form,
// the stencils of the fast form and every lane body take these from here.
#pragma once
#include <cmath>
#include <cstdint>

#include "app/float_math.h"
#include "app/lanes/lanes.h"

namespace brevant {

namespace support {
#include "app/refine/support_rule.h"
}  // namespace support

constexpr int32_t kPassMargin = 2;   // the pixels a pass samples: their points stay inside the image
constexpr int32_t kVoteMargin = 2;   // the pixels that vote into the histograms
constexpr int32_t kFinalMargin = 5;  // the pixels that receive the refined energy and histograms
constexpr double kSampleDistance = 1.5;  // pixels from a pixel to each of its sample points
// pi / 5 rounded to float, negated: the orientation tolerance of the support weight.
constexpr double kWeightScale = -0.6283185482025146;

// The two sample points of pixel (x, y) with folded orientation theta: sample 0 ahead along
// theta, sample 1 behind along theta + pi, each 1.5 pixels away, every step rounded to float.
struct SSamplePoints {
  float x[2], y[2];
  float theta[2];  // the direction each sample looks in
};
inline float Along(float unit, float origin) {
  const float offset = static_cast<float>(unit * kSampleDistance);
  return static_cast<float>(static_cast<double>(offset) + origin);
}

// The float cos(phi) or sin(phi) rounds to, phi = theta + pi in double, given the negated
// cos(theta) or sin(theta): for 0 <= theta <= 4, phi lies within 2^-50 of theta + pi, so the
// library's value of phi lies within 2^-49 (its own rounding included) of the negation; when
// every double within 2^-44 of the negation rounds to one float, that float is the answer, and
// the second sine and cosine are not needed. False (rarely: by a float's rounding edge, or
// for other theta) when only the library's value of phi can tell.
inline bool OppositeUnit(double negated, float theta, float* unit) {
  if (!(theta >= 0.0f && theta <= 4.0f)) return false;
  const float lo = static_cast<float>(negated - 0x1p-44), hi = static_cast<float>(negated + 0x1p-44);
  *unit = lo;
  return lo == hi;  // never -0 against +0: the bounds lie 2^-43 apart, so not both round to 0
}

inline SSamplePoints SamplePoints(float theta, int32_t x, int32_t y) {
  const float xf = static_cast<float>(x), yf = static_cast<float>(y);
  const double phi = theta + kPi;
  const double c = std::cos(static_cast<double>(theta)), s = std::sin(static_cast<double>(theta));
  float c1 = 0.0f, s1 = 0.0f;
  if (!OppositeUnit(-c, theta, &c1)) c1 = static_cast<float>(std::cos(phi));
  if (!OppositeUnit(-s, theta, &s1)) s1 = static_cast<float>(std::sin(phi));
  SSamplePoints p;
  p.x[0] = Along(static_cast<float>(c), xf);
  p.y[0] = Along(static_cast<float>(s), yf);
  p.x[1] = Along(c1, xf);
  p.y[1] = Along(s1, yf);
  p.theta[0] = theta;
  p.theta[1] = static_cast<float>(phi);
  return p;
}

// Whether a point has all four neighbours in a w x h image; false for NaN, whose integer
// part does not exist.
inline bool SampleInside(float px, float py, int32_t w, int32_t h) {
  return px >= 0.0f && px < static_cast<float>(w - 1) && py >= 0.0f && py < static_cast<float>(h - 1);
}

namespace support {
#include "app/refine/weight_rule.h"
}  // namespace support

// Edges are undirected for the support: an orientation folded into [0, pi] (weight_rule.h).
inline float FoldOrientation(float theta) {
  return static_cast<float>(support::FoldedOrientation<lanes::Scalar>(theta));
}

// The exponent q of a neighbour's weight exp(q) for a sample looking along theta, and
// whether the neighbour gives its backward support (weight_rule.h).
inline float WeightExponent(float theta, float neighbour, bool* backward) {
  return static_cast<float>(support::WeightExponent<lanes::Scalar>(theta, neighbour, backward));
}

// The bilinear weights of the four neighbours in double.
inline void BilinearWeights(float fx, float fy, double c[4]) {
  for (int i = 0; i < 4; ++i) c[i] = support::Bilinear<lanes::Scalar>(fx, fy, i);
}

// A neighbour's record: its source value (energy or vote) plus its support, in float.
inline float RecordValue(float source, float support) { return source + support; }

// (backward + forward) + before, summed in double, rounded once.
inline float RefinedValue(float forward, float backward, float before) {
  return support::FinalSum<lanes::Scalar>(forward, backward, before);
}

// The bin a (finite) orientation votes into and the share of the vote that goes to the next
// bin (bin k stands for k x 10 degrees). False for an orientation that has no bin (NaN);
// `bin` is then what the conversion of the undefined bin position gives, for the error line.
bool OrientationBin(float orientation, int32_t* bin, float* fraction);

// The two votes of energy b: b (1 - fraction) into its bin and b fraction into the next.
inline void SplitVote(float b, float fraction, float* first, float* second) {
  *first = static_cast<float>(static_cast<double>(b) * (1.0 - fraction));
  *second = static_cast<float>(static_cast<double>(b) * fraction);
}

}  // namespace brevant
