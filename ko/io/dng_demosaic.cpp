#include "ko/io/dng_demosaic.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace ko {

namespace {

// The 6 x 6 raw samples around one 2 x 2 quad: rows and columns -2 .. 3 from the quad's
// top-left pixel.
struct Hood {
  int32_t s[6][6];
  // Sample a rows below and b columns right of quad pixel (r, c).
  int32_t operator()(int r, int c, int a, int b) const { return s[r + 2 + a][c + 2 + b]; }
};

int32_t Clamp16(int32_t v) { return v < 0 ? 0 : (v > 65535 ? 65535 : v); }

// Direction class: 0 interpolate along the row, 1 along the column, 2 no preference,
// 3 strong gradients both ways.
int DirectionClass(const Hood& h, int r, int c, int32_t t) {
  const int32_t p = h(r, c, 0, 0);
  const int32_t v = std::abs(2 * p - h(r, c, -2, 0) - h(r, c, 2, 0));
  const int32_t hz = std::abs(2 * p - h(r, c, 0, -2) - h(r, c, 0, 2));
  if (v >= 2 * t && hz >= 2 * t) return 3;
  if (v - hz >= t) return 0;
  if (hz - v >= t) return 1;
  return 2;
}

int32_t Diagonals(const Hood& h, int r, int c) {
  return h(r, c, -1, -1) + h(r, c, -1, 1) + h(r, c, 1, -1) + h(r, c, 1, 1);
}

// Green at a red or blue pixel.
int32_t GreenAtColour(const Hood& h, int r, int c, int k) {
  auto P = [&](int a, int b) { return h(r, c, a, b); };
  if (k == 0) return (2 * (P(0, -1) + P(0, 0) + P(0, 1)) - P(0, -2) - P(0, 2) + 2) >> 2;
  if (k == 1) return (2 * (P(-1, 0) + P(0, 0) + P(1, 0)) - P(-2, 0) - P(2, 0) + 2) >> 2;
  int32_t l = 4 * P(0, 0) - P(-2, 0) - P(2, 0) - P(0, -2) - P(0, 2);
  if (k == 3) l = (l + 2) >> 2;
  return (l + 2 * (P(-1, 0) + P(1, 0) + P(0, -1) + P(0, 1)) + 4) >> 3;
}

// At a green pixel, the colour of its neighbours along the row.
int32_t RowColourAtGreen(const Hood& h, int r, int c, int k) {
  auto P = [&](int a, int b) { return h(r, c, a, b); };
  const int32_t sd = Diagonals(h, r, c);
  if (k == 0) return (2 * (P(0, -1) + P(0, 0) + P(0, 1)) - P(0, -2) - P(0, 2) + 2) >> 2;
  if (k == 1)
    return (P(-2, -1) + P(-2, 1) + P(2, -1) + P(2, 1) + 2 * (4 * P(0, 0) + P(0, -1) + P(0, 1) - sd) + 4) >> 3;
  int32_t n = ((P(-2, 0) + P(2, 0)) >> 1) + 5 * P(0, 0) - sd - P(0, -2) - P(0, 2);
  if (k == 3) n = (n + 1) >> 1;
  return (n + 4 * (P(0, -1) + P(0, 1)) + 4) >> 3;
}

// At a green pixel, the colour of its neighbours along the column.
int32_t ColumnColourAtGreen(const Hood& h, int r, int c, int k) {
  auto P = [&](int a, int b) { return h(r, c, a, b); };
  const int32_t sd = Diagonals(h, r, c);
  if (k == 0)
    return (P(-1, -2) + P(-1, 2) + P(1, -2) + P(1, 2) + 2 * (4 * P(0, 0) + P(-1, 0) + P(1, 0) - sd) + 4) >> 3;
  if (k == 1) return (2 * (P(-1, 0) + P(0, 0) + P(1, 0)) - P(-2, 0) - P(2, 0) + 2) >> 2;
  int32_t n = ((P(0, -2) + P(0, 2)) >> 1) + 5 * P(0, 0) - sd - P(-2, 0) - P(2, 0);
  if (k == 3) n = (n + 1) >> 1;
  return (n + 4 * (P(-1, 0) + P(1, 0)) + 4) >> 3;
}

// At a red pixel blue, at a blue pixel red.
int32_t OppositeAtColour(const Hood& h, int r, int c, int k) {
  auto P = [&](int a, int b) { return h(r, c, a, b); };
  const int32_t sd = Diagonals(h, r, c);
  if (k == 0)
    return (2 * (2 * P(0, -1) + 2 * P(0, 1) + sd - P(-1, 0) - P(1, 0) + 2) - P(-1, -2) - P(-1, 2) - P(1, -2) -
            P(1, 2)) >> 3;
  if (k == 1)
    return (2 * (2 * P(-1, 0) + 2 * P(1, 0) + sd - P(0, -1) - P(0, 1) + 2) - P(-2, -1) - P(-2, 1) - P(2, -1) -
            P(2, 1)) >> 3;
  int32_t u = 3 * (4 * P(0, 0) - P(-2, 0) - P(2, 0) - P(0, -2) - P(0, 2));
  if (k == 3) u = (u + 2) >> 2;
  return (u + 4 * sd + 8) >> 4;
}

// Thresholds of the direction test: the integer part of
// (2^16 - 1) x 0.01 x fraction + 0.5, with the fraction 0.0125 for both kinds of pixel.
constexpr double kThresholdFraction = 0.0125;
const int32_t kThresholdGreen = static_cast<int32_t>(65535.0 * 0.01 * kThresholdFraction + 0.5);
const int32_t kThresholdColour = static_cast<int32_t>(65535.0 * 0.01 * kThresholdFraction + 0.5);

constexpr int kBandBlue = 0, kBandGreen = 1, kBandRed = 2;

void Put(CImg* out, int32_t x, int32_t y, int band, int32_t value) {
  const uint16_t v = static_cast<uint16_t>(value);
  std::memcpy(out->BandPtr(x, y, band), &v, 2);
}

}  // namespace

