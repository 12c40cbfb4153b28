// The row bodies of the fast steerable filters over the lane type L: a filter pass summed
// across pixels, and the combination of a row's responses. Included, like the rule it uses
// (steerable_rule.h), inside the namespace of one lane width; no include guard.

// out[x] = taps[0] src[0][x] + taps[1] src[1][x] + ... for x in [0, count), each term a
// TapStep from 0. Eight registers at a time: each sum is a chain of dependent steps, and
// eight of them under way together keep the processor busy.
template <class L>
inline void SumRows(const double* const* src, const double* taps, int32_t m, int32_t count, double* out) {
  constexpr int kWidth = L::kLanes;
  int32_t x = 0;
  for (; x + 8 * kWidth <= count; x += 8 * kWidth) {
    typename L::D a[8];
#pragma GCC unroll 8
    for (int j = 0; j < 8; ++j) a[j] = L::Zero();
    for (int32_t i = 0; i < m; ++i) {
      const typename L::D t = L::Set1(taps[i]);
      const double* s = src[i] + x;
#pragma GCC unroll 8
      for (int j = 0; j < 8; ++j) a[j] = TapStep<L>(a[j], t, L::Load(s + j * kWidth));
    }
#pragma GCC unroll 8
    for (int j = 0; j < 8; ++j) L::Store(out + x + j * kWidth, a[j]);
  }
  for (; x + kWidth <= count; x += kWidth) {
    typename L::D a = L::Zero();
    for (int32_t i = 0; i < m; ++i) a = TapStep<L>(a, L::Set1(taps[i]), L::Load(src[i] + x));
    L::Store(out + x, a);
  }
  for (; x < count; ++x) {
    double a = 0.0;
    for (int32_t i = 0; i < m; ++i) a = TapStep<lanes::Scalar>(a, taps[i], src[i][x]);
    out[x] = a;
  }
}

// Energy and orientation of positions [0, count) from the seven responses r[f].
template <class L>
inline void CombineRow(const double* const* r, int32_t count, float* energy, float* orientation) {
  constexpr int kWidth = L::kLanes;
  int32_t x = 0;
  for (; x + kWidth <= count; x += kWidth) {
    const typename L::D h2a = L::Load(r[3] + x), h2d = L::Load(r[6] + x);
    L::StoreF(energy + x, OrientedEnergy<L>(L::Load(r[0] + x), L::Load(r[1] + x), L::Load(r[2] + x), h2a,
                                            L::Load(r[4] + x), L::Load(r[5] + x), h2d));
    for (int j = 0; j < kWidth; ++j)
      orientation[x + j] = Orientation(static_cast<float>(L::Lane(h2a, j)), static_cast<float>(L::Lane(h2d, j)));
  }
  for (; x < count; ++x) {
    energy[x] = OrientedEnergy<lanes::Scalar>(r[0][x], r[1][x], r[2][x], r[3][x], r[4][x], r[5][x], r[6][x]);
    orientation[x] = Orientation(static_cast<float>(r[3][x]), static_cast<float>(r[6][x]));
  }
}
