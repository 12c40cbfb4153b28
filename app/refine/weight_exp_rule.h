// The weight's exponential over a lane type V (app/lanes/lanes.h) with a few operations more
// (weight_exp.cpp extends Avx2 and Avx512). Included inside the namespace of one width, under
// that width's processor target; no include guard.

// exp(x) for x in [-4, 0]: x = k ln 2 + r with |r| <= ln 2 / 2, exp(r) by its Taylor series
// to the 11th power (truncation below 1e-14 relative), times 2^k. The result is then rounded
// to float only where rounding it 2^-36 up and down gives the same float: the library's
// value, within a unit of the 53rd bit of the true one, lies between those two and so
// rounds to the same float as well. Below 2^-26 in magnitude, exp(x) lies above 1 - 2^-26,
// nearer to 1 than the middle (1 - 2^-25) to the float below it: the result is 1.
template <class V>
inline void WeightExpLanes(const float* q, float* out, int32_t n) {
  using D = typename V::D;
  using M = typename V::M;
  constexpr int kAll = (1 << V::kLanes) - 1;
  const D lowest = V::Set1(-4.0), zero = V::Set1(0.0);
  const D tiny = V::Set1(-1.0 / 67108864.0);  // -2^-26
  const D log2e = V::Set1(1.4426950408889634);
  const D ln2hi = V::Set1(6.93147180369123816490e-01);  // low bits zero
  const D ln2lo = V::Set1(1.90821492927058770002e-10);
  const D down = V::Set1(1.0 - 1.0 / 68719476736.0), up = V::Set1(1.0 + 1.0 / 68719476736.0);
  static constexpr double kInverseFactorial[12] = {1.0,
                                                   1.0,
                                                   1.0 / 2,
                                                   1.0 / 6,
                                                   1.0 / 24,
                                                   1.0 / 120,
                                                   1.0 / 720,
                                                   1.0 / 5040,
                                                   1.0 / 40320,
                                                   1.0 / 362880,
                                                   1.0 / 3628800,
                                                   1.0 / 39916800};
  int32_t i = 0;
  for (; i + V::kLanes <= n; i += V::kLanes) {
    const D x = V::Widen(V::LoadF(q + i));
    // Lanes in [-4, 0] (false for NaN), and those of them below -2^-26.
    const M inRange = V::And(V::NotBelow(x, lowest), V::NotAbove(x, zero));
    const M big = V::NotAbove(x, tiny);
    const D k = V::Nearest(V::Mul(x, log2e));
    const D r = V::Sub(V::Sub(x, V::Mul(k, ln2hi)), V::Mul(k, ln2lo));
    D p = V::Set1(kInverseFactorial[11]);
    for (int j = 10; j >= 0; --j) p = V::Add(V::Mul(p, r), V::Set1(kInverseFactorial[j]));
    // k lies in [-6, 0] in range; outside, the lane goes to the library.
    const D y = V::Mul(p, V::Pow2(k, inRange));
    V::StoreF(out + i, V::Narrow(y));
    const int sureLanes = V::SameFloats(V::Narrow(V::Mul(y, down)), V::Narrow(V::Mul(y, up)));
    const int inLanes = V::Bits(inRange), bigLanes = V::Bits(big);
    const int oneLanes = inLanes & ~bigLanes;
    const int libraryLanes = (~inLanes | (bigLanes & ~sureLanes)) & kAll;
    if ((oneLanes | libraryLanes) == 0) continue;
    for (int j = 0; j < V::kLanes; ++j) {
      if (oneLanes & (1 << j)) out[i + j] = 1.0f;
      else if (libraryLanes & (1 << j)) out[i + j] = ExpF(q[i + j]);
    }
  }
  WeightExpLibrary(q + i, out + i, n - i);
}

