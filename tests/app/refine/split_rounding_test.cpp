// The cheaper rounding of tame sums: the split gives a conversion's bits on every value it
// may meet, ties above all, and the histograms' row kernel with it gives the scalar form's
// bits and the least exponent of what it writes.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "app/lanes/lanes.h"
#include "app/pipeline_test_util.h"
#include "app/refine/refine_lanes.h"
#include "app/refine/refine_rule.h"
#include "ko/platform/cpu_features.h"

namespace brevant {
namespace {

#if defined(BREVANT_X86)
__attribute__((target("avx2"))) void RoundTameAvx2(const std::vector<double>& in, std::vector<double>* out) {
  for (size_t i = 0; i + 4 <= in.size(); i += 4)
    lanes::Avx2::Store(out->data() + i, lanes::Avx2::RoundTame(lanes::Avx2::Load(in.data() + i)));
}
__attribute__((target("avx2,avx512f,avx512vl,avx512dq"))) void RoundTameAvx512(const std::vector<double>& in,
                                                                                std::vector<double>* out) {
  for (size_t i = 0; i + 8 <= in.size(); i += 8)
    lanes::Avx512::Store(out->data() + i, lanes::Avx512::RoundTame(lanes::Avx512::Load(in.data() + i)));
}

TEST(SplitRoundingTest, GivesTheConversionsBitsFromTheLeastNormalFloatUp) {
  if (!ko::GetHardwareCpuFeatures().avx2) GTEST_SKIP() << "no AVX2 here";
  // Floats of every exponent the sums can reach, with doubles just at, around and between
  // the midpoints to their neighbours.
  std::mt19937_64 rng(9);
  std::vector<double> in = {0.0, -0.0, std::nan(""), 0x1p-126, 0x1p127, 0x1.fffffe8p127};
  for (int i = 0; i < 400000; ++i) {
    const int exponent = -126 + static_cast<int>(rng() % 254);
    const double f = std::ldexp(1.0 + static_cast<double>(rng() % (1u << 23)) * 0x1p-23, exponent);
    const double ulp = std::ldexp(1.0, exponent - 23);
    const double low = std::ldexp(static_cast<double>(rng() % (1u << 29)), exponent - 52);
    const double candidates[] = {f + ulp / 2, f - ulp / 4, f + ulp / 2 - ulp * 0x1p-29, f + ulp / 2 + ulp * 0x1p-29,
                                 f + low};
    in.push_back((i & 1 ? -1.0 : 1.0) * candidates[i % 5]);
  }
  while (in.size() % 8) in.push_back(1.0);
  const bool wide = ko::GetHardwareCpuFeatures().avx512;
  for (int form = 0; form < (wide ? 2 : 1); ++form) {
    std::vector<double> out(in.size());
    if (form == 0) RoundTameAvx2(in, &out);
    else RoundTameAvx512(in, &out);
    int mismatches = 0;
    for (size_t i = 0; i < in.size(); ++i) {
      const double expected = static_cast<float>(in[i]);
      if (std::memcmp(&expected, &out[i], sizeof expected) == 0) continue;
      if (++mismatches <= 5) ADD_FAILURE() << std::hexfloat << in[i] << " gives " << out[i] << ", not " << expected;
    }
    EXPECT_EQ(mismatches, 0) << (form ? "avx512" : "avx2");
  }
}
#endif

// Rows of a strip whose records span the tame range (zeros, NaN, values from 2^-70 up), and
// samples whose weights and fractions make exact products and so many ties.
struct SKernelCase {
  static constexpr int32_t kWidth = 40;
  std::vector<float> energy, bins;
  std::vector<SBinSample> samples;
  const float* energyRows[kRecordRows];
  const float* binRows[kRecordRows];
  SStencilRow stencils{};

  explicit SKernelCase(uint32_t seed, float least) {
    std::mt19937 rng(seed);
    const size_t binRow = static_cast<size_t>(kWidth) * kBinRecord;
    bins.resize(kRecordRows * binRow);
    energy.resize(kRecordRows * 2 * kWidth, 1.0f);
    for (float& v : bins) {
      const uint32_t pick = rng() % 8;
      const float mantissa = 1.0f + static_cast<float>(rng() % 4096) / 4096.0f;
      v = pick == 0 ? 0.0f : pick == 1 && rng() % 50 == 0 ? std::nanf("") : std::ldexp(mantissa, -static_cast<int>(rng() % 60));
    }
    bins[7] = least;
    for (int d = 0; d < kRecordRows; ++d) {
      binRows[d] = bins.data() + d * binRow;
      energyRows[d] = energy.data() + d * 2 * kWidth;
    }
    const float weights[] = {1.0f, 0.5f, 0.25f, 0.75f, 0.0625f, 0.9f, 0.02f};
    const float fractions[] = {0.0f, 0.5f, 0.25f, 0.75f, 0x1p-24f, 0.3f};
    samples.resize(2 * kWidth);
    for (SBinSample& b : samples) {
      for (float& w : b.weight) w = weights[rng() % 7];
      b.fx = fractions[rng() % 6];
      b.fy = fractions[rng() % 6];
      const int column = static_cast<int>(rng() % 4) - 2;
      for (int i = 0; i < 4; ++i) b.half[i] = static_cast<int8_t>(2 * (column + (i & 1)) + static_cast<int>(rng() % 2));
      b.dy = static_cast<int8_t>(static_cast<int>(rng() % 4) - 2);
      b.flags = kStencilValid;
      b.tameExponent = static_cast<int8_t>(support::TameSampleExponent(b.weight, b.fx, b.fy));
    }
    stencils.binSample[0] = samples.data();
    stencils.binSample[1] = samples.data() + kWidth;
  }

