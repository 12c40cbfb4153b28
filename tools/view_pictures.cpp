#include "tools/view_pictures.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace brevant::view {

namespace {

constexpr double kTwoPi = 2.0 * std::numbers::pi;

uint8_t ToByte(double unit) { return static_cast<uint8_t>(std::lround(255.0 * std::clamp(unit, 0.0, 1.0))); }

double Unit(float value, float scale) {
  if (std::isnan(value) || !(scale > 0.0f)) return 0.0;
  return static_cast<double>(value) / static_cast<double>(scale);
}

Picture NewPicture(int width, int height, int channels) {
  Picture picture;
  picture.width = width;
  picture.height = height;
  picture.channels = channels;
  picture.pixels.assign(static_cast<size_t>(width) * static_cast<size_t>(height) * channels, 0);
  return picture;
}

void PutRgb(uint8_t* pixel, Rgb colour) {
  pixel[0] = colour.red;
  pixel[1] = colour.green;
  pixel[2] = colour.blue;
}

}  // namespace

float PositivePercentile(const float* values, size_t count, double percent) {
  std::vector<float> positive;
  for (size_t i = 0; i < count; ++i)
    if (std::isfinite(values[i]) && values[i] > 0.0f) positive.push_back(values[i]);
  if (positive.empty()) return 0.0f;
  const double n = static_cast<double>(positive.size());
  size_t rank = static_cast<size_t>(std::ceil(std::clamp(percent, 0.0, 100.0) / 100.0 * n));
  rank = std::clamp<size_t>(rank, 1, positive.size());
  std::nth_element(positive.begin(), positive.begin() + (rank - 1), positive.end());
  return positive[rank - 1];
}

uint8_t GreyLevel(float value, float scale) { return ToByte(Unit(value, scale)); }

Rgb HueToRgb(double hue, double value) {
  if (!std::isfinite(hue)) hue = 0.0;
  hue -= std::floor(hue);
  const double v = std::isnan(value) ? 0.0 : std::clamp(value, 0.0, 1.0);
  const double h6 = hue * 6.0;
  const int sector = static_cast<int>(h6) % 6;  // hue < 1, but h6 may round up to 6
  const double f = h6 - std::floor(h6);
  const double rising = v * f;
  const double falling = v * (1.0 - f);
  double r = 0.0, g = 0.0, b = 0.0;
  switch (sector) {
    case 0: r = v; g = rising; break;
    case 1: r = falling; g = v; break;
    case 2: g = v; b = rising; break;
    case 3: g = falling; b = v; break;
    case 4: r = rising; b = v; break;
    default: r = v; b = falling; break;
  }
  return {ToByte(r), ToByte(g), ToByte(b)};
}

double OrientationHue(double angle) {
  if (!std::isfinite(angle)) return 0.0;
  const double turns = angle / kTwoPi;
  return turns - std::floor(turns);
}

double WheelOrientation(double dx, double dy) {
  // A step brightening toward +x has orientation 3π/2; the angle turns with the direction
  // (clockwise on screen, since y points down), a quarter turn behind it.
  double angle = std::atan2(dy, dx) - 0.5 * std::numbers::pi;
  if (angle < 0.0) angle += kTwoPi;
  if (angle >= kTwoPi) angle -= kTwoPi;
  return angle;
}

MontageLayout ComputeMontageLayout(int planeWidth, int planeHeight, int tiles, int maxSide) {
  MontageLayout layout;
  if (planeWidth <= 0 || planeHeight <= 0 || tiles <= 0) return layout;
  layout.columns = static_cast<int>(std::ceil(std::sqrt(static_cast<double>(tiles))));
  layout.rows = (tiles + layout.columns - 1) / layout.columns;
  layout.gap = 2;
  const auto side = [&](int extent, int count, int factor) {
    const int64_t tile = (static_cast<int64_t>(extent) + factor - 1) / factor;
    return tile * count + static_cast<int64_t>(count - 1) * layout.gap;
  };
  // Start near the answer: a tile side is at least extent / factor.
  const int64_t largest = std::max(planeWidth, planeHeight);
  int64_t factor = 1;
  if (maxSide > 0)
    factor = std::max<int64_t>({1, static_cast<int64_t>(planeWidth) * layout.columns / maxSide,
                                static_cast<int64_t>(planeHeight) * layout.rows / maxSide});
  factor = std::min(factor, largest);
  while (factor < largest &&
         (side(planeWidth, layout.columns, static_cast<int>(factor)) > maxSide ||
          side(planeHeight, layout.rows, static_cast<int>(factor)) > maxSide))
    ++factor;
  layout.factor = static_cast<int>(factor);
  layout.tileWidth = (planeWidth + layout.factor - 1) / layout.factor;
  layout.tileHeight = (planeHeight + layout.factor - 1) / layout.factor;
  layout.width = static_cast<int>(side(planeWidth, layout.columns, layout.factor));
  layout.height = static_cast<int>(side(planeHeight, layout.rows, layout.factor));
  return layout;
}