int32_t DngBayerPhaseOf(const uint8_t pattern[4], int64_t dx, int64_t dy) {
  const int row = (dy & 1) ? 1 : 0;
  uint8_t first = pattern[2 * row], second = pattern[2 * row + 1];
  if (dx & 1) std::swap(first, second);
  if (first == 0) return kBayerRGGB;
  if (first == 2) return kBayerBGGR;
  if (first == 1 && second == 0) return kBayerGRBG;
  if (first == 1 && second == 2) return kBayerGBRG;
  return -1;
}

void DemosaicBayer(const CTypedImg<unsigned short>& raw, const RECT& window, int32_t phase, CImg* out) {
  const int32_t w = window.right - window.left, h = window.bottom - window.top;
  if (!out || !out->HasMemory() || !raw.HasMemory()) return;
  if (out->width != w || out->height != h || out->elementSize != 2) return;
  if (out->bands != 3 && out->bands != 4) return;
  if (h < 2 || w < 1) return;
  if (window.left < 0 || window.top < 0 || window.right > raw.width || window.bottom > raw.height) return;
  if (phase < 0 || phase > 3) phase = kBayerRGGB;

  // Where the quad's pixels are: X is the red or blue pixel of the upper row, Y that of
  // the lower row; the greens are Gu (upper) and Gl (lower).
  const int xc = (phase == kBayerRGGB || phase == kBayerBGGR) ? 0 : 1;
  const int xBand = (phase == kBayerRGGB || phase == kBayerGRBG) ? kBandRed : kBandBlue;
  const int yBand = kBandRed + kBandBlue - xBand;
  const int yc = 1 - xc;  // Y's column; Gu shares it, Gl shares X's

  const int32_t lastRow = raw.height - 1, lastCol = raw.width - 1;
  Hood hood;
  for (int32_t i = 0; i + 1 < h; i += 2) {
    const int32_t y = window.top + i;
    for (int32_t j = 0; j + 1 < w; j += 2) {
      const int32_t x = window.left + j;
      if (y >= 2 && y + 3 <= lastRow && x >= 2 && x + 3 <= lastCol) {
        for (int a = 0; a < 6; ++a) {
          const unsigned short* row = raw.Row(y - 2 + a) + (x - 2);
          for (int b = 0; b < 6; ++b) hood.s[a][b] = row[b];
        }
      } else {
        // Near the raw image's border: the nearest raw row and column stand in.
        for (int a = 0; a < 6; ++a) {
          const int32_t yy = std::clamp(y - 2 + a, 0, lastRow);
          const unsigned short* row = raw.Row(yy);
          for (int b = 0; b < 6; ++b) hood.s[a][b] = row[std::clamp(x - 2 + b, 0, lastCol)];
        }
      }
      const int kx = DirectionClass(hood, 0, xc, kThresholdColour);
      const int ky = DirectionClass(hood, 1, yc, kThresholdColour);
      const int ku = DirectionClass(hood, 0, yc, kThresholdGreen);
      const int kl = DirectionClass(hood, 1, xc, kThresholdGreen);

      // X: its own colour, green, and Y's colour.
      Put(out, j + xc, i, xBand, hood(0, xc, 0, 0));
      Put(out, j + xc, i, kBandGreen, Clamp16(GreenAtColour(hood, 0, xc, kx)));
      Put(out, j + xc, i, yBand, Clamp16(OppositeAtColour(hood, 0, xc, kx)));
      // Y.
      Put(out, j + yc, i + 1, yBand, hood(1, yc, 0, 0));
      Put(out, j + yc, i + 1, kBandGreen, Clamp16(GreenAtColour(hood, 1, yc, ky)));
      Put(out, j + yc, i + 1, xBand, Clamp16(OppositeAtColour(hood, 1, yc, ky)));
      // Gu: X beside it along the row, Y below it along the column.
      Put(out, j + yc, i, kBandGreen, hood(0, yc, 0, 0));
      Put(out, j + yc, i, xBand, Clamp16(RowColourAtGreen(hood, 0, yc, ku)));
      Put(out, j + yc, i, yBand, Clamp16(ColumnColourAtGreen(hood, 0, yc, ku)));
      // Gl: Y beside it along the row, X above it along the column.
      Put(out, j + xc, i + 1, kBandGreen, hood(1, xc, 0, 0));
      Put(out, j + xc, i + 1, yBand, Clamp16(RowColourAtGreen(hood, 1, xc, kl)));
      Put(out, j + xc, i + 1, xBand, Clamp16(ColumnColourAtGreen(hood, 1, xc, kl)));
    }
  }
}

}  // namespace ko
