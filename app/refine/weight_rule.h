// How strongly a neighbour supports a sample, for every lane width: the exponent q of the
// neighbour's weight exp(q), from the direction the sample looks in and the neighbour's folded
// orientation. Included inside the namespace of one lane width, under that width's processor
// target (app/lanes/lanes.h), after refine_rule.h's constants; no include guard.
//
// theta and neighbour are floats (held in double lanes); so is every step: delta = |theta -
// neighbour|, wrapped to 2 pi - delta above pi; orientations pi / 2 or more apart (or NaN)
// oppose, and the neighbour's backward support then continues this direction, at pi - delta;
// q = delta^2 / -(pi / 5), in double. A float operation is its double one rounded to float,
// since double holds more than twice a float's digits.
// An orientation folded into [0, pi]: pi taken off above pi, then added below 0, each step
// rounded to float; a NaN stays.
template <class L>
inline typename L::D FoldedOrientation(typename L::D theta) {
  const typename L::D pi = L::Set1(kPi);
  theta = L::Select(L::Less(pi, theta), L::RoundToFloat(L::Sub(theta, pi)), theta);
  return L::Select(L::Less(theta, L::Zero()), L::RoundToFloat(L::Add(theta, pi)), theta);
}

template <class L>
inline typename L::D WeightExponent(typename L::D theta, typename L::D neighbour, typename L::M* backward) {
  typename L::D delta = L::Abs(L::RoundToFloat(L::Sub(theta, neighbour)));
  delta = L::Select(L::Less(L::Set1(kPi), delta), L::RoundToFloat(L::Sub(L::Set1(kTwoPi), delta)), delta);
  *backward = L::NotLess(delta, L::Set1(kHalfPi));
  delta = L::Select(*backward, L::RoundToFloat(L::Sub(L::Set1(kPi), delta)), delta);
  return L::RoundToFloat(L::Div(L::Mul(delta, delta), L::Set1(kWeightScale)));
}

// q[i] and backward[i] (1 or 0) for i < n, lane by lane, with neighbour[i] folded here first
// (in lanes: folded one by one, its branches went wrong half the time).
template <class L>
inline void WeightExponents(const float* theta, const float* neighbour, float* q, uint8_t* backward, int32_t n) {
  int32_t i = 0;
  for (; i + L::kLanes <= n; i += L::kLanes) {
    typename L::M opposed;
    const typename L::D neighbourFolded = FoldedOrientation<L>(L::Widen(L::LoadF(neighbour + i)));
    const typename L::D e = WeightExponent<L>(L::Widen(L::LoadF(theta + i)), neighbourFolded, &opposed);
    L::StoreF(q + i, L::Narrow(e));
    const int bits = L::Bits(opposed);
    for (int j = 0; j < L::kLanes; ++j) backward[i + j] = static_cast<uint8_t>((bits >> j) & 1);
  }
  for (; i < n; ++i) {
    lanes::Scalar::M opposed;
    q[i] = static_cast<float>(
        WeightExponent<lanes::Scalar>(theta[i], FoldedOrientation<lanes::Scalar>(neighbour[i]), &opposed));
    backward[i] = opposed ? 1 : 0;
  }
}
