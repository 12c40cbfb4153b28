// The arithmetic of one oriented sample of the refinement, for every lane width: change how
// a sample sums its neighbours here and every form follows. Included inside the namespace
// of one lane width, under that width's processor target (app/lanes/lanes.h); no include
// guard.
//
// A sample reads its four neighbours p00, p10, p01, p11. Each neighbour gives a record: its
// source value plus its forward or backward support of the pass before, a float sum. The
// sample's support is the sum of record x orientation weight (rounded to float) x bilinear
// weight (in double) over the four, the running sum rounded to float after every term and
// started from 0.0 (which turns a first -0 into +0); a negative total becomes 0, NaN stays.
// The steps are separate so that a lane body may interleave the sums of several registers.

// Bilinear weight of neighbour i (0 p00, 1 p10, 2 p01, 3 p11) from the sample's fractions:
// (1 - fx)(1 - fy), fx (1 - fy), (1 - fx) fy, fx fy. The fractions are multiples of 2^-24
// in [0, 1), so every product is exact.
template <class L>
inline typename L::D Bilinear(typename L::D fx, typename L::D fy, int i) {
  const typename L::D one = L::Set1(1.0);
  return L::Mul((i & 1) ? fx : L::Sub(one, fx), (i & 2) ? fy : L::Sub(one, fy));
}

template <class L>
inline typename L::D SupportTerm(typename L::F weight, typename L::F record, typename L::D bilinear) {
  return L::Mul(L::Widen(L::MulF(weight, record)), bilinear);
}
// kTame: the sample and its records are tame (below), and the sums are rounded with
// L::RoundTame, which gives the same bits for them.
template <class L, bool kTame = false>
inline typename L::D SupportRound(typename L::D sum) {
  if constexpr (kTame) return L::RoundTame(sum);
  else return L::RoundToFloat(sum);
}
template <class L, bool kTame = false>
inline typename L::D SupportFirst(typename L::D term) {
  return SupportRound<L, kTame>(L::Add(L::Zero(), term));
}
template <class L, bool kTame = false>
inline typename L::D SupportNext(typename L::D sum, typename L::D term) {
  return SupportRound<L, kTame>(L::Add(sum, term));
}
template <class L>
inline typename L::F SupportLast(typename L::D sum, typename L::D term) {
  return L::ZeroBelowZero(L::Narrow(L::Add(sum, term)));
}

// When the sums may take L::RoundTame: if every nonzero term lies in [2^-126, 2^121] and
// none is negative, every running sum is 0, NaN or in [2^-126, 2^123], where it rounds as a
// conversion to float does. A term is a record r times an orientation weight w and a
// bilinear weight c; it is 0 where r or c is, and otherwise at least 2^(e + m + 1) when r is
// at least 2^e and w c at least 2^(m + 1). So a sample keeps m (TameSampleExponent), a row
// of records e, the least exponent of its positive values (LeastExponent, from the lanes'
// Range steps or SRecordScan), and a sample of rows whose least exponent is e is tame when
// its m is at least TameThreshold(e).
//
// The upper bound holds for a whole run whose sources (the votes) are at most 2^96 and
// which has at most 2^20 passes: orientation weights are at most 1 (exp of q <= 0) and the
// bilinear ones sum to 1, so a pass's support is at most its largest record times
// (1 + 2^-21), and a record grows by at most its source a pass; records stay below 2^121.
constexpr float kTameSourceHigh = 0x1p96f;
constexpr int32_t kTamePasses = 1 << 20;
constexpr float kTameHigh = 0x1p121f;
constexpr int32_t kTameLeast = -127;   // a least exponent that allows no sample
constexpr int32_t kTameNever = -128;   // a sample's exponent when no rows allow it (and rows none allow)
constexpr int32_t kTameNothing = 127;  // a row with no positive value

// The exponent m of a sample: every nonzero c_i has w_i c_i >= 2^(m + 1), w_i <= 1; or
// kTameNever (a NaN weight, or one above 1).
inline int32_t TameSampleExponent(const float weight[4], float fx, float fy) {
  double least = 1.0;
  for (int i = 0; i < 4; ++i) {
    const double c = Bilinear<lanes::Scalar>(fx, fy, i);
    if (c == 0.0) continue;
    if (!(weight[i] <= 1.0f)) return kTameNever;
    least = std::min(least, weight[i] * c);
  }
  if (!(least > 0.0)) return kTameNever;
  // least rounds w c, which may lie a little below it: one power of two to spare. (A
  // product of floats, least is a normal double: its exponent is in its bits.)
  uint64_t bits;
  std::memcpy(&bits, &least, sizeof bits);
  return std::max(static_cast<int32_t>(bits >> 52) - 1023 - 2, kTameNever);
}

// From the least (bits - 1), unsigned, over a row's stored values, none of them below 0
// (every sample's output), as the lanes' Range steps keep it: the row's least exponent.
// (An infinity would pass for a NaN here; the run's bound rules it out.)
inline int32_t LeastExponent(uint32_t leastBitsLessOne) {
  if (leastBitsLessOne == UINT32_MAX) return kTameNothing;
  const int32_t exponent = static_cast<int32_t>((leastBitsLessOne + 1) >> 23) - 127;
  return exponent > 127 ? kTameNothing : std::max(exponent, kTameLeast);
}

// The lanes' scan in scalar form, for values written one at a time (the votes added): the
// least (bits - 1) and the greatest bits, unsigned, -0 taken for 0. Any value above
// kTameHigh, infinity, NaN with its sign clear or any negative value leaves the row allowing
// no sample.
struct SRecordScan {
  uint32_t least = UINT32_MAX, greatest = 0;
  void Add(float v) {
    uint32_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    if (bits == 0x80000000u) bits = 0;
    least = std::min(least, bits - 1);
    greatest = std::max(greatest, bits);
  }
  int32_t Exponent() const {
    uint32_t high;
    std::memcpy(&high, &kTameHigh, sizeof high);
    return greatest > high ? kTameNever : LeastExponent(least);
  }
};

// The least sample exponent that rows of least exponent e allow; above every sample's when
// e is kTameNever.
inline int32_t TameThreshold(int32_t e) { return e == kTameNever ? 0 : -126 - std::min(e, 0); }

// The whole sample, neighbour by neighbour.
template <class L>
inline typename L::F Support(const typename L::F weight[4], const typename L::F record[4],
                             const typename L::D bilinear[4]) {
  typename L::D sum = SupportFirst<L>(SupportTerm<L>(weight[0], record[0], bilinear[0]));
  sum = SupportNext<L>(sum, SupportTerm<L>(weight[1], record[1], bilinear[1]));
  sum = SupportNext<L>(sum, SupportTerm<L>(weight[2], record[2], bilinear[2]));
  return SupportLast<L>(sum, SupportTerm<L>(weight[3], record[3], bilinear[3]));
}

// What a pixel finally holds: (backward + forward) + before, summed in double and rounded
// once (the refined energy from the normalised one; a histogram bin from what it held).
template <class L>
inline typename L::F FinalSum(typename L::F forward, typename L::F backward, typename L::F before) {
  return L::Narrow(L::Add(L::Add(L::Widen(backward), L::Widen(forward)), L::Widen(before)));
}
