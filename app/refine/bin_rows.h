// The row body of the fast refinement with histograms, over the lane type L: both records of
// every sample of a row from its 32-byte SBinSample. Included, with the rule it uses
// (support_rule.h), inside the namespace of one lane width; no include guard.

// The 36 bins of one sample from its four neighbours' records (36 floats each) in registers
// of L, and of T for the bins left over (36 = 4 x 8 + 4 at eight lanes). Every register's
// term of a neighbour comes before the next neighbour's, so that the registers' sums run
// side by side.
template <class L, class T>
inline void BinsSample(const float weight[4], const double bilinear[4], const float* const record[4], float* out) {
  constexpr int kBins = 36;
  constexpr int kWide = kBins / L::kLanes;
  constexpr int kTail = kBins - kWide * L::kLanes;
  static_assert(kTail == 0 || kTail == T::kLanes, "the bins left over fill one register of T");
  typename L::D sum[kWide];
  typename T::D tail = T::Zero();
#pragma GCC unroll 4
  for (int i = 0; i < 4; ++i) {
    const typename L::F w = L::Set1F(weight[i]);
    const typename L::D c = L::Set1(bilinear[i]);
#pragma GCC unroll 18
    for (int g = 0; g < kWide; ++g) {
      const typename L::D term = SupportTerm<L>(w, L::LoadF(record[i] + g * L::kLanes), c);
      if (i == 0) sum[g] = SupportFirst<L>(term);
      else if (i < 3) sum[g] = SupportNext<L>(sum[g], term);
      else L::StoreF(out + g * L::kLanes, SupportLast<L>(sum[g], term));
    }
    if constexpr (kTail > 0) {
      const typename T::D term =
          SupportTerm<T>(T::Set1F(weight[i]), T::LoadF(record[i] + kWide * L::kLanes), T::Set1(bilinear[i]));
      if (i == 0) tail = SupportFirst<T>(term);
      else if (i < 3) tail = SupportNext<T>(tail, term);
      else T::StoreF(out + kWide * L::kLanes, SupportLast<T>(tail, term));
    }
  }
}

// Pixels whose right neighbours' records are fetched ahead of their use: the left ones were
// mostly the right ones of the pixel before.
constexpr int32_t kFetchAhead = 4;

#if defined(BREVANT_X86)
// The energy of eight pixels' samples at once, for lane widths of four and more: a sample's
// energy alone is a long chain of scalar steps that held up the bins around it.

// The SBinSample of eight pixels turned into eight registers of one field each: the four
// weights, fx, fy, the four halves (a byte each) and dy and the flags (bytes 0 and 1).
template <class L>
inline void SampleFields8(const SBinSample* b, __m256 field[8]) {
  __m256 r[8], t[8], u[8];
#pragma GCC unroll 8
  for (int j = 0; j < 8; ++j) r[j] = _mm256_loadu_ps(reinterpret_cast<const float*>(b + j));
#pragma GCC unroll 8
  for (int j = 0; j < 8; j += 2) {
    t[j] = _mm256_unpacklo_ps(r[j], r[j + 1]);
    t[j + 1] = _mm256_unpackhi_ps(r[j], r[j + 1]);
  }
#pragma GCC unroll 8
  for (int j = 0; j < 8; j += 4) {
    u[j] = _mm256_shuffle_ps(t[j], t[j + 2], 0x44);
    u[j + 1] = _mm256_shuffle_ps(t[j], t[j + 2], 0xEE);
    u[j + 2] = _mm256_shuffle_ps(t[j + 1], t[j + 3], 0x44);
    u[j + 3] = _mm256_shuffle_ps(t[j + 1], t[j + 3], 0xEE);
  }
#pragma GCC unroll 8
  for (int k = 0; k < 4; ++k) {
    field[k] = _mm256_permute2f128_ps(u[k], u[k + 4], 0x20);
    field[k + 4] = _mm256_permute2f128_ps(u[k], u[k + 4], 0x31);
  }
}

// Lanes 4 p .. 4 p + 3 (or all eight) of v as one register of F.
template <class L>
inline typename L::F Part8(__m256 v, int p) {
  if constexpr (L::kLanes == 8) {
    (void)p;
    return v;
  } else {
    static_assert(L::kLanes == 4, "eight samples fill one or two registers");
    return p == 0 ? _mm256_castps256_ps128(v) : _mm256_extractf128_ps(v, 1);
  }
}

