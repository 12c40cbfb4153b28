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
template <class L>
inline typename L::D SupportFirst(typename L::D term) {
  return L::RoundToFloat(L::Add(L::Zero(), term));
}
template <class L>
inline typename L::D SupportNext(typename L::D sum, typename L::D term) {
  return L::RoundToFloat(L::Add(sum, term));
}
template <class L>
inline typename L::F SupportLast(typename L::D sum, typename L::D term) {
  return L::ZeroBelowZero(L::Narrow(L::Add(sum, term)));
}

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
