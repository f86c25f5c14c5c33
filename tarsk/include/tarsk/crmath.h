#pragma once

#include <cstddef>

// Correctly rounded sin, cos, atan2 and hypot of doubles: each returns the
// exact value rounded to the nearest double (ties to even), so the same bits
// on every IEEE-754 machine, whatever its C library, compiler or processor
// features. Built only of integer arithmetic and IEEE +, -, *, / and sqrt in
// a fixed order (no libm call, no fused multiply-add).
//
// Special values follow C99 Annex F: sin(+-0) = +-0, cos(+-0) = 1, sin and
// cos of an infinity or NaN are NaN; atan2 gives the signed zeros, +-pi/2,
// +-pi, +-pi/4 and +-3pi/4 of the quadrant rules; hypot(+-inf, y) = +inf
// even when y is NaN.
//
// Method (tarsk/src/crmath.cpp): an exact argument reduction (sin and cos:
// x * 2/pi, and x * 512/pi for the fast path's table of a quarter turn, with
// 2/pi to 1500 bits in integer arithmetic for every double; Cody and Waite's
// reduction below 2^20), a double-double evaluation with a proven relative
// error bound, a rounding test, and, for the rare arguments that fail it, a
// 256-bit fixed-point evaluation (hypot: an exact sign test in
// floating-point expansions).
namespace tarsk::cr {

double sin(double x);
double cos(double x);
// sin x and cos x at once (the results of sin and cos), sharing the work.
void sincos(double x, double& s, double& c);
double atan2(double y, double x);
double hypot(double x, double y);
// Of n pairs: out[i] = atan2(y[i], x[i]) and out[i] = hypot(x[i], y[i]), the
// same bits as the functions above; the fast paths run on several pairs at
// once (out may be one of the inputs).
void atan2_n(const double* y, const double* x, double* out, std::size_t n);
void hypot_n(const double* x, const double* y, double* out, std::size_t n);

namespace detail {
// The accurate paths on their own, for tests: each gives the same result as
// the function above for every argument.
double sin_accurate(double x);
double cos_accurate(double x);
double atan2_accurate(double y, double x);
double hypot_exact(double x, double y);
// The fast paths on their own: the double-double value hi + lo before
// rounding; 1 when the rounding test accepts it, 0 when it sends the
// argument on to the accurate path, -1 (hi and lo NaN) for arguments that
// never take the fast path (special values, tiny arguments with a direct
// answer, reduced arguments too small for it).
int sin_fast(double x, double& hi, double& lo);
int cos_fast(double x, double& hi, double& lo);
int atan2_fast(double y, double x, double& hi, double& lo);
int hypot_fast(double x, double y, double& hi, double& lo);
}  // namespace detail

}  // namespace tarsk::cr
