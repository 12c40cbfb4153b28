// The arithmetic of the local contrast normalisation, for every lane width: change the
// normalisation here and every form follows. Included inside the namespace of one lane
// width, under that width's processor target (app/lanes/lanes.h); no include guard.

// max(0, 150 (b - mean) / max(10, deviation)) of one pixel from its energy b and the local
// means of b and b^2: var = mean2 - mean^2 in double, floored at 100 and rounded to float,
// its float square root the deviation, the quotient rounded to float. The comparisons are
// "not below", so that a NaN variance or result is kept rather than replaced.
template <class L>
inline typename L::F NormalizedEnergy(typename L::F b, typename L::F mean, typename L::F meanSquare) {
  const typename L::D m = L::Widen(mean);
  const typename L::D variance = L::Sub(L::Widen(meanSquare), L::Mul(m, m));
  const typename L::D v = L::RoundToFloat(L::SelectNotBelow(variance, L::Set1(100.0)));
  const typename L::D deviation = L::RoundToFloat(L::Sqrt(v));
  const typename L::F z = L::Narrow(L::Mul(L::Div(L::Sub(L::Widen(b), m), deviation), L::Set1(150.0)));
  return L::ZeroBelowZero(z);
}

// One row of it: out[x] for x in [0, count), a register at a time, the rest one by one.
template <class L>
inline void NormalizeRow(const float* b, const float* mean, const float* meanSquare, int32_t count, float* out) {
  int32_t x = 0;
  for (; x + L::kLanes <= count; x += L::kLanes)
    L::StoreF(out + x, NormalizedEnergy<L>(L::LoadF(b + x), L::LoadF(mean + x), L::LoadF(meanSquare + x)));
  for (; x < count; ++x) out[x] = NormalizedEnergy<lanes::Scalar>(b[x], mean[x], meanSquare[x]);
}