// The energies of sample s of pixels x .. x + 7 (NaN where a sample lies outside), from
// rows[d] shifted to pixel x's own record. The neighbours' records are loaded one by one:
// this processor's gathers cost more than the scalar steps they would replace.
// Every loop here is unrolled: left rolled (as GCC does at -O2), the fields and records went
// through the stack and the energy took twice the time.
template <class L>
inline __m256 Energy8(const SBinSample* b, const float* const* rows) {
  __m256 field[8];
  SampleFields8<L>(b, field);
  alignas(32) float records[4][8];
#pragma GCC unroll 8
  for (int j = 0; j < 8; ++j) {
    const float* top = rows[b[j].dy + 2] + 2 * j;
    const float* bottom = rows[b[j].dy + 3] + 2 * j;
    records[0][j] = top[b[j].half[0]];
    records[1][j] = top[b[j].half[1]];
    records[2][j] = bottom[b[j].half[2]];
    records[3][j] = bottom[b[j].half[3]];
  }
  alignas(32) float energy[8];
#pragma GCC unroll 8
  for (int p = 0; p < 8 / L::kLanes; ++p) {
    const typename L::D fx = L::Widen(Part8<L>(field[4], p)), fy = L::Widen(Part8<L>(field[5], p));
    typename L::F weight[4], record[4];
    typename L::D c[4];
#pragma GCC unroll 8
    for (int i = 0; i < 4; ++i) {
      weight[i] = Part8<L>(field[i], p);
      record[i] = L::LoadF(records[i] + p * L::kLanes);
      c[i] = Bilinear<L>(fx, fy, i);
    }
    L::StoreF(energy + p * L::kLanes, Support<L>(weight, record, c));
  }
  const __m256i flags = _mm256_srli_epi32(_mm256_castps_si256(field[7]), 8);
  const __m256i valid = _mm256_and_si256(flags, _mm256_set1_epi32(kStencilValid));
  const __m256 outside = _mm256_castsi256_ps(_mm256_cmpeq_epi32(valid, _mm256_setzero_si256()));
  return _mm256_blendv_ps(_mm256_load_ps(energy), _mm256_set1_ps(std::numeric_limits<float>::quiet_NaN()), outside);
}
#endif

// Both records of pixel x; its energy too with `withEnergy`.
template <class L, class T>
inline void SamplesPixel(const SStencilRow& st, const float* const* energyRows, const float* const* binRows, int32_t x,
                         int32_t x1, bool withEnergy, float* energyOut, float* binOut) {
  constexpr int kBins = 36;
#if defined(BREVANT_X86)
  const int32_t ahead = x + kFetchAhead;
  if (ahead < x1) {
    for (int s = 0; s < 2; ++s) {
      const SBinSample& b = st.binSample[s][ahead];
      const intptr_t own = 2 * static_cast<intptr_t>(ahead);
      const char* right[2] = {reinterpret_cast<const char*>(binRows[b.dy + 2] + (own + b.half[1]) * kBinHalf),
                              reinterpret_cast<const char*>(binRows[b.dy + 3] + (own + b.half[3]) * kBinHalf)};
      for (const char* n : right) {
        _mm_prefetch(n, _MM_HINT_T0);
        _mm_prefetch(n + 64, _MM_HINT_T0);
        _mm_prefetch(n + 128, _MM_HINT_T0);
      }
    }
  }
#endif
  for (int s = 0; s < 2; ++s) {
    const SBinSample& b = st.binSample[s][x];
    float* o = binOut + static_cast<intptr_t>(x) * kBinRecord + s * kBinHalf;
    if (!b.flags) {
      // A point outside the image (a non-finite orientation).
      if (withEnergy) energyOut[2 * x + s] = std::numeric_limits<float>::quiet_NaN();
      for (int k = 0; k < kBins; ++k) o[k] = std::numeric_limits<float>::quiet_NaN();
      continue;
    }
    double c[4];
    BilinearWeights(b.fx, b.fy, c);
    // The rows shifted to the pixel's own record, so that a half counts from there.
    const intptr_t own = 2 * static_cast<intptr_t>(x);
    if (withEnergy) {
      const float* top = energyRows[b.dy + 2] + own;
      const float* bottom = energyRows[b.dy + 3] + own;
      const float energy[4] = {top[b.half[0]], top[b.half[1]], bottom[b.half[2]], bottom[b.half[3]]};
      energyOut[2 * x + s] = Support<lanes::Scalar>(b.weight, energy, c);
    }
    const float* binTop = binRows[b.dy + 2] + own * kBinHalf;
    const float* binBottom = binRows[b.dy + 3] + own * kBinHalf;
    const float* const records[4] = {binTop + b.half[0] * kBinHalf, binTop + b.half[1] * kBinHalf,
                                     binBottom + b.half[2] * kBinHalf, binBottom + b.half[3] * kBinHalf};
    BinsSample<L, T>(b.weight, c, records, o);
  }
}

template <class L, class T>
inline void SamplesRow(const SStencilRow& st, const float* const* energyRows, const float* const* binRows, int32_t x0,
                       int32_t x1, float* energyOut, float* binOut) {
  int32_t x = x0;
#if defined(BREVANT_X86)
  if constexpr (L::kLanes >= 4) {
    for (; x + 8 <= x1; x += 8) {
      const float* rows[5];
      for (int d = 0; d < 5; ++d) rows[d] = energyRows[d] + 2 * static_cast<intptr_t>(x);
      const __m256 forward = Energy8<L>(st.binSample[0] + x, rows);
      const __m256 backward = Energy8<L>(st.binSample[1] + x, rows);
      // Into the records' order: forward, backward of each pixel.
      const __m256 lo = _mm256_unpacklo_ps(forward, backward), hi = _mm256_unpackhi_ps(forward, backward);
      _mm256_storeu_ps(energyOut + 2 * x, _mm256_permute2f128_ps(lo, hi, 0x20));
      _mm256_storeu_ps(energyOut + 2 * x + 8, _mm256_permute2f128_ps(lo, hi, 0x31));
      for (int32_t j = 0; j < 8; ++j) SamplesPixel<L, T>(st, energyRows, binRows, x + j, x1, false, energyOut, binOut);
    }
  }
#endif
  for (; x < x1; ++x) SamplesPixel<L, T>(st, energyRows, binRows, x, x1, true, energyOut, binOut);
}