void TileOrigin(const MontageLayout& layout, int k, int* x, int* y) {
  *x = (k % layout.columns) * (layout.tileWidth + layout.gap);
  *y = (k / layout.columns) * (layout.tileHeight + layout.gap);
}

int DominantBin(const float* binValues, int count) {
  int best = -1;
  for (int k = 0; k < count; ++k) {
    const float v = binValues[k];
    if (!std::isfinite(v) || !(v > 0.0f)) continue;
    if (best < 0 || v > binValues[best]) best = k;
  }
  return best;
}

Picture MakeGreyPicture(const float* plane, int width, int height, float scale) {
  Picture picture = NewPicture(width, height, 1);
  const size_t count = picture.pixels.size();
  for (size_t i = 0; i < count; ++i) picture.pixels[i] = GreyLevel(plane[i], scale);
  return picture;
}

Picture MakeOrientationPicture(const float* orientation, const float* energy, int width, int height,
                               float energyScale) {
  Picture picture = NewPicture(width, height, 3);
  const size_t count = static_cast<size_t>(width) * height;
  for (size_t i = 0; i < count; ++i)
    PutRgb(&picture.pixels[3 * i], HueToRgb(OrientationHue(orientation[i]), Unit(energy[i], energyScale)));
  DrawLegendWheel(&picture);
  return picture;
}

int LegendRadius(int width, int height) {
  const int shorter = std::min(width, height);
  if (shorter < 64) return 0;  // a wheel would hide too much of a small picture
  return std::min(40, shorter / 8);
}

void DrawLegendWheel(Picture* picture) {
  const int radius = LegendRadius(picture->width, picture->height);
  if (radius == 0 || picture->channels != 3) return;
  const int margin = 3;
  const int box = 2 * (radius + margin) + 1;
  const int left = picture->width - box - margin;
  const int top = picture->height - box - margin;
  const double centreX = left + box / 2;
  const double centreY = top + box / 2;
  for (int y = top; y < top + box; ++y) {
    for (int x = left; x < left + box; ++x) {
      const double dx = x - centreX;
      const double dy = y - centreY;
      const double distance = std::sqrt(dx * dx + dy * dy);
      Rgb colour{40, 40, 40};  // a dark backing square sets the wheel apart from the picture
      if (distance <= radius && distance >= 0.25 * radius)
        colour = HueToRgb(OrientationHue(WheelOrientation(dx, dy)), 1.0);
      PutRgb(picture->At(x, y), colour);
    }
  }
}

Picture MakeDominantBinPicture(const float* const* bins, int width, int height, float* white) {
  const size_t count = static_cast<size_t>(width) * height;
  std::vector<int> dominant(count);
  std::vector<float> strength(count, 0.0f);
  float binValues[kHistogramBins];
  for (size_t i = 0; i < count; ++i) {
    for (int k = 0; k < kHistogramBins; ++k) binValues[k] = bins[k][i];
    dominant[i] = DominantBin(binValues, kHistogramBins);
    if (dominant[i] >= 0) strength[i] = binValues[dominant[i]];
  }
  const float scale = PositivePercentile(strength.data(), count, kScalePercentile);
  *white = scale;
  Picture picture = NewPicture(width, height, 3);
  for (size_t i = 0; i < count; ++i) {
    if (dominant[i] < 0) continue;
    const double hue = static_cast<double>(dominant[i]) / kHistogramBins;
    PutRgb(&picture.pixels[3 * i], HueToRgb(hue, Unit(strength[i], scale)));
  }
  DrawLegendWheel(&picture);
  return picture;
}

Picture MakeHistogramMontage(const float* const* bins, int width, int height, const MontageLayout& layout,
                             float scale) {
  Picture picture = NewPicture(layout.width, layout.height, 1);
  std::fill(picture.pixels.begin(), picture.pixels.end(), uint8_t{96});
  const int f = layout.factor;
  for (int k = 0; k < kHistogramBins && k < layout.columns * layout.rows; ++k) {
    int originX = 0, originY = 0;
    TileOrigin(layout, k, &originX, &originY);
    for (int ty = 0; ty < layout.tileHeight; ++ty) {
      const int y0 = ty * f;
      const int y1 = std::min(height, y0 + f);
      for (int tx = 0; tx < layout.tileWidth; ++tx) {
        const int x0 = tx * f;
        const int x1 = std::min(width, x0 + f);
        double sum = 0.0;
        for (int y = y0; y < y1; ++y)
          for (int x = x0; x < x1; ++x) sum += bins[k][static_cast<size_t>(y) * width + x];
        const double mean = sum / (static_cast<double>(y1 - y0) * (x1 - x0));
        *picture.At(originX + tx, originY + ty) = GreyLevel(static_cast<float>(mean), scale);
      }
    }
  }
  return picture;
}

}  // namespace brevant::view
