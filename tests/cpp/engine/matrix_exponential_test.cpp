// The exponential and its derivatives against a reference computed by another
// algorithm (a long Taylor series with scaling and squaring) in extended
// precision, on rate matrices from gentle to stiff.
#include "engine/matrix_exponential.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "engine/reference_exponential.hpp"

namespace {

using namespace tarnok::engine;

using tarnok::testing::LongMatrix;
using tarnok::testing::reference_exponential;

// Agreement a double-precision exponential reaches on these generators,
// relative to the largest entry: the ten or so squarings of the stiffest ones
// each add a few roundoffs.
constexpr double kRelativeTolerance = 1e-12;

// A random generator of a continuous-time Markov chain (columns sum to zero)
// whose rates span `decades` decades above `smallest`: the shape of the
// population rate matrix times a time step.
Matrix5 random_generator(std::mt19937& rng, double smallest, double decades) {
  std::uniform_real_distribution<double> exponent(0.0, decades);
  std::bernoulli_distribution present(0.6);
  Matrix5 x = Matrix5::Zero();
  for (int j = 0; j < 5; ++j)
    for (int i = 0; i < 5; ++i)
      if (i != j && present(rng)) {
        x(i, j) = smallest * std::pow(10.0, exponent(rng));
        x(j, j) -= x(i, j);
      }
  return x;
}

double relative_difference(const Matrix5& actual, const LongMatrix& expected) {
  const LongMatrix difference = actual.cast<long double>() - expected;
  return static_cast<double>(difference.cwiseAbs().maxCoeff() /
                             std::max(expected.cwiseAbs().maxCoeff(), 1e-300L));
}

// Every Pade degree and many squarings: norms from 1e-3 (degree 3) to 1e3.
TEST(MatrixExponential, MatchesExtendedPrecisionReferenceFromGentleToStiff) {
  std::mt19937 rng(7);
  for (double smallest : {1e-5, 1e-3, 1e-2, 0.1, 0.5, 1.0, 3.0, 50.0, 400.0}) {
    for (int trial = 0; trial < 20; ++trial) {
      const Matrix5 x = random_generator(rng, smallest, 1.0);
      const LongMatrix expected = reference_exponential(x.cast<long double>());
      EXPECT_LT(relative_difference(matrix_exponential(x), expected), kRelativeTolerance)
          << "smallest rate " << smallest;
    }
  }
}

// Rates spread over four decades make the matrices far from normal, where a
// squaring spared on the strength of the powers' norms would show first.
TEST(MatrixExponential, StaysAccurateWhenTheNormsOfPowersSpareSquarings) {
  std::mt19937 rng(5);
  for (double smallest : {0.05, 1.0, 30.0}) {
    for (int trial = 0; trial < 40; ++trial) {
      const Matrix5 x = random_generator(rng, smallest, 4.0);
      const LongMatrix expected = reference_exponential(x.cast<long double>());
      EXPECT_LT(relative_difference(matrix_exponential(x), expected), 1e-11)
          << "smallest rate " << smallest;
    }
  }
}

TEST(MatrixExponential, HandlesRepeatedEigenvaluesAndConservesPopulation) {
  // A Jordan-like chain 1 -> 2 -> 3 with equal rates: a defective matrix, on
  // which eigenvector methods break down.
  Matrix5 x = Matrix5::Zero();
  x(0, 0) = -2.0, x(1, 0) = 2.0, x(1, 1) = -2.0, x(2, 1) = 2.0;
  const Matrix5 e = matrix_exponential(x);
  EXPECT_NEAR(e(1, 0), 2.0 * std::exp(-2.0), 1e-15);
  EXPECT_NEAR(e(2, 0), 1.0 - 3.0 * std::exp(-2.0), 1e-15);
  EXPECT_NEAR(e.col(0).sum(), 1.0, 1e-15);
}

TEST(MatrixExponential, DerivativesMatchTheBlockTriangularReference) {
  // exp([[X, E], [0, X]]) carries L(X, E) in its upper right block.
  std::mt19937 rng(11);
  for (double smallest : {1e-3, 0.3, 2.0, 80.0}) {
    const Matrix5 x = random_generator(rng, smallest, 1.5);
    // A gentle direction and one of the matrix's own scale.
    std::array<Matrix5, 2> directions{random_generator(rng, 1e-3, 1.0),
                                      random_generator(rng, smallest, 1.0)};
    Matrix5 exponential;
    std::array<Matrix5, 2> derivatives;
    matrix_exponential_with_derivatives(x, directions, exponential, derivatives);
    EXPECT_EQ(exponential, matrix_exponential(x));
    for (std::size_t d = 0; d < directions.size(); ++d) {
      LongMatrix block = LongMatrix::Zero(10, 10);
      block.topLeftCorner(5, 5) = x.cast<long double>();
      block.bottomRightCorner(5, 5) = x.cast<long double>();
      block.topRightCorner(5, 5) = directions[d].cast<long double>();
      const LongMatrix expected = reference_exponential(block).topRightCorner(5, 5);
      EXPECT_LT(relative_difference(derivatives[d], expected), 1e-12)
          << "smallest rate " << smallest << ", direction " << d;
    }
  }
}

// The backward pass is the adjoint of forward mode: for any direction E,
// <z_bar, L(X, E) z> = <X_bar, E>, and both see the same exp(X) z.
TEST(MatrixExponential, BackwardPassIsTheAdjointOfForwardMode) {
  std::mt19937 rng(13);
  std::uniform_real_distribution<double> uniform(0.0, 1.0);
  for (double smallest : {1e-3, 0.3, 2.0, 80.0, 3000.0}) {
    const ConservingMatrix x =
        ConservingMatrix::from_generator(random_generator(rng, smallest, 1.5), 1.0);
    const ConservingMatrix e =
        ConservingMatrix::from_generator(random_generator(rng, smallest, 1.0), 1.0);
    ConservingVector z, z_bar;
    for (int i = 0; i < 5; ++i) z(i) = uniform(rng), z_bar(i) = uniform(rng) - 0.5;

    ConservingVector forward = z;
    std::array<ConservingVector, 1> dz{ConservingVector::Zero()};
    propagate(x, std::span(&e, 1), forward, dz);
    ConservingVector recorded = z;
    ExponentialRecord record;
    propagate_recorded(x, recorded, record);
    EXPECT_LT((recorded - forward).cwiseAbs().maxCoeff(), 1e-13 * forward.cwiseAbs().maxCoeff());

    ConservingMatrix x_bar = ConservingMatrix::zero();
    ConservingVector adjoint = z_bar;
    backpropagate(record, z, adjoint, x_bar);
    const double expected = z_bar.dot(dz[0]);
    EXPECT_NEAR(inner(x_bar, e), expected, 1e-12 * std::max(std::abs(expected), 1.0))
        << "smallest rate " << smallest;
  }
}

TEST(MatrixExponential, NonFiniteInputGivesNan) {
  Matrix5 x = Matrix5::Zero();
  x(2, 3) = std::numeric_limits<double>::infinity();
  EXPECT_TRUE(matrix_exponential(x).array().isNaN().all());
}

}  // namespace
