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

template <class L, class T>
inline void SamplesRow(const SStencilRow& st, const float* const* energyRows, const float* const* binRows, int32_t x0,
                       int32_t x1, float* energyOut, float* binOut) {
  constexpr int kBins = 36;
  for (int32_t x = x0; x < x1; ++x) {
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
        energyOut[2 * x + s] = std::numeric_limits<float>::quiet_NaN();
        for (int k = 0; k < kBins; ++k) o[k] = std::numeric_limits<float>::quiet_NaN();
        continue;
      }
      double c[4];
      BilinearWeights(b.fx, b.fy, c);
      // The rows shifted to the pixel's own record, so that a half counts from there.
      const intptr_t own = 2 * static_cast<intptr_t>(x);
      const float* top = energyRows[b.dy + 2] + own;
      const float* bottom = energyRows[b.dy + 3] + own;
      const float energy[4] = {top[b.half[0]], top[b.half[1]], bottom[b.half[2]], bottom[b.half[3]]};
      energyOut[2 * x + s] = Support<lanes::Scalar>(b.weight, energy, c);
      const float* binTop = binRows[b.dy + 2] + own * kBinHalf;
      const float* binBottom = binRows[b.dy + 3] + own * kBinHalf;
      const float* const records[4] = {binTop + b.half[0] * kBinHalf, binTop + b.half[1] * kBinHalf,
                                       binBottom + b.half[2] * kBinHalf, binBottom + b.half[3] * kBinHalf};
      BinsSample<L, T>(b.weight, c, records, o);
    }
  }
}
