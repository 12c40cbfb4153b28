#include "tools/view_pictures.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>
#include <random>
#include <vector>

namespace brevant::view {
namespace {

constexpr double kPi = std::numbers::pi;

// Hue in turns of an RGB colour, the textbook inverse of HSV, written independently.
double HueOf(Rgb c) {
  const double r = c.red, g = c.green, b = c.blue;
  const double hi = std::max({r, g, b}), lo = std::min({r, g, b});
  if (hi == lo) return 0.0;
  double h;
  if (hi == r) h = std::fmod((g - b) / (hi - lo), 6.0);
  else if (hi == g) h = (b - r) / (hi - lo) + 2.0;
  else h = (r - g) / (hi - lo) + 4.0;
  h /= 6.0;
  return h < 0 ? h + 1.0 : h;
}

double TurnDistance(double a, double b) {
  const double d = std::fabs(a - b);
  return std::min(d, 1.0 - d);
}

TEST(PositivePercentile, MeetsTheNearestRankDefinition) {
  std::mt19937 random(7);
  std::uniform_real_distribution<float> spread(-2.0f, 50.0f);
  for (size_t n : {1u, 2u, 7u, 199u, 200u, 201u, 5000u}) {
    std::vector<float> values(n);
    for (float& v : values) v = spread(random);
    values[0] = std::numeric_limits<float>::quiet_NaN();
    if (n > 3) values[1] = std::numeric_limits<float>::infinity();
    if (n > 3) values[2] = 0.0f;
    const float p = PositivePercentile(values.data(), n, 99.5);
    size_t positive = 0, atMost = 0, below = 0;
    for (float v : values) {
      if (!std::isfinite(v) || v <= 0.0f) continue;
      ++positive;
      atMost += v <= p;
      below += v < p;
    }
    if (positive == 0) {
      EXPECT_EQ(p, 0.0f);
      continue;
    }
    EXPECT_TRUE(std::find(values.begin(), values.end(), p) != values.end()) << n;
    EXPECT_GE(static_cast<double>(atMost), 0.995 * positive) << n;
    EXPECT_LT(static_cast<double>(below), 0.995 * positive) << n;
  }
}

TEST(PositivePercentile, IgnoresAFewHotPixelsAndEmptyPlanes) {
  std::vector<float> values(1000, 2.0f);
  values[10] = values[20] = values[30] = 1e6f;
  EXPECT_EQ(PositivePercentile(values.data(), values.size(), 99.5), 2.0f);
  std::vector<float> zeros(50, 0.0f);
  EXPECT_EQ(PositivePercentile(zeros.data(), zeros.size(), 99.5), 0.0f);
  EXPECT_EQ(PositivePercentile(nullptr, 0, 99.5), 0.0f);
}

TEST(GreyLevel, ScalesLinearlyAndClamps) {
  EXPECT_EQ(GreyLevel(0.0f, 4.0f), 0);
  EXPECT_EQ(GreyLevel(2.0f, 4.0f), 128);  // 127.5 rounds up
  EXPECT_EQ(GreyLevel(1.0f, 4.0f), 64);   // 63.75
  EXPECT_EQ(GreyLevel(4.0f, 4.0f), 255);
  EXPECT_EQ(GreyLevel(40.0f, 4.0f), 255);
  EXPECT_EQ(GreyLevel(-1.0f, 4.0f), 0);
  EXPECT_EQ(GreyLevel(std::numeric_limits<float>::quiet_NaN(), 4.0f), 0);
  EXPECT_EQ(GreyLevel(std::numeric_limits<float>::infinity(), 4.0f), 255);
  EXPECT_EQ(GreyLevel(3.0f, 0.0f), 0);
}

TEST(HueToRgb, PrimariesWrapAndBrightness) {
  const auto same = [](Rgb a, Rgb b) { return a.red == b.red && a.green == b.green && a.blue == b.blue; };
  EXPECT_TRUE(same(HueToRgb(0.0, 1.0), Rgb{255, 0, 0}));
  EXPECT_TRUE(same(HueToRgb(1.0 / 3.0, 1.0), Rgb{0, 255, 0}));
  EXPECT_TRUE(same(HueToRgb(2.0 / 3.0, 1.0), Rgb{0, 0, 255}));
  EXPECT_TRUE(same(HueToRgb(1.0, 1.0), Rgb{255, 0, 0}));
  EXPECT_TRUE(same(HueToRgb(-1.0 / 3.0, 1.0), HueToRgb(2.0 / 3.0, 1.0)));
  EXPECT_TRUE(same(HueToRgb(0.75, 1.0), Rgb{128, 0, 255}));
  EXPECT_TRUE(same(HueToRgb(0.0, 0.5), Rgb{128, 0, 0}));
  EXPECT_TRUE(same(HueToRgb(0.3, 0.0), Rgb{0, 0, 0}));
  EXPECT_TRUE(same(HueToRgb(0.3, 7.0), HueToRgb(0.3, 1.0)));
  for (int i = 0; i < 360; ++i) {
    const double hue = i / 360.0;
    EXPECT_LT(TurnDistance(HueOf(HueToRgb(hue, 1.0)), hue), 0.5 / 255.0 + 1e-9) << i;
  }
}

TEST(OrientationColour, AnglesAndWheelDirections) {
  EXPECT_DOUBLE_EQ(OrientationHue(0.0), 0.0);
  EXPECT_DOUBLE_EQ(OrientationHue(2.0 * kPi), 0.0);
  EXPECT_DOUBLE_EQ(OrientationHue(1.5 * kPi), 0.75);
  EXPECT_DOUBLE_EQ(OrientationHue(std::nan("")), 0.0);
  // Brightening to the right is 3π/2, to the left π/2; y points down.
  EXPECT_NEAR(WheelOrientation(1, 0), 1.5 * kPi, 1e-12);
  EXPECT_NEAR(WheelOrientation(-1, 0), 0.5 * kPi, 1e-12);
  EXPECT_NEAR(WheelOrientation(0, -1), kPi, 1e-12);
  EXPECT_NEAR(WheelOrientation(0, 1), 0.0, 1e-12);
  for (int i = 0; i < 100; ++i) {
    const double a = WheelOrientation(std::cos(i * 0.1), std::sin(i * 0.1));
    EXPECT_GE(a, 0.0);
    EXPECT_LT(a, 2.0 * kPi);
  }
}

TEST(MontageLayout, TilesFitWithoutOverlapAndShrinkOnlyWhenNeeded) {
  struct Case {
    int w, h, maxSide;
  };
  for (Case c : {Case{10, 8, 3072}, Case{1, 1, 3072}, Case{384, 256, 3072}, Case{1000, 700, 3072},
                 Case{4000, 30, 3072}, Case{7, 5000, 1000}}) {
    const MontageLayout layout = ComputeMontageLayout(c.w, c.h, kHistogramBins, c.maxSide);
    ASSERT_EQ(layout.columns * layout.rows >= kHistogramBins, true);
    EXPECT_EQ(layout.tileWidth, (c.w + layout.factor - 1) / layout.factor);
    EXPECT_EQ(layout.tileHeight, (c.h + layout.factor - 1) / layout.factor);
    EXPECT_LE(std::max(layout.width, layout.height), c.maxSide) << c.w << "x" << c.h;
    if (layout.factor > 1) {  // one step less would not have fitted
      const int f = layout.factor - 1;
      const int w = layout.columns * ((c.w + f - 1) / f) + (layout.columns - 1) * layout.gap;
      const int h = layout.rows * ((c.h + f - 1) / f) + (layout.rows - 1) * layout.gap;
      EXPECT_GT(std::max(w, h), c.maxSide);
    }
    // Every tile inside the montage, no two sharing a pixel.
    std::vector<int> owner(static_cast<size_t>(layout.width) * layout.height, -1);
    for (int k = 0; k < kHistogramBins; ++k) {
      int x0, y0;
      TileOrigin(layout, k, &x0, &y0);
      ASSERT_GE(x0, 0);
      ASSERT_GE(y0, 0);
      ASSERT_LE(x0 + layout.tileWidth, layout.width);
      ASSERT_LE(y0 + layout.tileHeight, layout.height);
      for (int y = y0; y < y0 + layout.tileHeight; ++y)
        for (int x = x0; x < x0 + layout.tileWidth; ++x) {
          int& who = owner[static_cast<size_t>(y) * layout.width + x];
          ASSERT_EQ(who, -1) << "tiles " << who << " and " << k;
          who = k;
        }
    }
  }
  const MontageLayout small = ComputeMontageLayout(10, 8, kHistogramBins, 3072);
  EXPECT_EQ(small.factor, 1);
  EXPECT_EQ(small.width, 6 * 10 + 5 * 2);
  EXPECT_EQ(small.height, 6 * 8 + 5 * 2);
  int x, y;
  TileOrigin(small, 7, &x, &y);  // second row, second column
  EXPECT_EQ(x, 12);
  EXPECT_EQ(y, 10);
}

TEST(DominantBin, LargestFirstOnTiesNoneWithoutVotes) {
  std::vector<float> bins(kHistogramBins, 0.0f);
  EXPECT_EQ(DominantBin(bins.data(), kHistogramBins), -1);
  bins[4] = 2.0f;
  bins[9] = 2.0f;
  bins[30] = 1.0f;
  EXPECT_EQ(DominantBin(bins.data(), kHistogramBins), 4);
  bins[2] = std::numeric_limits<float>::quiet_NaN();
  bins[3] = std::numeric_limits<float>::infinity();
  bins[35] = -5.0f;
  EXPECT_EQ(DominantBin(bins.data(), kHistogramBins), 4);
  bins[35] = 2.5f;
  EXPECT_EQ(DominantBin(bins.data(), kHistogramBins), 35);
}

TEST(Pictures, OrientationPictureHueAndLegend) {
  // A small picture: no legend, every pixel its orientation's colour.
  const int w = 8, h = 4;
  std::vector<float> orientation(w * h), energy(w * h, 0.0f);
  for (int i = 0; i < w * h; ++i) orientation[i] = static_cast<float>(i * 2.0 * kPi / (w * h));
  energy[5] = 1.0f;
  energy[6] = 0.5f;
  Picture small = MakeOrientationPicture(orientation.data(), energy.data(), w, h, 1.0f);
  ASSERT_EQ(small.channels, 3);
  ASSERT_EQ(small.pixels.size(), static_cast<size_t>(w * h * 3));
  const uint8_t* p5 = small.At(5, 0);
  EXPECT_NEAR(HueOf(Rgb{p5[0], p5[1], p5[2]}), 5.0 / (w * h), 1.0 / 255);
  EXPECT_EQ(std::max({p5[0], p5[1], p5[2]}), 255);
  const uint8_t* p6 = small.At(6, 0);
  EXPECT_EQ(std::max({p6[0], p6[1], p6[2]}), 128);
  const uint8_t* p7 = small.At(7, 0);
  EXPECT_EQ(p7[0] + p7[1] + p7[2], 0);  // no energy, black

  // A large one carries the wheel bottom right: its right-hand side is the colour of 3π/2.
  const int big = 128;
  std::vector<float> dark(big * big, 0.0f);
  Picture withLegend = MakeOrientationPicture(dark.data(), dark.data(), big, big, 1.0f);
  const int radius = LegendRadius(big, big);
  ASSERT_GT(radius, 0);
  const int centre = big - 3 - (radius + 3) - 1;
  const uint8_t* east = withLegend.At(centre + radius - 1, centre);
  EXPECT_LT(TurnDistance(HueOf(Rgb{east[0], east[1], east[2]}), 0.75), 0.02);
  const uint8_t* north = withLegend.At(centre, centre - radius + 1);
  EXPECT_LT(TurnDistance(HueOf(Rgb{north[0], north[1], north[2]}), 0.5), 0.02);
  EXPECT_EQ(LegendRadius(63, 500), 0);
}

TEST(Pictures, MontageTilesAndDominantBin) {
  const int w = 3, h = 3;
  std::vector<std::vector<float>> planes(kHistogramBins, std::vector<float>(w * h, 0.0f));
  const float* bins[kHistogramBins];
  for (int k = 0; k < kHistogramBins; ++k) {
    std::fill(planes[k].begin(), planes[k].end(), static_cast<float>(k + 1));
    bins[k] = planes[k].data();
  }
  planes[0][4] = 100.0f;  // the centre pixel's strongest bin is 0

  MontageLayout layout = ComputeMontageLayout(w, h, kHistogramBins, 3072);
  Picture montage = MakeHistogramMontage(bins, w, h, layout, 36.0f);
  ASSERT_EQ(montage.width, layout.width);
  ASSERT_EQ(montage.height, layout.height);
  for (int k = 0; k < kHistogramBins; ++k) {
    int x, y;
    TileOrigin(layout, k, &x, &y);
    EXPECT_EQ(*montage.At(x + 2, y + 2), std::lround(255.0 * (k + 1) / 36.0)) << k;
  }
  EXPECT_EQ(*montage.At(1, 1), 255);  // bin 0's centre, 100 of 36: clamped
  EXPECT_EQ(*montage.At(w, 0), 96);   // the gap after the first tile

  // Reduced by 2: tile pixels average the block they cover, partial blocks included.
  MontageLayout halved = ComputeMontageLayout(w, h, kHistogramBins, 6 * 2 + 5 * 2);
  ASSERT_EQ(halved.factor, 2);
  Picture reduced = MakeHistogramMontage(bins, w, h, halved, 36.0f);
  EXPECT_EQ(*reduced.At(0, 0), std::lround(255.0 * (100 + 1 + 1 + 1) / 4 / 36));
  int x, y;
  TileOrigin(halved, 35, &x, &y);
  EXPECT_EQ(*reduced.At(x + 1, y + 1), 255);  // 36 everywhere
  TileOrigin(halved, 17, &x, &y);
  EXPECT_EQ(*reduced.At(x + 1, y), std::lround(255.0 * 18 / 36.0));

  float white = 0.0f;
  Picture dominant = MakeDominantBinPicture(bins, w, h, &white);
  EXPECT_EQ(white, 100.0f);  // 9 maxima: the nearest rank of 99.5 % is the largest
  const uint8_t* centre = dominant.At(1, 1);
  EXPECT_EQ(centre[0], 255);  // bin 0: red at full brightness
  EXPECT_EQ(centre[1], 0);
  const uint8_t* corner = dominant.At(0, 0);  // bin 35 (350°), value 36 of 100
  EXPECT_NEAR(HueOf(Rgb{corner[0], corner[1], corner[2]}), 35.0 / 36.0, 2.0 / 255);
  EXPECT_EQ(std::max({corner[0], corner[1], corner[2]}), std::lround(255 * 0.36));
}

}  // namespace
}  // namespace brevant::view
