// Coefficient generator for the Adams and BDF families. Both are built from
// the polynomial p(x) = (x + 1)(x + 2)... whose integer coefficients stay
// exact in double precision, so the tables are the same bits on every run.
#include "ode/method_coefficients.hpp"

namespace tarnok::ode {
namespace {

// pc[0..degree] holds the coefficients of p (pc[i] multiplies x^i); this
// multiplies p by (x + c) in place, highest coefficient first so that every
// old value is read before it is overwritten.
void multiply_by_linear_factor(double* pc, int degree, double c) noexcept {
  pc[degree + 1] = 0.0;
  for (int i = degree + 1; i >= 1; --i) pc[i] = pc[i - 1] + c * pc[i];
  pc[0] = c * pc[0];
}

void generate_adams(MethodCoefficients& out) noexcept {
  auto coef = [&out](int i, int q) -> double& { return out.coeftab[q - 1][i - 1]; };
  auto test = [&out](int k, int q) -> double& { return out.testconst[q - 1][k - 1]; };
  coef(1, 1) = 1.0;
  coef(2, 1) = 1.0;
  test(1, 1) = 0.0;
  test(2, 1) = 2.0;
  test(1, 2) = 1.0;
  test(3, MAX_ADAMS_ORDER) = 0.0;

  double pc[MAX_HISTORY_COLUMNS + 1] = {1.0};
  double rqfac = 1.0;
  for (int q = 2; q <= MAX_ADAMS_ORDER; ++q) {
    const double rq1fac = rqfac;
    rqfac = rqfac / q;
    // p(x) = (x + 1)(x + 2)...(x + q - 1), degree q - 1.
    multiply_by_linear_factor(pc, q - 2, static_cast<double>(q - 1));

    // pint = integral over (-1, 0) of p; xpin = the same of (-x)*p. The
    // weight is -x, not x: x*p is negative on (-1, 0) and would make every
    // error constant negative, so that the error test could never fail.
    double pint = pc[0];
    double xpin = pc[0] / 2.0;
    double tsign = 1.0;
    for (int i = 2; i <= q; ++i) {
      tsign = -tsign;
      pint += tsign * pc[i - 1] / i;
      xpin += tsign * pc[i - 1] / (i + 1);
    }

    coef(1, q) = pint * rq1fac;
    coef(2, q) = 1.0;
    for (int i = 2; i <= q; ++i) coef(i + 1, q) = rq1fac * pc[i - 1] / i;
    const double agamq = rqfac * xpin;
    const double ragq = 1.0 / agamq;
    test(2, q) = ragq;
    if (q < MAX_ADAMS_ORDER) test(1, q + 1) = ragq * rqfac / (q + 1);
    test(3, q - 1) = ragq;
  }
}

void generate_bdf(MethodCoefficients& out) noexcept {
  double pc[MAX_BDF_ORDER + 2] = {1.0};
  double rq1fac = 1.0;
  for (int q = 1; q <= MAX_BDF_ORDER; ++q) {
    // p(x) = (x + 1)(x + 2)...(x + q), degree q.
    multiply_by_linear_factor(pc, q - 1, static_cast<double>(q));
    double* l = out.coeftab[q - 1];
    for (int i = 1; i <= q + 1; ++i) l[i - 1] = pc[i - 1] / pc[1];
    double* test = out.testconst[q - 1];
    test[0] = rq1fac;
    test[1] = static_cast<double>(q + 1) / l[0];
    test[2] = static_cast<double>(q + 2) / l[0];
    rq1fac = rq1fac / q;
  }
}

struct ProcessTables {
  MethodCoefficients adams;
  MethodCoefficients bdf;
  double adamserr[MAX_ADAMS_ORDER] = {};
  double bdferr[MAX_BDF_ORDER] = {};

  ProcessTables() noexcept {
    generate_coefficients(METHOD_ADAMS, adams);
    generate_coefficients(METHOD_BDF, bdf);
    for (int q = 1; q <= MAX_ADAMS_ORDER; ++q) adamserr[q - 1] = adams.test(2, q) * adams.coef(q + 1, q);
    for (int q = 1; q <= MAX_BDF_ORDER; ++q) bdferr[q - 1] = bdf.test(2, q) * bdf.coef(q + 1, q);
  }
};

const ProcessTables& tables() noexcept {
  static const ProcessTables instance;
  return instance;
}

}  // namespace

void generate_coefficients(int meth, MethodCoefficients& out) noexcept {
  if (meth == METHOD_ADAMS) {
    generate_adams(out);
  } else {
    generate_bdf(out);
  }
}

const MethodCoefficients& method_coefficients(int meth) noexcept {
  return meth == METHOD_ADAMS ? tables().adams : tables().bdf;
}

double adamserr(int q) noexcept { return tables().adamserr[q - 1]; }
double bdferr(int q) noexcept { return tables().bdferr[q - 1]; }

}  // namespace tarnok::ode