  // The bins of columns 3 .. kWidth - 3 and the least exponent the kernel gives them.
  std::vector<float> Run(const SRefineLanes& lanes, int32_t threshold, int32_t* least) const {
    std::vector<float> energyOut(2 * kWidth), binOut(static_cast<size_t>(kWidth) * kBinRecord);
    *least = lanes.samplesRow(stencils, energyRows, binRows, 3, kWidth - 3, threshold, energyOut.data(), binOut.data());
    return binOut;
  }
};

TEST(SplitRoundingTest, RowKernelGivesTheScalarBitsAndTheLeastExponent) {
  const SRefineLanes scalar = RefineLanesFor(test::LaneForms().back().features);
  for (uint32_t seed = 1; seed <= 40; ++seed) {
    // The least record decides the rows' exponent: at the bound, or so small that a sample
    // of many terms needs the conversions.
    const float least = seed % 3 == 0 ? 0x1p-100f : 0x1p-60f;
    const SKernelCase c(seed, least);
    const int32_t threshold = support::TameThreshold(std::ilogb(least));
    int32_t ignored = 0;
    const std::vector<float> expected = c.Run(scalar, support::kTameNever, &ignored);
    // The least positive value's exponent (NaN aside).
    int32_t written = support::kTameNothing;
    for (size_t i = 3 * kBinRecord; i < expected.size() - 3 * kBinRecord; ++i)
      if (expected[i] > 0.0f) written = std::min(written, std::max(std::ilogb(expected[i]), support::kTameLeast));
    for (const test::SLaneForm& form : test::LaneForms()) {
      int32_t got = 0;
      const std::vector<float> bins = c.Run(RefineLanesFor(form.features), threshold, &got);
      ASSERT_EQ(std::memcmp(bins.data(), expected.data(), bins.size() * sizeof(float)), 0)
          << form.name << " seed " << seed;
      if (got != support::kTameNever) {
        EXPECT_EQ(got, written) << form.name << " seed " << seed;
      }
    }
  }
}

TEST(SplitRoundingTest, SamplesAndRowsOutsideTheBoundsAreNeverTame) {
  const float nan = std::nanf("");
  const float plain[4] = {1.0f, 0.5f, 0.25f, 0.02f};
  EXPECT_GT(support::TameSampleExponent(plain, 0.5f, 0.25f), -20);
  // A neighbour that counts must weigh at most 1 and not be NaN; one whose bilinear weight
  // is 0 does not count.
  const float heavy[4] = {1.0f, 1.5f, 1.0f, 1.0f};
  const float unknown[4] = {1.0f, nan, 1.0f, 1.0f};
  EXPECT_EQ(support::TameSampleExponent(heavy, 0.5f, 0.5f), support::kTameNever);
  EXPECT_EQ(support::TameSampleExponent(unknown, 0.5f, 0.5f), support::kTameNever);
  EXPECT_NE(support::TameSampleExponent(heavy, 0.0f, 0.5f), support::kTameNever);
  // Rows: negative, infinite, too large or subnormal values allow no sample, not even the
  // best; zeros of either sign set no bound.
  const float ones[4] = {1.0f, 1.0f, 1.0f, 1.0f};
  const int32_t best = support::TameSampleExponent(ones, 0.0f, 0.0f);
  const auto exponent = [](std::initializer_list<float> values) {
    support::SRecordScan scan;
    for (float v : values) scan.Add(v);
    return scan.Exponent();
  };
  for (float v : {-1.0f, INFINITY, 0x1p122f, 1e-40f})
    EXPECT_GT(support::TameThreshold(exponent({1.0f, v, 0.0f})), best) << v;
  EXPECT_EQ(exponent({0.0f, -0.0f}), support::kTameNothing);
  EXPECT_EQ(exponent({0.0f, 0x1.8p-100f, 3.0f}), -100);
}

}  // namespace
}  // namespace brevant
