// The arithmetic behind brevant-view's pictures: robust scaling, the orientation colour
// code, the colour-wheel legend and the montage of histogram bins. No file access here, so
// every rule can be checked on its own.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

namespace brevant::view {

// An 8-bit picture, rows packed top to bottom; channels 1 (grey) or 3 (red, green, blue).
struct Picture {
  int width = 0;
  int height = 0;
  int channels = 1;
  std::vector<uint8_t> pixels;

  uint8_t* At(int x, int y) {
    return pixels.data() + (static_cast<size_t>(y) * width + x) * channels;
  }
};

struct Rgb {
  uint8_t red, green, blue;
};

constexpr double kScalePercentile = 99.5;  // what maps to white: robust to a few hot pixels
constexpr int kHistogramBins = 36;

// The nearest-rank percentile (0 < percent <= 100) of the finite values above 0: the
// smallest such value that at least percent % of them do not exceed. Zeros are left out
// because the result planes are 0 over their borders and flat areas; 0 when no value is
// above 0.
float PositivePercentile(const float* values, size_t count, double percent);

// value / scale clamped to [0, 1], as 0..255 rounded to nearest. NaN, and any value when
// scale is not above 0, give 0; +inf gives 255.
uint8_t GreyLevel(float value, float scale);

// Fully saturated colour of `hue` (in turns; wrapped into [0, 1)) at brightness `value`
// (clamped to [0, 1]): 0 red, 1/3 green, 2/3 blue.
Rgb HueToRgb(double hue, double value);

// The hue (in turns) of an orientation angle in radians; 0 and 2π, the same direction,
// share red. Non-finite angles give hue 0.
double OrientationHue(double angle);

// The orientation angle (radians, [0, 2π)) of an edge across which the image brightens in
// the screen direction (dx, dy), y pointing down: brightening toward +x is 3π/2, toward -x
// π/2. The legend wheel shows this colour in that direction from its centre.
double WheelOrientation(double dx, double dy);

// Bins tiled in a grid, row-major (bin k at column k % columns, row k / columns), each tile
// the plane reduced by `factor` (box average) so that the montage's longer side stays
// within maxSide where possible, tiles `gap` pixels apart.
struct MontageLayout {
  int columns = 0;
  int rows = 0;
  int factor = 1;
  int tileWidth = 0;
  int tileHeight = 0;
  int gap = 0;
  int width = 0;
  int height = 0;
};
MontageLayout ComputeMontageLayout(int planeWidth, int planeHeight, int tiles, int maxSide);
// Top-left corner of tile k.
void TileOrigin(const MontageLayout& layout, int k, int* x, int* y);

// Index of the largest of `count` bin values (the first on ties), or -1 when none is a
// finite value above 0.
int DominantBin(const float* binValues, int count);

// ---- Whole pictures from planes of width × height floats, row-major.

Picture MakeGreyPicture(const float* plane, int width, int height, float scale);

// Hue from the orientation, brightness from the energy scaled by energyScale; the legend
// wheel is drawn in the bottom-right corner when the picture is large enough (see
// LegendRadius).
Picture MakeOrientationPicture(const float* orientation, const float* energy, int width, int height,
                               float energyScale);

// Radius of the legend wheel for a picture of this size; 0: too small for a legend.
int LegendRadius(int width, int height);
void DrawLegendWheel(Picture* picture);

// bins[k] is the plane of bin k. Hue of the dominant bin's angle (k × 10°), brightness from
// its value scaled by the 99.5th percentile of the per-pixel maxima (stored in *white).
// Black where no bin has a vote.
Picture MakeDominantBinPicture(const float* const* bins, int width, int height, float* white);

// Grey montage of every bin, all scaled by one common value (so tiles compare), tiles
// separated by mid-grey gaps.
Picture MakeHistogramMontage(const float* const* bins, int width, int height, const MontageLayout& layout,
                             float scale);

}  // namespace brevant::view
