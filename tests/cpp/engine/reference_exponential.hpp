// A matrix exponential by another algorithm and in extended precision: a long
// Taylor series on the matrix scaled to norm 1/4, then squared back.
#pragma once

#include <Eigen/Core>
#include <cmath>

namespace tarnok::testing {

using LongMatrix = Eigen::Matrix<long double, Eigen::Dynamic, Eigen::Dynamic>;

inline LongMatrix reference_exponential(const LongMatrix& x) {
  const long double norm = x.cwiseAbs().colwise().sum().maxCoeff();
  const int squarings = norm > 0.25L ? static_cast<int>(std::ceil(std::log2(norm / 0.25L))) : 0;
  const LongMatrix scaled = x / std::ldexp(1.0L, squarings);
  LongMatrix term = LongMatrix::Identity(x.rows(), x.cols());
  LongMatrix sum = term;
  for (int k = 1; k < 30; ++k) {
    term = term * scaled / static_cast<long double>(k);
    sum += term;
  }
  for (int s = 0; s < squarings; ++s) sum = sum * sum;
  return sum;
}

}  // namespace tarnok::testing
