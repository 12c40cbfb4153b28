#include <gtest/gtest.h>

#include <vector>

#include "ko/io/dng_demosaic.h"

namespace ko {
namespace {

// CFA colour (0 red, 1 green, 2 blue) of each phase's 2 x 2 quad, row-major.
const uint8_t kLayouts[4][4] = {{0, 1, 1, 2}, {1, 0, 2, 1}, {1, 2, 0, 1}, {2, 1, 1, 0}};

CTypedImg<unsigned short> RawImage(int w, int h, auto sample) {
  CTypedImg<unsigned short> raw;
  EXPECT_EQ(raw.Create(w, h, 1, 0), S_OK);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) raw.At(x, y) = static_cast<unsigned short>(sample(x, y));
  return raw;
}

// (blue, green, red) of output pixel (x, y).
std::vector<int> Pixel(const CImg& out, int x, int y) {
  const auto* p = reinterpret_cast<const uint16_t*>(out.BandPtr(x, y, 0));
  return {p[0], p[1], p[2]};
}

void Demosaic(const CTypedImg<unsigned short>& raw, RECT window, int phase, CCompositeImg<RGBType<unsigned short>>* out,
              uint16_t fill = 7) {
  ASSERT_EQ(out->Create(window.right - window.left, window.bottom - window.top, 3, 2, kTypeRGB16, 0), S_OK);
  ASSERT_EQ(out->Fill(&fill, nullptr, -1, true), S_OK);
  DemosaicBayer(raw, window, phase, out);
}

TEST(DngDemosaic, PhaseFollowsPatternAndCropOffset) {
  const uint8_t rggb[4] = {0, 1, 1, 2};
  EXPECT_EQ(DngBayerPhaseOf(rggb, 0, 0), kBayerRGGB);
  EXPECT_EQ(DngBayerPhaseOf(rggb, 1, 0), kBayerGRBG);  // one column right: G R / B G
  EXPECT_EQ(DngBayerPhaseOf(rggb, 0, 1), kBayerGBRG);
  EXPECT_EQ(DngBayerPhaseOf(rggb, 3, 5), kBayerBGGR);
  EXPECT_EQ(DngBayerPhaseOf(rggb, 2, 4), kBayerRGGB);
  for (int phase = 0; phase < 4; ++phase) {
    EXPECT_EQ(DngBayerPhaseOf(kLayouts[phase], 0, 0), phase);
    // Shifting by one column and one row gives the diagonal opposite layout.
    EXPECT_EQ(DngBayerPhaseOf(kLayouts[phase], 1, 1), 3 - phase);
  }
  const uint8_t greens[4] = {1, 1, 1, 1}, odd[4] = {3, 1, 1, 2};
  EXPECT_EQ(DngBayerPhaseOf(greens, 0, 0), -1);
  EXPECT_EQ(DngBayerPhaseOf(odd, 0, 0), -1);
}

TEST(DngDemosaic, UniformMosaicGivesUniformColourUpToTheRawBorder) {
  for (int phase = 0; phase < 4; ++phase) {
    const CTypedImg<unsigned short> raw = RawImage(10, 8, [](int, int) { return 4321; });
    CCompositeImg<RGBType<unsigned short>> out;
    Demosaic(raw, RECT{0, 0, 10, 8}, phase, &out);  // the window touches every edge
    for (int y = 0; y < 8; ++y)
      for (int x = 0; x < 10; ++x) ASSERT_EQ(Pixel(out, x, y), (std::vector<int>{4321, 4321, 4321})) << x << "," << y;
  }
}

TEST(DngDemosaic, FlatColourPlanesAreReproducedForEveryPhase) {
  for (int phase = 0; phase < 4; ++phase) {
    SCOPED_TRACE(phase);
    const int value[3] = {1000, 2000, 3000};  // red, green, blue
    const CTypedImg<unsigned short> raw =
        RawImage(14, 12, [&](int x, int y) { return value[kLayouts[phase][(y & 1) * 2 + (x & 1)]]; });
    CCompositeImg<RGBType<unsigned short>> out;
    // The window starts at an even offset, so its phase is the raw image's, and keeps
    // two samples from the raw border.
    Demosaic(raw, RECT{2, 2, 12, 10}, phase, &out);
    for (int y = 0; y < 8; ++y)
      for (int x = 0; x < 10; ++x) ASSERT_EQ(Pixel(out, x, y), (std::vector<int>{3000, 2000, 1000})) << x << "," << y;
  }
}

// Gray images with sharp steps across one direction: the edge-directed kernels
// interpolate along the edges and so reproduce the image exactly.
TEST(DngDemosaic, StepEdgesAreInterpolatedAlongTheEdge) {
  auto profile = [](int t) { return t < 5 ? 1000 : (t < 9 ? 5000 : 2000); };
  for (int phase = 0; phase < 4; ++phase) {
    for (bool columns : {true, false}) {
      SCOPED_TRACE(testing::Message() << phase << (columns ? " vertical edges" : " horizontal edges"));
      const CTypedImg<unsigned short> raw =
          RawImage(14, 14, [&](int x, int y) { return profile(columns ? x : y); });
      CCompositeImg<RGBType<unsigned short>> out;
      Demosaic(raw, RECT{0, 0, 14, 14}, phase, &out);
      for (int y = 0; y < 14; ++y)
        for (int x = 0; x < 14; ++x) {
          const int v = profile(columns ? x : y);
          ASSERT_EQ(Pixel(out, x, y), (std::vector<int>{v, v, v})) << x << "," << y;
        }
    }
  }
}

TEST(DngDemosaic, CopiesTheRawSampleIntoItsOwnBand) {
  // A noisy mosaic: whatever is interpolated, each pixel keeps its own sample.
  unsigned seed = 12345;
  const CTypedImg<unsigned short> raw = RawImage(12, 10, [&](int, int) {
    seed = seed * 1103515245u + 12345u;
    return (seed >> 8) & 0xFFFF;
  });
  for (int phase = 0; phase < 4; ++phase) {
    CCompositeImg<RGBType<unsigned short>> out;
    Demosaic(raw, RECT{1, 1, 11, 9}, phase, &out);
    for (int y = 0; y < 8; ++y)
      for (int x = 0; x < 10; ++x) {
        const int colour = kLayouts[phase][(y & 1) * 2 + (x & 1)];
        ASSERT_EQ(Pixel(out, x, y)[2 - colour], raw.At(x + 1, y + 1)) << phase << " " << x << "," << y;
      }
  }
}

TEST(DngDemosaic, OddLastRowAndColumnStayUnfilled) {
  const CTypedImg<unsigned short> raw = RawImage(9, 7, [](int, int) { return 500; });
  CCompositeImg<RGBType<unsigned short>> out;
  Demosaic(raw, RECT{0, 0, 9, 7}, kBayerRGGB, &out, 7);
  for (int y = 0; y < 7; ++y)
    for (int x = 0; x < 9; ++x) {
      const int v = (x == 8 || y == 6) ? 7 : 500;
      ASSERT_EQ(Pixel(out, x, y), (std::vector<int>{v, v, v})) << x << "," << y;
    }
}

TEST(DngDemosaic, DoesNothingForUnfitImages) {
  const CTypedImg<unsigned short> raw = RawImage(8, 8, [](int, int) { return 500; });
  CCompositeImg<RGBType<unsigned short>> out;
  Demosaic(raw, RECT{0, 0, 8, 1}, kBayerRGGB, &out);  // one row
  EXPECT_EQ(Pixel(out, 0, 0), (std::vector<int>{7, 7, 7}));
  CCompositeImg<RGBType<unsigned short>> small;
  ASSERT_EQ(small.Create(3, 3, 3, 2, kTypeRGB16, 0), S_OK);
  const uint16_t seven = 7;
  small.Fill(&seven, nullptr, -1, true);
  DemosaicBayer(raw, RECT{0, 0, 4, 4}, kBayerRGGB, &small);  // size differs from the window
  EXPECT_EQ(Pixel(small, 0, 0), (std::vector<int>{7, 7, 7}));
  CCompositeImg<RGBType<unsigned short>> outside;
  ASSERT_EQ(outside.Create(4, 4, 3, 2, kTypeRGB16, 0), S_OK);
  outside.Fill(&seven, nullptr, -1, true);
  DemosaicBayer(raw, RECT{6, 6, 10, 10}, kBayerRGGB, &outside);  // window beyond the raw image
  EXPECT_EQ(Pixel(outside, 0, 0), (std::vector<int>{7, 7, 7}));
}

}  // namespace
}  // namespace ko
