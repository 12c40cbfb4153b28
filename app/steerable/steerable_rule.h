// The arithmetic of the steerable filters, for every lane width: change the energy or
// orientation formula here and every form (reference, scalar, each vector width) follows.
// Included inside the namespace of one lane width, under that width's processor target
// (app/lanes/lanes.h), so it has no include guard; it uses only the lane operations, in this
// order, so every width gives the reference's bits.

// One term of a filter pass: acc + tap * sample, the product exact in double, the sum rounded
// to float (the partial sums of both passes are floats).
template <class L>
inline typename L::D TapStep(typename L::D acc, typename L::D tap, typename L::D sample) {
  return L::RoundToFloat(L::Add(acc, L::Mul(tap, sample)));
}

// Oriented energy 10 (C1^2 + C2^2)^(1/4) of the seven basis responses (float values in
// double lanes), rounded to float at every step where a float is stored:
//   C1 = 0.5 (g2a^2 - g2c^2) + 0.46875 (h2a^2 - h2d^2) + 0.28125 (h2b^2 - h2c^2) + 0.1875 (h2a h2c - h2b h2d)
//   C2 = -g2a g2b - g2b g2c - 0.9375 (h2a h2b + h2c h2d) - 1.6875 h2b h2c - 0.1875 h2a h2d
template <class L>
inline typename L::F OrientedEnergy(typename L::D g2a, typename L::D g2b, typename L::D g2c, typename L::D h2a,
                                    typename L::D h2b, typename L::D h2c, typename L::D h2d) {
  const typename L::D c1 = L::RoundToFloat(
      L::Add(L::Add(L::Add(L::Mul(L::Set1(0.5), L::Sub(L::Mul(g2a, g2a), L::Mul(g2c, g2c))),
                           L::Mul(L::Set1(0.46875), L::Sub(L::Mul(h2a, h2a), L::Mul(h2d, h2d)))),
                    L::Mul(L::Set1(0.28125), L::Sub(L::Mul(h2b, h2b), L::Mul(h2c, h2c)))),
             L::Mul(L::Set1(0.1875), L::Sub(L::Mul(h2a, h2c), L::Mul(h2b, h2d)))));
  const typename L::D c2 = L::RoundToFloat(
      L::Sub(L::Sub(L::Sub(L::Sub(L::Mul(L::Neg(g2a), g2b), L::Mul(g2b, g2c)),
                           L::Mul(L::Set1(0.9375), L::Add(L::Mul(h2a, h2b), L::Mul(h2c, h2d)))),
                    L::Mul(L::Mul(L::Set1(1.6875), h2b), h2c)),
             L::Mul(L::Mul(L::Set1(0.1875), h2a), h2d)));
  const typename L::D squares = L::RoundToFloat(L::Add(L::Mul(c1, c1), L::Mul(c2, c2)));
  const typename L::D root = L::RoundToFloat(L::Sqrt(L::RoundToFloat(L::Sqrt(squares))));
  return L::Narrow(L::Mul(L::Set1(10.0), root));
}

// Orientation atan2(-h2a, h2d) + pi in [0, 2 pi] of one pixel (the C library's double atan2:
// no lane form of it gives the same bits).
inline float Orientation(float h2a, float h2d) { return static_cast<float>(Atan2F(-h2a, h2d) + kPi); }
