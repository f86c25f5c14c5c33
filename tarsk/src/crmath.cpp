// Correctly rounded sin, cos, atan2 and hypot (tarsk/crmath.h).
//
// Each function has two paths. The fast one evaluates in double-double
// arithmetic (a value hi + lo carried in two doubles) with a relative error
// bound proven below; a rounding test then checks that every real number
// within that bound of hi + lo rounds to the same double, which is then the
// correctly rounded result. The rare arguments that fail the test take the
// accurate path: 256-bit fixed-point arithmetic in integers (sin, cos,
// atan2), whose error is below 2^-180 relative, far below the closest
// approach of these functions' values to a rounding boundary known from the
// published exhaustive searches of the worst cases (which need fewer than
// 130 bits); hypot's accurate path is exact.
//
// Only integer arithmetic and IEEE-754 double +, -, *, / and sqrt are used,
// each rounded on its own in the order written (the build forbids
// contraction into fused multiply-add). Products are made exact with
// Dekker's splitting (two_prod; on the fast paths with 26-bit heads cut by a
// bit mask), sums with Knuth's two_sum. The fast paths avoid branches on the
// data in their common ranges and keep their chains of dependent operations
// short: the rotation formulas wait on each result.
#include "tarsk/crmath.h"
#include "tarsk/vector_isa.h"

#include <cstdint>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "crmath_tables.h"

namespace tarsk::cr {
namespace {

namespace tb = tables;

// The fast paths are chains of small exact-arithmetic steps: kept inline,
// the compiler can schedule them together.
#define TARSK_CR_INLINE inline __attribute__((always_inline))
using u64 = std::uint64_t;
using u128 = unsigned __int128;
using i128 = __int128;

// ---------------------------------------------------------------------------
// Bits and powers of two

TARSK_CR_INLINE u64 to_bits(double x) {
    u64 b;
    std::memcpy(&b, &x, sizeof b);
    return b;
}

TARSK_CR_INLINE double from_bits(u64 b) {
    double x;
    std::memcpy(&x, &b, sizeof x);
    return x;
}

// v with its low 27 bits cleared: a head of 26 significant bits (for a
// normal v), whose product with a number of at most 27 bits is exact; the
// rest v - head26(v) has at most 27 bits and is below 2^-25 |v|. A bit mask
// (on x86-64 in the vector registers, one instruction, the same bits).
TARSK_CR_INLINE double head26(double v) {
#if defined(__SSE2__)
    const __m128d mask = _mm_castsi128_pd(_mm_set1_epi64x(static_cast<long long>(~((1ULL << 27) - 1))));
    return _mm_cvtsd_f64(_mm_and_pd(_mm_set_sd(v), mask));
#else
    return from_bits(to_bits(v) & ~((1ULL << 27) - 1));
#endif
}

// |x| (clearing the sign bit, exact; the builtin stays in the floating-point
// registers).
TARSK_CR_INLINE double abs_of(double x) { return __builtin_fabs(x); }
TARSK_CR_INLINE bool sign_of(double x) { return (to_bits(x) >> 63) != 0; }
bool is_nan(double x) { return (to_bits(x) & 0x7fffffffffffffffULL) > 0x7ff0000000000000ULL; }
bool is_inf(double x) { return (to_bits(x) & 0x7fffffffffffffffULL) == 0x7ff0000000000000ULL; }
TARSK_CR_INLINE double negate_if(double x, bool neg) { return neg ? -x : x; }

// 2^n for -1022 <= n <= 1023.
TARSK_CR_INLINE double pow2(int n) { return from_bits(static_cast<u64>(n + 1023) << 52); }

// x * 2^n, in steps that are exact while the intermediate values stay
// normal; only the last step can round (callers scale into or out of the
// normal range, never through the subnormals twice).
double mul_pow2(double x, int n) {
    while (n > 1023) {
        x *= pow2(1023);
        n -= 1023;
    }
    while (n < -1022) {
        x *= pow2(-1022);
        n += 1022;
    }
    return x * pow2(n);
}

// |x| = m * 2^e with m in [2^52, 2^53), for finite nonzero x (subnormals
// normalised).
void decompose(double x, u64& m, int& e) {
    const u64 b = to_bits(x) & 0x7fffffffffffffffULL;
    const int be = static_cast<int>(b >> 52);
    const u64 f = b & ((1ULL << 52) - 1);
    if (be == 0) {
        const int shift = __builtin_clzll(f) - 11;
        m = f << shift;
        e = -1074 - shift;
    } else {
        m = f | (1ULL << 52);
        e = be - 1075;
    }
}

// ---------------------------------------------------------------------------
// Double-double arithmetic

struct DD {
    double hi, lo;
};

// a + b = s + e exactly.
TARSK_CR_INLINE DD two_sum(double a, double b) {
    const double s = a + b;
    const double bb = s - a;
    const double e = (a - (s - bb)) + (b - bb);
    return {s, e};
}

// The same when |a| >= |b| (or a is 0).
TARSK_CR_INLINE DD fast_two_sum(double a, double b) {
    const double s = a + b;
    const double e = b - (s - a);
    return {s, e};
}

// a * b = p + e exactly (Dekker), for |a|, |b| < 2^995 and no underflow of e.
TARSK_CR_INLINE DD two_prod(double a, double b) {
    const double p = a * b;
    const double ca = 134217729.0 * a;
    const double ah = ca - (ca - a);
    const double al = a - ah;
    const double cb = 134217729.0 * b;
    const double bh = cb - (cb - b);
    const double bl = b - bh;
    const double e = (((ah * bh - p) + ah * bl) + al * bh) + al * bl;
    return {p, e};
}

// The rounding test: hi + lo is within |err| of the exact value v (|err| a
// few orders above the rounding errors of the two sums here). When both ends
// of [hi + lo - |err|, hi + lo + |err|] round to the same double, so does v,
// and that double is stored in out (a negative err swaps the two ends).
TARSK_CR_INLINE bool rounds_to(double hi, double lo, double err, double& out) {
    const double a = hi + (lo - err);
    const double b = hi + (lo + err);
    if (a != b) return false;
    out = a;
    return true;
}

// ---------------------------------------------------------------------------
// 256-bit fixed point: the unsigned integer w (least significant limb first)
// stands for w / 2^254, so values in [0, 4).

struct U256 {
    u64 w[4];
};

U256 load(const u64 (&c)[4]) { return {{c[0], c[1], c[2], c[3]}}; }

U256 add(const U256& a, const U256& b) {
    U256 r;
    u64 carry = 0;
    for (int i = 0; i < 4; ++i) {
        const u128 t = static_cast<u128>(a.w[i]) + b.w[i] + carry;
        r.w[i] = static_cast<u64>(t);
        carry = static_cast<u64>(t >> 64);
    }
    return r;
}

// a - b for a >= b.
U256 sub(const U256& a, const U256& b) {
    U256 r;
    u64 borrow = 0;
    for (int i = 0; i < 4; ++i) {
        const u64 d = a.w[i] - b.w[i];
        const u64 d2 = d - borrow;
        borrow = (a.w[i] < b.w[i] || d < borrow) ? 1 : 0;
        r.w[i] = d2;
    }
    return r;
}

// a * b truncated to the format (error below 2^-254).
U256 mul(const U256& a, const U256& b) {
    u64 p[8] = {0, 0, 0, 0, 0, 0, 0, 0};
    for (int i = 0; i < 4; ++i) {
        u64 carry = 0;
        for (int j = 0; j < 4; ++j) {
            const u128 t = static_cast<u128>(a.w[i]) * b.w[j] + p[i + j] + carry;
            p[i + j] = static_cast<u64>(t);
            carry = static_cast<u64>(t >> 64);
        }
        p[i + 4] = carry;
    }
    // The product has 508 fraction bits: keep bits 254 to 509.
    U256 r;
    for (int k = 0; k < 4; ++k) r.w[k] = (p[k + 3] >> 62) | (p[k + 4] << 2);
    return r;
}

// a / 2^n, truncated.
U256 shift_right(const U256& a, int n) {
    U256 r = {{0, 0, 0, 0}};
    if (n >= 256) return r;
    const int limbs = n / 64, bits = n % 64;
    for (int k = 0; k + limbs < 4; ++k) {
        u64 v = a.w[k + limbs] >> bits;
        if (bits != 0 && k + limbs + 1 < 4) v |= a.w[k + limbs + 1] << (64 - bits);
        r.w[k] = v;
    }
    return r;
}

// Bits [lo, lo + 64) of the n-limb integer p (bits outside it are zero).
u64 chunk(const u64* p, int n, int lo) {
    if (lo <= -64) return 0;
    if (lo < 0) return p[0] << (-lo);
    const int li = lo / 64, b = lo % 64;
    u64 v = li < n ? p[li] >> b : 0;
    if (b != 0 && li + 1 < n) v |= p[li + 1] << (64 - b);
    return v;
}

// m * 2^(s - 254) for m < 2^53, 0 <= s: the double m * 2^e as U256 with
// s = e + 254.
U256 from_scaled(u64 m, int s) {
    U256 r = {{0, 0, 0, 0}};
    const int li = s / 64, b = s % 64;
    r.w[li] = m << b;
    if (b != 0 && li + 1 < 4) r.w[li + 1] = m >> (64 - b);
    return r;
}

// floor(num * 2^254 / den) for num < 2 den < 2^72 (a quotient below 2), by
// long division in steps of at most 56 bits (the shifted remainder stays
// below 2^128).
U256 ratio(u128 num, u128 den) {
    U256 r = {{0, 0, 0, 0}};
    if (num >= den) {
        r.w[3] = 1ULL << 62;
        num -= den;
    }
    int pos = 254;  // the bits above pos are done
    constexpr int steps[5] = {56, 56, 56, 56, 30};
    for (const int len : steps) {
        num <<= len;
        const u64 q = static_cast<u64>(num / den);  // below 2^len
        num -= static_cast<u128>(q) * den;
        pos -= len;
        r.w[pos / 64] |= q << (pos % 64);
        if (pos % 64 != 0 && pos / 64 + 1 < 4) r.w[pos / 64 + 1] |= q >> (64 - pos % 64);
    }
    return r;
}

// The double nearest to v / 2^254 * 2^e (ties to even), negated when neg;
// v >= 2^60 and the result in the normal range.
double round_fixed(const U256& v, int e, bool neg) {
    int top = 255;
    while (((v.w[top / 64] >> (top % 64)) & 1) == 0) --top;
    u64 mant = chunk(v.w, 4, top - 52) & ((1ULL << 53) - 1);
    const bool half = ((v.w[(top - 53) / 64] >> ((top - 53) % 64)) & 1) != 0;
    // Any bit below the half: the bits [0, top - 53) of v, limb by limb.
    const int below = top - 53;
    bool rest = (v.w[below / 64] & ((1ULL << (below % 64)) - 1)) != 0;
    for (int k = below / 64 - 1; k >= 0; --k) rest = rest || v.w[k] != 0;
    if (half && (rest || (mant & 1) != 0)) ++mant;
    int exponent = top + e - 254;
    if (mant == (1ULL << 53)) {
        mant >>= 1;
        ++exponent;
    }
    const u64 b = (static_cast<u64>(exponent + 1023) << 52) | (mant & ((1ULL << 52) - 1));
    return negate_if(from_bits(b), neg);
}

// The alternating series c[0] - u c[1] + u^2 c[2] - ... (n terms) by
// Horner's rule, c[k] - u (c[k+1] - u (...)), for 0 <= u < 1 and
// coefficients with u c[k+1] < c[k] / 2 (so no step goes below zero). Each
// step truncates twice (the product and the table's coefficient, each by
// less than 2^-254) and the error carried in is multiplied by u < 1: the
// total stays below 2 / (1 - u) 2^-254 plus u times the error of u.
U256 horner(const U256& u, const u64 (*c)[4], int n) {
    U256 s = load(c[n - 1]);
    for (int k = n - 2; k >= 0; --k) s = sub(load(c[k]), mul(u, s));
    return s;
}

// sin and cos of 0 <= theta <= pi/4 (plus the reduction's error) by their
// Taylor series, theta (1 - theta^2/3! + ...) and 1 - theta^2/2! + ...,
// with theta^2 <= 0.62: the error stays below 2^-249 (the tables hold enough
// terms that the first one left out is below 2^-260).
U256 sin_fixed(const U256& theta) {
    return mul(theta, horner(mul(theta, theta), tb::sin_coef, tb::sin_terms));
}

U256 cos_fixed(const U256& theta) { return horner(mul(theta, theta), tb::cos_coef, tb::cos_terms); }

// atan t = t (1 - t^2/3 + t^4/5 - ...) for 0 <= t <= 2^-8 (plus an ulp).
U256 atan_fixed(const U256& t) { return mul(t, horner(mul(t, t), tb::atan_coef, tb::atan_terms)); }

// ---------------------------------------------------------------------------
// Argument reduction of sin and cos (Payne and Hanek, in integers).
//
// For x = m 2^e, x * 2/pi = q + f with q an integer and |f| <= 1/2; only q
// mod 4 and f are needed. The limbs of 2/pi whose products with m are
// multiples of 4 are skipped; the next five (320 bits) give f with an
// absolute error below 2^-201. The smallest |f| of any double is about
// 2^-62 (the closest approach of a double to a multiple of pi/2), so f has
// at least 139 correct bits relative to itself.
//
// The fast path reduces by pi/512 instead: x * 512/pi = k + f, k mod 1024,
// the same product read 8 bits further down (f's absolute error below
// 2^-193; the fast path takes only |f| >= 2^-50).

struct Reduction {
    unsigned q;   // the quadrant, q mod 4 (fast path: k mod 1024)
    bool neg;     // f < 0
    u64 frac[4];  // |f| * 2^256
};

// bits = 2: x * 2/pi; bits = 10: x * 512/pi.
Reduction reduce(double ax, int bits = 2) {
    u64 m;
    int e;
    decompose(ax, m, e);
    // Limb i of 2/pi weighs 2^(-64 (i + 1)); m times it is a multiple of 4
    // when e - 64 i - 64 >= 2.
    const int i0 = e >= 66 ? (e - 66) / 64 + 1 : 0;
    u64 p[6];
    u64 carry = 0;
    for (int k = 0; k < 5; ++k) {
        const u128 t = static_cast<u128>(m) * tb::two_over_pi[i0 + 4 - k] + carry;
        p[k] = static_cast<u64>(t);
        carry = static_cast<u64>(t >> 64);
    }
    p[5] = carry;
    // p * 2^-sh is x * 2/pi mod 4, p * 2^-(sh - 8) x * 512/pi mod 1024 (a
    // multiple of 4 times 2^8 is a multiple of 1024: the same limbs skip).
    const int sh = 64 * (i0 + 5) - e - (bits - 2);
    const unsigned mask = (1U << bits) - 1;
    Reduction r;
    unsigned q = static_cast<unsigned>(chunk(p, 6, sh) & mask);
    for (int k = 0; k < 4; ++k) r.frac[k] = chunk(p, 6, sh - 256 + 64 * k);
    r.neg = (r.frac[3] >> 63) != 0;
    if (r.neg) {
        // f - 1: the magnitude is 2^256 - frac, the quadrant one more.
        u64 borrow = 0;
        for (int k = 0; k < 4; ++k) {
            const u64 v = r.frac[k];
            r.frac[k] = 0 - v - borrow;
            borrow = (v != 0 || borrow != 0) ? 1 : 0;
        }
        ++q;
    }
    r.q = q & mask;
    return r;
}

// f * pi/2 * scale (scale 1, or 2^-8 for the reduction by pi/512) as a
// double-double with relative error below 2^-100, or false when
// |f| < 2^-50 (left to the accurate path).
bool reduced_dd(const Reduction& r, DD& out, double scale) {
    int top = -1;
    for (int k = 3; k >= 0 && top < 0; --k) {
        if (r.frac[k] != 0) top = 64 * k + 63 - __builtin_clzll(r.frac[k]);
    }
    if (top < 206) return false;
    const u64 c = chunk(r.frac, 4, top - 63);
    const u64 d = chunk(r.frac, 4, top - 127);
    // |f| = (c 2^64 + d + tail) 2^(top - 383), tail < 1.
    const double hi = static_cast<double>(c & ~0x7ffULL) * pow2(top - 319);
    const double lo = (static_cast<double>(c & 0x7ffULL) * 0x1p64 + static_cast<double>(d)) * pow2(top - 383);
    const DD f = fast_two_sum(hi, lo);
    const double ch = tb::half_pi_hi * scale, cl = tb::half_pi_lo * scale;  // exact
    DD p = two_prod(f.hi, ch);
    p.lo += f.hi * cl + f.lo * ch;
    out = fast_two_sum(p.hi, p.lo);
    if (r.neg) out = {-out.hi, -out.lo};
    return true;
}

// ---------------------------------------------------------------------------
// sin and cos: the fast path.
//
// The argument is reduced by pi/512: x = k pi/512 + r, k an integer and
// |r| <= pi/1024 (1 + 2^-23) (k is x 512/pi rounded after two roundings).
// With q = floor(k / 256) mod 4 and j = k mod 256, x = q pi/2 + a + r with
// a = j pi/512 in [0, pi/2), and
//   sin x = sin(a + r), cos(a + r), -sin(a + r), -cos(a + r)
// for q = 0, 1, 2, 3; cos x = sin(x + pi/2) takes the quadrant q + 1. The
// table holds S = sin a and C = cos a to 106 bits, and
//   sin(a + r) = S (1 + pc) + C r (1 + ps)      (the sine lane),
//   cos(a + r) = C (1 + pc) - S r (1 + ps)      (the cosine lane),
// with cos r = 1 + pc, sin r = r (1 + ps), r = bh + bl (|bl| <= 2^-52.2 |bh|):
//   ps = -bh^2/6 + bh^4/120 - bh^6/5040          (next term below 2^-85)
//   pc = -bh^2/2 + bh^4/24 - bh^6/720 - bh bl     (next term below 2^-82)
// Each lane is U (1 + pc) + V r (1 + ps), (U, V) = (S, C) or (C, -S). No
// branch depends on the data in the common range: k's bits pick the row,
// the lane and the sign.
//
// Error bound, relative to the lane's value R. R >= U/2 (the worst case
// j = 1, r = -pi/1024 of the sine lane, or j = 255, r = pi/1024 of the
// cosine lane, where R = sin(pi/1024) and U = sin(pi/512)), |V r| <= R
// (1 + 2^-20), except at j = 0, where the sine lane is R = sin r
// (U = 0, V = 1, both exact) and the cosine lane R = cos r (U = 1, V = 0).
// |r| <= 2^-8.35, so |pc| <= 2^-17.7 and |ps| <= 2^-19.3.
// - The reduction: r within 2^-106.4 absolute and |r| >= 2^-30.07 (see
//   cody_waite; below 12 within 2^-105 |r|), for the exact reduction within
//   2^-100 |r|: relative to R at most 2^-96 (R >= 2^-8.4), at j = 0 of the
//   sine lane 2^-76.
// - The table: 2^-106 |U| + 2^-106 |V r|, and the rest of V's split,
//   rounded by 2^-79 |V|: below 2^-77.4 R.
// - V r: v27 bh1 exact; p_lo = (v27 bh2 + vr bh) + vh bl, terms below
//   2^-25, 2^-26 and 2^-52.2 of |V r|, three roundings and the use of vh for
//   V in the last: below 2^-75.7 R.
// - ps: b2 = RN(bh^2) and three more roundings on a value below 2^-19.3:
//   2^-70.2; ps of bh for ps of r: 2 bh bl / 6 <= 2^-70.5; the products
//   (vh bh) ps: 2 * 2^-72.3; with the series' truncation, times |V r| <= R:
//   below 2^-69 R.
// - pc: relative error 3 2^-53 of |pc| <= 2^-17.7 (b2's rounding and two
//   additions; the b^4 terms and bh bl are below 2^-88), the product uh pc
//   and U - uh = ul: 2^-68.1 U + 2 2^-70.7 U, and U <= 2 R: below 2^-67.3 R.
// - The low sum ((ul + s.lo) + p_lo) + ((vh bh) ps + uh pc): the first two
//   additions below 2^-24 R, the last two on values below 2^-16.5 R: below
//   2^-68.6 R.
// In all below 2^-66.5 R. The value is left as s.hi + lo, |lo| < 2^-16.5 R,
// not normalised: the rounding test's sums lo -+ err round by up to
// 2^-69.5 R more, and 2^-66.5 + 2^-69.5 < 2^-66.3: the test is run with
// 2^-66 |s.hi| (|s.hi| > R (1 - 2^-16.4)).
constexpr double fast_error = 0x1p-66;

// 1.5 2^52: x + round_shift - round_shift is x rounded to an integer, for
// |x| < 2^51, and the integer (mod 2^51, two's complement) is in the low
// bits of x + round_shift.
constexpr double round_shift = 0x1.8p52;

// 1.0 or -1.0 by the bit: a sign without a branch.
constexpr double signs[2] = {1.0, -1.0};
TARSK_CR_INLINE double sign_by(unsigned bit) { return signs[bit & 1]; }

// One lane: U (1 + pc) + V b (1 + ps) for the table's U = uh + ul and
// V = vh + ... = v27 + vr (v27 its head of 27 bits), b = bh + bl with
// bh = bh1 + bh2 (bh1 of 26 bits). V b is carried as v27 bh1, exact, plus
// v27 bh2 + vr bh + vh bl. The low sum is a tree, its two larger terms
// added first (a shorter chain).
TARSK_CR_INLINE DD sin_cos_lane(double uh, double ul, double vh, double v27, double vr, double bh, double bl,
                                double bh1, double bh2, double ps, double pc) {
    const double p_hi = v27 * bh1;
    const double p_lo = ((v27 * bh2) + vr * bh) + vh * bl;
    // |uh| >= |p_hi| (or uh = 0, at j = 0): U >= sin(pi/512) > |V b|.
    const DD s = fast_two_sum(uh, p_hi);
    const double lo = ((ul + s.lo) + p_lo) + ((vh * bh) * ps + uh * pc);
    // Left unnormalised (|lo| < 2^-16.5 R): the rounding test takes it so.
    return {s.hi, lo};
}

// The parts of r = bh + bl both lanes share: the two series and bh's split.
struct Series {
    double bh, bl, bh1, bh2, ps, pc;
};

TARSK_CR_INLINE Series series_of(double bh, double bl) {
    const double b2 = bh * bh;
    // Estrin's scheme (b^2 and b^4 side by side) shortens the chain.
    const double b4 = b2 * b2;
    const double ps = b2 * -0x1.5555555555555p-3 + b4 * (0x1.1111111111111p-7 + b2 * -0x1.a01a01a01a01ap-13);
    const double pc = (b2 * -0.5 + b4 * (0x1.5555555555555p-5 + b2 * -0x1.6c16c16c16c17p-10)) - bh * bl;
    // bh = bh1 + bh2 with bh1 of 26 bits, bh2 of 27 and below 2^-25 |bh|.
    const double bh1 = head26(bh);
    return {bh, bl, bh1, bh - bh1, ps, pc};
}

// The lane of sin(a + r) (lane 0) or cos(a + r) (lane 1) for row t: the
// table holds each lane's (uh, ul, vh, v27, vr), five in a row.
TARSK_CR_INLINE DD lane_of(const double* t, unsigned lane, const Series& b) {
    const double* v = t + 5 * (lane & 1);
    return sin_cos_lane(v[0], v[1], v[2], v[3], v[4], b.bh, b.bl, b.bh1, b.bh2, b.ps, b.pc);
}

// Cody and Waite's reduction for |x| < 12: k = x 512/pi rounded, |k| < 2^11,
// and r = x - k (s1 + s2 + s3) with s1, s2 of 42 bits (their products with
// k exact) and pi/512 - (s1 + s2 + s3) below 2^-144. As below, t = x - k s1
// is exact (pi/512 - s1 > 2^-48 pi/512); for |t| >= 2^-29 (else false)
// t >= |k s2| (below 2^-38.7), so fast_two_sum carries t - k s2 exactly, and
// |r| >= 2^-29.01. r = s.hi + (s.lo - k s3), left unnormalised for a shorter
// chain: |k s3| < 2^-82.7 < 2^-53.7 |s.hi|, so |bl| <= 2^-52.2 |bh|. The
// error: the tail, k 2^-144 < 2^-133, the rounding of k s3 and of
// s.lo - k s3: r within 2^-105 |r|.
TARSK_CR_INLINE bool cody_waite_short(double x, double& rh, double& rl, unsigned& k) {
    const double kb = x * tb::inv_pi_512 + round_shift;
    const double kd = kb - round_shift;
    const double t = x - kd * tb::pi_512_s1;
    const DD s = fast_two_sum(t, -(kd * tb::pi_512_s2));
    rh = s.hi;
    rl = s.lo - kd * tb::pi_512_s3;
    k = static_cast<unsigned>(to_bits(kb)) & 1023;
    return abs_of(t) >= 0x1p-29;
}

// Cody and Waite's reduction for |x| < 2^20: k = x 512/pi rounded,
// |k| < 2^27.4, and r = x - k (c1 + c2 + c3 + c4) with c1, c2, c3 of 25
// bits (their products with k exact) and pi/512 - (c1 + ... + c4) below
// 2^-134.
// - t = x - k c1 is exact (Sterbenz): for k >= 1, x / (k c1) lies in
//   [1/2, 2]: k is the nearest integer to x 512/pi but for 2^-24.6 (at
//   k = 1 for 2^-51, which pi/512 - c1 > 2^-40 pi/512 covers).
// - t - k c2 is carried exactly by two_sum; |k c3| < 2^-34.5, so for
//   |s1.hi| >= 2^-30 (else false: the exact reduction) the next subtraction
//   is exact by fast_two_sum, and |r| >= 2^-30.07.
// - The rest: the missing tail of pi/512, k 2^-134 < 2^-106.6, the rounding
//   of k c4 (|k c4| < 2^-61.6) and of the two additions of the low part
//   (below 2^-60): r within 2^-106.4 absolute.
// r comes out as a double-double bh + bl, |bl| <= 2^-53 |bh|.
TARSK_CR_INLINE bool cody_waite(double x, double& rh, double& rl, unsigned& k) {
    // k by the rounding of an addition (nearest, ties to even): adding
    // 1.5 2^52 leaves k in the low bits, with less latency than a
    // conversion to an integer and back.
    const double kb = x * tb::inv_pi_512 + round_shift;
    const double kd = kb - round_shift;
    const double t = x - kd * tb::pi_512_c1;
    const DD s1 = two_sum(t, -(kd * tb::pi_512_c2));
    const DD s2 = fast_two_sum(s1.hi, -(kd * tb::pi_512_c3));
    const double lo = (s1.lo + s2.lo) - kd * tb::pi_512_c4;
    const DD r = fast_two_sum(s2.hi, lo);  // |lo| < 2^-59 < |s2.hi|
    rh = r.hi;
    rl = r.lo;
    k = static_cast<unsigned>(to_bits(kb)) & 1023;
    return abs_of(s1.hi) >= 0x1p-30;
}

// The exact reduction for the fast path (|x| >= 2^20, or a reduced argument
// below 2^-30 in Cody and Waite's), kept out of line; false when |r| is too
// small for the fast path.
__attribute__((noinline)) bool reduce_large(double x, double& rh, double& rl, unsigned& k) {
    const Reduction r = reduce(abs_of(x), 10);
    DD d;
    if (!reduced_dd(r, d, 0x1p-8)) return false;
    // -x = (-k) pi/512 + (-r).
    const bool neg = sign_of(x);
    rh = negate_if(d.hi, neg);
    rl = negate_if(d.lo, neg);
    k = (neg ? 1024 - r.q : r.q) & 1023;
    return true;
}

// x = k pi/512 + rh + rl for finite x, |x| >= 2^-27, or false when the
// reduced argument is too small for the fast path.
TARSK_CR_INLINE bool reduce_fast(double x, double& rh, double& rl, unsigned& k) {
    const double ax = abs_of(x);
    if (ax < 12.0) {
        if (cody_waite_short(x, rh, rl, k)) return true;
    } else if (ax < 0x1p20 && cody_waite(x, rh, rl, k)) {
        return true;
    }
    return reduce_large(x, rh, rl, k);
}

// sin x (shift 0) or cos x (shift 1) from the reduction.
TARSK_CR_INLINE DD sin_cos_from(unsigned k, double rh, double rl, unsigned shift) {
    const unsigned q = (k >> 8) + shift;
    const DD v = lane_of(tb::sincos[k & 255], q, series_of(rh, rl));
    const double f = sign_by(q >> 1);
    return {f * v.hi, f * v.lo};
}

// The fast path's double-double value of sin x or cos x (want_cos), or
// false when the reduced argument is too small for it.
TARSK_CR_INLINE bool sin_cos_fast_dd(double x, bool want_cos, DD& out) {
    double rh, rl;
    unsigned k;
    if (!reduce_fast(x, rh, rl, k)) return false;
    out = sin_cos_from(k, rh, rl, want_cos ? 1 : 0);
    return true;
}

// The rounding test on the lane's value (its sign put on the result, as
// rounding to nearest is symmetric): sin x (shift 0) or cos x (shift 1), or
// false when the test fails.
TARSK_CR_INLINE bool sin_cos_rounded(unsigned k, double rh, double rl, unsigned shift, double& out) {
    const unsigned q = (k >> 8) + shift;
    const DD v = lane_of(tb::sincos[k & 255], q, series_of(rh, rl));
    double r;
    if (!rounds_to(v.hi, v.lo, v.hi * fast_error, r)) return false;
    out = sign_by(q >> 1) * r;
    return true;
}

TARSK_CR_INLINE bool sin_cos_fast(double x, bool want_cos, double& out) {
    double rh, rl;
    unsigned k;
    return reduce_fast(x, rh, rl, k) && sin_cos_rounded(k, rh, rl, want_cos ? 1 : 0, out);
}

// sin x and cos x from the reduction: both lanes of the row (the operations
// of sin_cos_rounded, so the same bits), sharing the series; sin x takes
// the quadrant q, cos x q + 1. False when a rounding test fails.
TARSK_CR_INLINE bool sincos_rounded(unsigned k, double rh, double rl, double& s, double& c) {
    const Series b = series_of(rh, rl);
    const double* t = tb::sincos[k & 255];
    const DD ls = lane_of(t, 0, b), lc = lane_of(t, 1, b);
    double r[2];
    const bool ok_s = rounds_to(ls.hi, ls.lo, ls.hi * fast_error, r[0]);
    const bool ok_c = rounds_to(lc.hi, lc.lo, lc.hi * fast_error, r[1]);
    if (!(ok_s && ok_c)) return false;
    const unsigned q = k >> 8;
    s = sign_by(q >> 1) * r[q & 1];
    c = sign_by((q + 1) >> 1) * r[(q + 1) & 1];
    return true;
}

// The common range of sin and cos, 2^-26 <= |x| < 12, in one unsigned
// comparison of the bits.
TARSK_CR_INLINE bool in_short_range(double x) {
    constexpr u64 lo = 0x3e50000000000000ULL;  // 2^-26
    constexpr u64 hi = 0x4028000000000000ULL;  // 12
    return (to_bits(x) & 0x7fffffffffffffffULL) - lo < hi - lo;
}

// Largest double below pi/4.
constexpr double below_quarter_pi = 0x1.921fb54442d18p-1;

double sin_cos_accurate(double x, bool want_cos) {
    const double ax = abs_of(x);
    U256 theta;
    unsigned q = 0;
    bool fneg = false;
    if (ax <= below_quarter_pi) {
        u64 m;
        int e;
        decompose(ax, m, e);
        theta = from_scaled(m, e + 254);  // ax >= 2^-27: e + 254 >= 175
    } else {
        const Reduction r = reduce(ax);
        const U256 f = {{r.frac[0], r.frac[1], r.frac[2], r.frac[3]}};
        theta = mul(shift_right(f, 2), load(tb::half_pi_fixed));
        q = r.q;
        fneg = r.neg;
    }
    const bool odd = (q & 1) != 0;
    const bool use_cos = want_cos != odd;
    const U256 v = use_cos ? cos_fixed(theta) : sin_fixed(theta);
    bool neg = want_cos ? (q == 1 || q == 2) : (q & 2) != 0;
    if (!use_cos && fneg) neg = !neg;
    if (!want_cos && sign_of(x)) neg = !neg;
    return round_fixed(v, 0, neg);
}

// ---------------------------------------------------------------------------
// atan2
//
// With a = min(|x|, |y|) and b = max(|x|, |y|) the result is
//   +-(atan z), +-(pi - atan z), +-(pi/2 - atan z) or +-(pi/2 + atan z)
// for z = a/b in [0, 1], by the quadrant and whether |y| > |x|. Then
// z = c + (z - c), c = j/128 nearest to z, and
//   atan z = atan c + atan t,   t = (a - c b) / (b + c a),   |t| <= 2^-8,
//   atan t = t (1 + q),   q = -t^2/3 + t^4/5 - t^6/7 + t^8/9
// (next term below 2^-80 |t|). Error bound, relative to the result R
// (R >= 2^-8 >= |t| when j >= 1, R >= t (1 - 2^-17) when j = 0; pi/4 <= R
// with an offset): t as a double-double 2^-77 (see atan2_fast_ab); the
// table (atan c with the offset, to 106 bits) 2^-104; q, |q| <= 2^-17.6,
// with a relative error below 4.5 2^-53 (the roundings of t2, c1, c1 + t2
// c2, t2 A and the last sum) and the product th q: 2^-68; q taken at th for
// t, th within 2^-50 |t|, corrected to first order (tl (1 - th^2)): 2^-82;
// the additions of the low parts: 2^-69. In all below 2^-67.4; the value is
// left unnormalised (the low part below 2^-17.5 R), so the rounding test's
// sums round by up to 2^-70.5 R more: below 2^-67.2, and the test is run
// with 2^-66.

struct Atan2Setup {
    u64 am, bm;     // a = am 2^ae, b = bm 2^be
    int ae, be;
    bool swap;      // |y| > |x|: the argument is |x|/|y|
    bool xneg, yneg;
};

enum class Offset { none, pi_minus, half_pi_minus, half_pi_plus };


Offset offset_of(const Atan2Setup& s) {
    if (!s.swap) return s.xneg ? Offset::pi_minus : Offset::none;
    return s.xneg ? Offset::half_pi_plus : Offset::half_pi_minus;
}

// The result for a finite nonzero x and y when no quick answer applies,
// or true with the answer in out.
bool atan2_quick(double y, double x, Atan2Setup& s, double& out) {
    if (is_nan(x) || is_nan(y)) {
        out = x + y;
        return true;
    }
    s.yneg = sign_of(y);
    s.xneg = sign_of(x);
    const double ax = abs_of(x), ay = abs_of(y);
    if (ay == 0.0) {
        out = s.xneg ? negate_if(tb::pi_rn, s.yneg) : y;
        return true;
    }
    if (ax == 0.0) {
        out = negate_if(tb::half_pi_rn, s.yneg);
        return true;
    }
    if (is_inf(ay)) {
        const double r = is_inf(ax) ? (s.xneg ? tb::three_quarter_pi_rn : tb::quarter_pi_rn) : tb::half_pi_rn;
        out = negate_if(r, s.yneg);
        return true;
    }
    if (is_inf(ax)) {
        out = negate_if(s.xneg ? tb::pi_rn : 0.0, s.yneg);
        return true;
    }
    s.swap = ay > ax;
    decompose(s.swap ? ax : ay, s.am, s.ae);
    decompose(s.swap ? ay : ax, s.bm, s.be);
    if (s.ae - s.be < -600) {
        // z < 2^-599: next to pi or pi/2, z is far below half an ulp and
        // neither constant is that close to a rounding boundary.
        const Offset o = offset_of(s);
        if (o != Offset::none) {
            out = negate_if(o == Offset::pi_minus ? tb::pi_rn : tb::half_pi_rn, s.yneg);
            return true;
        }
        // atan z = z (1 - z^2/3 + ...) differs from z by less than 2^-1198
        // relative, while a quotient of two doubles that is not exactly a
        // rounding boundary lies at least 2^-108 (relative) from one: the
        // result is z rounded to nearest, a tie (or an exact z) going
        // toward zero, where atan z lies.
        const u128 n = static_cast<u128>(s.am) << 64;
        const u128 qt = n / s.bm;
        const bool sticky = n % s.bm != 0;
        const int e0 = s.ae - s.be - 64;  // z = (qt + fraction) 2^e0
        const int len = (qt >> 64) != 0 ? 65 : 64;
        int qexp = len - 1 + e0 - 52;
        if (qexp < -1074) qexp = -1074;
        const int drop = qexp - e0;
        double r = 0.0;
        if (drop <= 100) {
            u128 mant = qt >> drop;
            const u128 rest = qt & ((static_cast<u128>(1) << drop) - 1);
            const u128 half = static_cast<u128>(1) << (drop - 1);
            if (rest > half || (rest == half && sticky)) ++mant;
            const double md = static_cast<double>(static_cast<u64>(mant));
            r = qexp >= -1022 ? mul_pow2(md, qexp) : (md * pow2(qexp + 1074)) * 0x1p-1074;
        }
        out = negate_if(r, s.yneg);
        return true;
    }
    return false;
}

double atan2_accurate_setup(const Atan2Setup& s) {
    // z = am/bm 2^(ae - be); j as in the fast path (any j with |t| <= 2^-7
    // serves).
    const int sh = -(s.be + 52);
    const double a = mul_pow2(static_cast<double>(s.am), s.ae + sh);
    const double b = mul_pow2(static_cast<double>(s.bm), s.be + sh);
    const int j = static_cast<int>((a / b) * 128.0 + 0.5);
    U256 base;
    int base_exp = 0;
    if (j == 0) {
        // z < 2^-8: atan z = m 2^d (1 - z^2/3 + z^4/5 - ...) with
        // m = am/bm in (1/2, 2), kept relative to z.
        const int d = s.ae - s.be;
        const U256 m = ratio(s.am, s.bm);
        const U256 z2 = shift_right(mul(m, m), -2 * d);
        base = mul(m, horner(z2, tb::atan_coef, tb::atan_terms));
        base_exp = d;
    } else {
        // t = (128 a - j b) / (128 b + j a) in integers, scaled by 2^-ae.
        const int d = s.be - s.ae;  // 0 <= d <= 9 here
        const i128 bs = static_cast<i128>(s.bm) << d;
        const i128 num = 128 * static_cast<i128>(s.am) - j * bs;
        const i128 den = 128 * bs + j * static_cast<i128>(s.am);
        const bool tneg = num < 0;
        const U256 t = ratio(static_cast<u128>(tneg ? -num : num), static_cast<u128>(den));
        const U256 at = atan_fixed(t);
        base = tneg ? sub(load(tb::atan_fixed[j]), at) : add(load(tb::atan_fixed[j]), at);
    }
    const Offset o = offset_of(s);
    if (o == Offset::none) return round_fixed(base, base_exp, s.yneg);
    const U256 z = base_exp == 0 ? base : shift_right(base, -base_exp);
    U256 v;
    switch (o) {
        case Offset::pi_minus: v = sub(load(tb::pi_fixed), z); break;
        case Offset::half_pi_minus: v = sub(load(tb::half_pi_fixed), z); break;
        default: v = add(load(tb::half_pi_fixed), z); break;
    }
    return round_fixed(v, 0, s.yneg);
}

// The fast path for 0 < a <= b with 2^-601 <= a/b and b < 2^990, a b > 2^-900
// (the exact products of two_prod stay in range; the quotient's low part
// stays normal).
TARSK_CR_INLINE DD atan2_fast_ab(double a, double b, Offset o, bool yneg);

TARSK_CR_INLINE DD atan2_fast_dd(const Atan2Setup& s) {
    const int sh = -(s.be + 52);
    const double a = mul_pow2(static_cast<double>(s.am), s.ae + sh);  // >= 2^-601
    const double b = mul_pow2(static_cast<double>(s.bm), s.be + sh);  // in [1, 2)
    return atan2_fast_ab(a, b, offset_of(s), s.yneg);
}

TARSK_CR_INLINE DD atan2_fast_ab(double a, double b, Offset o, bool yneg) {
    // j = 128 zh rounded to nearest (ties to even) for zh = RN(a/b): then
    // z > c/2 when j >= 1 (128 zh > 1/2 puts zh at least an ulp, 2^-60,
    // above 2^-8, more than its rounding error), and |z - c| <= 2^-8
    // (1 + 2^-45).
    const double zh = a / b;
    const double jb = zh * 128.0 + round_shift;
    const int j = static_cast<int>(to_bits(jb) & 0xff);
    const double jd = jb - round_shift;  // j, at most 8 bits
    // c v = j (v 2^-7) for v = a, b and their parts: the same products, the
    // scaling exact (a 2^-7 stays normal).
    const double a7 = a * 0x1p-7, b7 = b * 0x1p-7;
    // n = a - c b exactly: c b1 and c b2 are exact (8 bits times 26 and 27),
    // and a - c b1 is exact by Sterbenz's lemma, a / (c b1) lying in
    // [z/c, (z/c) (1 + 2^-25)] within [1/2, 2] (for j = 0, c b = 0).
    const double b1 = head26(b7);
    const DD n = two_sum(a - jd * b1, -(jd * (b7 - b1)));
    // d = b + c a = dh + dl: dh = RN(b + RN(c a)), soon known for the
    // division (within 2^-52 d); dl = ((b - dh) + c a1) + c a2 with c a1 and
    // c a2 exact, b - dh exact (Sterbenz's lemma: b <= dh <= 2 b), the next
    // sum below 2^-52 d and rounded by 2^-105 d, the last rounded by
    // 2^-53 (2^-52 + 2^-25) d: d within 2^-78 d.
    const double dh = b + jd * a7;
    const double a1 = head26(a7);
    const double dl = ((b - dh) + jd * a1) + jd * (a7 - a1);
    const double inv_d = 1.0 / dh;
    // The result is f (T + sg atan t): T = atan c or an offset less or plus
    // it, from the table, sg = -1 for the offsets less atan t (atan t is
    // odd), f = -1 for y < 0; the signs go on early, off the long chain.
    const int oi = static_cast<int>(o);
    const double f = sign_by(yneg ? 1 : 0);
    const double fs = sign_by((yneg ? 1U : 0U) ^ ((oi == 1 || oi == 2) ? 1U : 0U));
    const double* tv = tb::atan_dd[oi][j];
    // t = n / d = th + tl: th within 2^-50 |t| (two ulps of n.hi / dh), tl
    // from the remainder rho = n - th d = (n.hi - th dh) + (n.lo - th dl).
    // With th = th1 + th2, dh = dh1 + dh2 (26-bit heads, tails of at most 27
    // bits below 2^-25 of the whole), n.hi - th dh is taken off product by
    // product: n.hi - th1 dh1 is exact (Sterbenz's lemma: th1 dh1 is n.hi
    // but for 2^-24); the next two differences, below 2^-23.9 |n| and
    // 2^-49 |n| on the grid of the products (2^-77 of the binade of th dh),
    // are exact but for at most a rounding of 2^-78 |n| (when the first comes
    // out a hair above 2^-24 of that binade); the product th2 dh2 (up to 54
    // bits) and the last difference round by 2^-104 |n|. Each other step
    // rounds by less than 2^-102 |n|: t within 2^-77 |t| (d's error 2^-78 and
    // these 2^-78).
    const double th = n.hi * inv_d;
    const double th1 = head26(th), dh1 = head26(dh);
    const double th2 = th - th1, dh2 = dh - dh1;
    const double rho = ((((n.hi - th1 * dh1) - th1 * dh2) - th2 * dh1) - th2 * dh2) + (n.lo - th * dl);
    // q by Estrin's scheme: t2 A + t6 B, A = c1 + t2 c2, B = c3 + t2 c4.
    const double t2 = th * th;
    const double t4 = t2 * t2;
    const double q = t2 * (-0x1.5555555555555p-2 + t2 * 0x1.999999999999ap-3) +
                     (t4 * t2) * (-0x1.2492492492492p-3 + t2 * 0x1.c71c71c71c71cp-4);
    // atan(th + tl) = atan th + tl / (1 + th^2): th is t but for up to
    // 2^-50 |t|, so tl (1 - th^2) = rho (fs / dh) (1 - th^2), with fs (the
    // next term, tl th^4, below 2^-82 |t|; the product's four roundings
    // below 2^-100 |t|).
    const double m = (fs * inv_d) * (1.0 - t2);
    const double ths = fs * th;
    const DD w = two_sum(f * tv[0], ths);
    const double lo = ((f * tv[1] + w.lo) + rho * m) + ths * q;
    return {w.hi, lo};
}

TARSK_CR_INLINE bool atan2_fast(const Atan2Setup& s, double& out) {
    const DD v = atan2_fast_dd(s);
    return rounds_to(v.hi, v.lo, v.hi * fast_error, out);
}

// ---------------------------------------------------------------------------
// hypot
//
// With M = max(|x|, |y|) scaled into [1, 2) and m the other, S = M^2 + m^2
// is the exact sum of the four doubles of two_prod(M, M) and two_prod(m, m)
// (the fast path takes the squares on 26-bit heads, square_dd: within
// 2^-104 of each). r = sqrt(S_hi) corrected by (S - r^2) (0.5/r) is within
// 2^-100 of sqrt S (relative); the rounding test runs with 2^-95. When it
// fails (the square
// root is within 2^-95 of a rounding boundary, or on one: sqrt S can be
// exactly the midpoint of two doubles), the sign of S - B^2 for the boundary
// B decides, computed exactly as the sign of a sum of eight doubles.

// The sign of the exact sum of v[0..n), n <= 8, by Shewchuk's expansion
// growth: the components come out non-overlapping, so the largest nonzero
// one carries the sign of the sum.
int sign_of_sum(const double* v, int n) {
    double e[8];
    int len = 0;
    for (int i = 0; i < n; ++i) {
        double q = v[i];
        for (int k = 0; k < len; ++k) {
            const DD s = two_sum(q, e[k]);
            q = s.hi;
            e[k] = s.lo;
        }
        e[len++] = q;
    }
    for (int k = len - 1; k >= 0; --k) {
        if (e[k] > 0.0) return 1;
        if (e[k] < 0.0) return -1;
    }
    return 0;
}

// sign(S - (c + h)^2) with S = s[0] + ... + s[3].
int compare_square(const double* s, double c, double h) {
    const DD cc = two_prod(c, c);
    const double v[8] = {s[0], s[1], s[2], s[3], -cc.hi, -cc.lo, -(2.0 * c) * h, -(h * h)};
    return sign_of_sum(v, 8);
}

bool is_even(double c) { return (to_bits(c) & 1) == 0; }

struct HypotSetup {
    double big, small;  // scaled: big in [1, 2)
    int scale;          // the result is multiplied by 2^scale
};

// Special values and the cases not needing the scaled computation; false
// with the setup filled otherwise.
bool hypot_quick(double x, double y, HypotSetup& h, double& out) {
    const double ax = abs_of(x), ay = abs_of(y);
    if (is_inf(ax) || is_inf(ay)) {
        out = __builtin_inf();
        return true;
    }
    if (is_nan(ax) || is_nan(ay)) {
        out = x + y;
        return true;
    }
    const double big = ax > ay ? ax : ay;
    const double small = ax > ay ? ay : ax;
    if (small == 0.0) {
        out = big;
        return true;
    }
    u64 mb, ms;
    int eb, es;
    decompose(big, mb, eb);
    decompose(small, ms, es);
    if (eb - es >= 28) {
        // small/big < 2^-27: sqrt(1 + z^2) - 1 < 2^-55, below half an ulp
        // above big, and not zero: the result is big.
        out = big;
        return true;
    }
    if ((to_bits(big) >> 52) == 0) {
        // Both subnormal: with big = X 2^-1074, small = Y 2^-1074 the
        // result is 2^-1074 sqrt(X^2 + Y^2) rounded to an integer (below
        // 2^53): the integer square root and the exact comparison with the
        // midpoint (never a tie: 4N is even, (2s+1)^2 odd).
        const u64 X = to_bits(big), Y = to_bits(small);
        const u128 n = static_cast<u128>(X) * X + static_cast<u128>(Y) * Y;
        u64 s = static_cast<u64>(__builtin_sqrt(static_cast<double>(n)));
        while (static_cast<u128>(s) * s > n) --s;
        while (static_cast<u128>(s + 1) * (s + 1) <= n) ++s;
        if (4 * n > static_cast<u128>(2 * s + 1) * (2 * s + 1)) ++s;
        out = static_cast<double>(s) * 0x1p-1074;
        return true;
    }
    h.scale = eb + 52;
    h.big = mul_pow2(big, -h.scale);
    h.small = mul_pow2(small, -h.scale);
    return false;
}

double hypot_exact_scaled(const HypotSetup& h, double approx) {
    const DD b2 = two_prod(h.big, h.big);
    const DD s2 = two_prod(h.small, h.small);
    const double s[4] = {b2.hi, b2.lo, s2.hi, s2.lo};
    // approx is within one ulp of the result: check the boundaries on
    // either side of it.
    const double c = approx;
    const double up = from_bits(to_bits(c) + 1), down = from_bits(to_bits(c) - 1);
    const int above = compare_square(s, c, (up - c) * 0.5);
    if (above > 0) return up;
    if (above == 0) return is_even(c) ? c : up;
    const int below = compare_square(s, c, -((c - down) * 0.5));
    if (below < 0) return down;
    if (below == 0) return is_even(c) ? c : down;
    return c;
}

// v^2 = p + e with v = v1 + v2 (v1 = head26(v), v2 of at most 27 bits):
// v1 v1 - p is exact (within 2^-23.9 of p, on p's grid), adding the exact
// 2 v1 v2 leaves the rest, below 2^-50 p, exactly, and v2 v2 (up to 54 bits)
// and the last sum round by less than 2^-104 p. A shorter chain than
// two_prod's (one mask for Veltkamp's three operations).
TARSK_CR_INLINE DD square_dd(double v) {
    const double p = v * v;
    const double v1 = head26(v);
    const double v2 = v - v1;
    return {p, ((v1 * v1 - p) + (v1 + v1) * v2) + v2 * v2};
}

// The fast path's sqrt(S) as r + rl (scaled). The squares within 2^-104,
// r^2 within 2^-104 r^2, and the correction's factor 0.5/r (a division
// beside the product, not after it) within 2^-52: in all below 2^-100.
TARSK_CR_INLINE DD hypot_fast_dd(const HypotSetup& h) {
    const DD b2 = square_dd(h.big);
    const DD s2 = square_dd(h.small);
    const DD s = two_sum(b2.hi, s2.hi);
    const double sl = (b2.lo + s2.lo) + s.lo;
    const double r = __builtin_sqrt(s.hi);
    const double half_inv = 0.5 / r;
    const DD rr = square_dd(r);
    const double d = ((s.hi - rr.hi) - rr.lo) + sl;
    return {r, d * half_inv};
}

constexpr double hypot_error = 0x1p-95;

double hypot_scaled(const HypotSetup& h, bool force_exact) {
    const DD v = hypot_fast_dd(h);
    double res;
    if (force_exact || !rounds_to(v.hi, v.lo, v.hi * hypot_error, res)) res = hypot_exact_scaled(h, v.hi + v.lo);
    return mul_pow2(res, h.scale);
}

}  // namespace

// ---------------------------------------------------------------------------
// The functions

double sin(double x) {
    double rh, rl, r;
    unsigned k;
    if (in_short_range(x) && cody_waite_short(x, rh, rl, k)) {
        if (sin_cos_rounded(k, rh, rl, 0, r)) return r;
        return sin_cos_accurate(x, false);
    }
    const double ax = abs_of(x);
    if (!(ax < __builtin_inf())) return x - x;  // NaN for inf and NaN
    // |x| < 2^-26: sin x = x (1 - x^2/6 + ...), less than half an ulp below.
    if (ax < 0x1p-26) return x;
    if (sin_cos_fast(x, false, r)) return r;
    return sin_cos_accurate(x, false);
}

double cos(double x) {
    double rh, rl, r;
    unsigned k;
    if (in_short_range(x) && cody_waite_short(x, rh, rl, k)) {
        if (sin_cos_rounded(k, rh, rl, 1, r)) return r;
        return sin_cos_accurate(x, true);
    }
    const double ax = abs_of(x);
    if (!(ax < __builtin_inf())) return x - x;
    // |x| < 2^-27: 1 - x^2/2 > 1 - 2^-55, above the midpoint 1 - 2^-54.
    if (ax < 0x1p-27) return 1.0;
    if (sin_cos_fast(x, true, r)) return r;
    return sin_cos_accurate(x, true);
}

void sincos(double x, double& s, double& c) {
    double rh, rl;
    unsigned k;
    if (in_short_range(x) && cody_waite_short(x, rh, rl, k)) {
        if (sincos_rounded(k, rh, rl, s, c)) return;
        s = sin_cos_accurate(x, false);
        c = sin_cos_accurate(x, true);
        return;
    }
    const double ax = abs_of(x);
    if (!(ax < __builtin_inf())) {
        s = c = x - x;
        return;
    }
    if (ax < 0x1p-26) {
        s = x;
        c = cos(x);
        return;
    }
    if (!reduce_fast(x, rh, rl, k) || !sincos_rounded(k, rh, rl, s, c)) {
        s = sin_cos_accurate(x, false);
        c = sin_cos_accurate(x, true);
    }
}

double atan2(double y, double x) {
    // Finite nonzero arguments within 2^-250 to 2^250 of 1 need neither the
    // special cases nor scaling.
    const u64 ux = to_bits(x) & 0x7fffffffffffffffULL, uy = to_bits(y) & 0x7fffffffffffffffULL;
    const u64 lo_exp = static_cast<u64>(1023 - 250) << 52, span = static_cast<u64>(500) << 52;
    if (ux - lo_exp < span && uy - lo_exp < span) {
        const bool swap = uy > ux, xneg = sign_of(x), yneg = sign_of(y);
        const double ax = from_bits(ux), ay = from_bits(uy);
        const Offset o = swap ? (xneg ? Offset::half_pi_plus : Offset::half_pi_minus)
                              : (xneg ? Offset::pi_minus : Offset::none);
        const DD v = atan2_fast_ab(swap ? ax : ay, swap ? ay : ax, o, yneg);
        double r;
        if (rounds_to(v.hi, v.lo, v.hi * fast_error, r)) return r;
    }
    Atan2Setup s;
    double r;
    if (atan2_quick(y, x, s, r)) return r;
    if (atan2_fast(s, r)) return r;
    return atan2_accurate_setup(s);
}

double hypot(double x, double y) {
    // Both within 2^-400 to 2^400 of 1: the squares and their exact parts
    // stay normal, no scaling is needed.
    const u64 ux = to_bits(x) & 0x7fffffffffffffffULL, uy = to_bits(y) & 0x7fffffffffffffffULL;
    const u64 lo_exp = static_cast<u64>(1023 - 400) << 52, span = static_cast<u64>(800) << 52;
    if (ux - lo_exp < span && uy - lo_exp < span) {
        const HypotSetup direct{from_bits(ux > uy ? ux : uy), from_bits(ux > uy ? uy : ux), 0};
        const DD v = hypot_fast_dd(direct);
        double r;
        if (rounds_to(v.hi, v.lo, v.hi * hypot_error, r)) return r;
    }
    HypotSetup h;
    double r;
    if (hypot_quick(x, y, h, r)) return r;
    return hypot_scaled(h, false);
}

namespace {
// ---------------------------------------------------------------------------
// Several pairs at once
//
// The fast paths of atan2 and hypot over four lanes: each lane runs the same
// IEEE operations in the same order as the scalar function's first path
// (atan2_fast_ab and hypot_fast_dd for arguments in their direct ranges),
// so it gives the same bits; the bit operations (masks, signs, selections)
// are exact. A lane outside the direct range, or whose rounding test fails,
// is redone by the scalar function.

// (The helpers take and return four-double vectors; all are inlined, so the
// calling convention for them without AVX, which GCC warns of at the end of
// the file, never applies.)
#if defined(__GNUC__)
#pragma GCC diagnostic ignored "-Wpsabi"
#endif
using VD = double __attribute__((vector_size(32)));
using VU = u64 __attribute__((vector_size(32)));
constexpr int vlanes = 4;

TARSK_CR_INLINE VD vload(const double* p) {
    VD v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
TARSK_CR_INLINE VU vbits(const VD& v) { return (VU)v; }
TARSK_CR_INLINE VD vfrom(const VU& u) { return (VD)u; }
// m ? a : b for a lane mask m of all ones or all zeros.
TARSK_CR_INLINE VU vselect(const VU& m, const VU& a, const VU& b) { return (m & a) | (~m & b); }
TARSK_CR_INLINE VD vhead26(const VD& v) { return vfrom(vbits(v) & ~((1ULL << 27) - 1)); }

struct VDD {
    VD hi, lo;
};

TARSK_CR_INLINE VDD vtwo_sum(const VD& a, const VD& b) {
    const VD s = a + b;
    const VD bb = s - a;
    const VD e = (a - (s - bb)) + (b - bb);
    return {s, e};
}

TARSK_CR_INLINE VDD vsquare_dd(const VD& v) {
    const VD p = v * v;
    const VD v1 = vhead26(v);
    const VD v2 = v - v1;
    return {p, ((v1 * v1 - p) + (v1 + v1) * v2) + v2 * v2};
}

// 1.0 or -1.0 by the lowest bit of s (the other bits zero).
TARSK_CR_INLINE VD vsign(const VU& s) { return vfrom((s << 63) | to_bits(1.0)); }

// atan2 of four lanes: the result of each lane, and in ok all ones for the
// lanes that are done.
TARSK_CR_INLINE void atan2_lanes(const double* yp, const double* xp, double* out, VU& ok) {
    const VU by = vbits(vload(yp)), bx = vbits(vload(xp));
    const VU mag = VU{} + 0x7fffffffffffffffULL;
    const VU ux = bx & mag, uy = by & mag;
    const VU lo_exp = VU{} + (static_cast<u64>(1023 - 250) << 52), span = VU{} + (static_cast<u64>(500) << 52);
    const VU in_range = (VU)((ux - lo_exp < span) & (uy - lo_exp < span));
    const VU swap = (VU)(uy > ux);
    const VU one = VU{} + to_bits(1.0);
    // Lanes out of range compute with a = b = 1 (their table index stays in
    // bounds) and are redone.
    const VD a = vfrom(vselect(in_range, vselect(swap, ux, uy), one));
    const VD b = vfrom(vselect(in_range, vselect(swap, uy, ux), one));
    const VU xneg = bx >> 63, yneg = by >> 63;
    const VU oi = ((swap & 1) << 1) | xneg;  // the Offset: none, pi_minus, half_pi_minus, half_pi_plus
    const VD f = vsign(yneg);
    const VD fs = vsign(yneg ^ xneg ^ (swap & 1));

    const VD zh = a / b;
    const VD jb = zh * 128.0 + round_shift;
    const VU j = vbits(jb) & 0xff;
    const VD jd = jb - round_shift;
    const VD a7 = a * 0x1p-7, b7 = b * 0x1p-7;
    const VD b1 = vhead26(b7);
    const VDD n = vtwo_sum(a - jd * b1, -(jd * (b7 - b1)));
    const VD dh = b + jd * a7;
    const VD a1 = vhead26(a7);
    const VD dl = ((b - dh) + jd * a1) + jd * (a7 - a1);
    const VD inv_d = 1.0 / dh;
    VD tv0, tv1;
    for (int k = 0; k < vlanes; ++k) {
        const double* tv = tb::atan_dd[oi[k]][j[k]];
        tv0[k] = tv[0];
        tv1[k] = tv[1];
    }
    const VD th = n.hi * inv_d;
    const VD th1 = vhead26(th), dh1 = vhead26(dh);
    const VD th2 = th - th1, dh2 = dh - dh1;
    const VD rho = ((((n.hi - th1 * dh1) - th1 * dh2) - th2 * dh1) - th2 * dh2) + (n.lo - th * dl);
    const VD t2 = th * th;
    const VD t4 = t2 * t2;
    const VD q = t2 * (-0x1.5555555555555p-2 + t2 * 0x1.999999999999ap-3) +
                 (t4 * t2) * (-0x1.2492492492492p-3 + t2 * 0x1.c71c71c71c71cp-4);
    const VD m = (fs * inv_d) * (1.0 - t2);
    const VD ths = fs * th;
    const VDD w = vtwo_sum(f * tv0, ths);
    const VD lo = ((f * tv1 + w.lo) + rho * m) + ths * q;
    // The rounding test of rounds_to.
    const VD err = w.hi * fast_error;
    const VD r0 = w.hi + (lo - err);
    const VD r1 = w.hi + (lo + err);
    ok = in_range & (VU)(r0 == r1);
    std::memcpy(out, &r0, sizeof r0);
}

TARSK_CR_INLINE void hypot_lanes(const double* xp, const double* yp, double* out, VU& ok) {
    const VU mag = VU{} + 0x7fffffffffffffffULL;
    const VU ux = vbits(vload(xp)) & mag, uy = vbits(vload(yp)) & mag;
    const VU lo_exp = VU{} + (static_cast<u64>(1023 - 400) << 52), span = VU{} + (static_cast<u64>(800) << 52);
    const VU in_range = (VU)((ux - lo_exp < span) & (uy - lo_exp < span));
    const VU xbig = (VU)(ux > uy);
    const VU one = VU{} + to_bits(1.0);
    const VD big = vfrom(vselect(in_range, vselect(xbig, ux, uy), one));
    const VD small = vfrom(vselect(in_range, vselect(xbig, uy, ux), one));
    const VDD b2 = vsquare_dd(big);
    const VDD s2 = vsquare_dd(small);
    const VDD s = vtwo_sum(b2.hi, s2.hi);
    const VD sl = (b2.lo + s2.lo) + s.lo;
    VD r;
    for (int k = 0; k < vlanes; ++k) r[k] = __builtin_sqrt(s.hi[k]);
    const VD half_inv = 0.5 / r;
    const VDD rr = vsquare_dd(r);
    const VD d = ((s.hi - rr.hi) - rr.lo) + sl;
    const VD lo = d * half_inv;
    const VD err = r * hypot_error;
    const VD r0 = r + (lo - err);
    const VD r1 = r + (lo + err);
    ok = in_range & (VU)(r0 == r1);
    std::memcpy(out, &r0, sizeof r0);
}

TARSK_CR_INLINE void atan2_all(const double* y, const double* x, double* out, std::size_t n) {
    std::size_t i = 0;
    for (; i + vlanes <= n; i += vlanes) {
        VU ok;
        double r[vlanes];
        atan2_lanes(y + i, x + i, r, ok);
        for (int k = 0; k < vlanes; ++k) {
            if (ok[k] == 0) r[k] = atan2(y[i + k], x[i + k]);
        }
        std::memcpy(out + i, r, sizeof r);
    }
    for (; i < n; ++i) out[i] = atan2(y[i], x[i]);
}

TARSK_CR_INLINE void hypot_all(const double* x, const double* y, double* out, std::size_t n) {
    std::size_t i = 0;
    for (; i + vlanes <= n; i += vlanes) {
        VU ok;
        double r[vlanes];
        hypot_lanes(x + i, y + i, r, ok);
        for (int k = 0; k < vlanes; ++k) {
            if (ok[k] == 0) r[k] = hypot(x[i + k], y[i + k]);
        }
        std::memcpy(out + i, r, sizeof r);
    }
    for (; i < n; ++i) out[i] = hypot(x[i], y[i]);
}

[[gnu::noinline]] void atan2_base(const double* y, const double* x, double* out, std::size_t n) {
    atan2_all(y, x, out, n);
}
[[gnu::noinline]] void hypot_base(const double* x, const double* y, double* out, std::size_t n) {
    hypot_all(x, y, out, n);
}

#if defined(__x86_64__)
[[gnu::noinline, gnu::target("avx2")]] void atan2_avx2(const double* y, const double* x, double* out,
                                                       std::size_t n) {
    atan2_all(y, x, out, n);
}
[[gnu::noinline, gnu::target("avx2")]] void hypot_avx2(const double* x, const double* y, double* out,
                                                       std::size_t n) {
    hypot_all(x, y, out, n);
}

#endif

}  // namespace

void atan2_n(const double* y, const double* x, double* out, std::size_t n) {
#if defined(__x86_64__)
    if (vector_isa() != VectorIsa::base) return atan2_avx2(y, x, out, n);
#endif
    atan2_base(y, x, out, n);
}

void hypot_n(const double* x, const double* y, double* out, std::size_t n) {
#if defined(__x86_64__)
    if (vector_isa() != VectorIsa::base) return hypot_avx2(x, y, out, n);
#endif
    hypot_base(x, y, out, n);
}

namespace detail {

double sin_accurate(double x) {
    const double ax = abs_of(x);
    if (!(ax < __builtin_inf())) return x - x;
    if (ax < 0x1p-26) return x;
    return sin_cos_accurate(x, false);
}

double cos_accurate(double x) {
    const double ax = abs_of(x);
    if (!(ax < __builtin_inf())) return x - x;
    if (ax < 0x1p-27) return 1.0;
    return sin_cos_accurate(x, true);
}

double atan2_accurate(double y, double x) {
    Atan2Setup s;
    double r;
    if (atan2_quick(y, x, s, r)) return r;
    return atan2_accurate_setup(s);
}

double hypot_exact(double x, double y) {
    HypotSetup h;
    double r;
    if (hypot_quick(x, y, h, r)) return r;
    return hypot_scaled(h, true);
}

namespace {
int decided(bool taken, const DD& v, double err, double& hi, double& lo) {
    if (!taken) {
        hi = lo = __builtin_nan("");
        return -1;
    }
    hi = v.hi;
    lo = v.lo;
    double r;
    return rounds_to(v.hi, v.lo, err, r) ? 1 : 0;
}
}  // namespace

int sin_fast(double x, double& hi, double& lo) {
    const double ax = abs_of(x);
    DD v{0.0, 0.0};
    const bool taken = ax < __builtin_inf() && ax >= 0x1p-26 && sin_cos_fast_dd(x, false, v);
    return decided(taken, v, abs_of(v.hi) * fast_error, hi, lo);
}

int cos_fast(double x, double& hi, double& lo) {
    const double ax = abs_of(x);
    DD v{0.0, 0.0};
    const bool taken = ax < __builtin_inf() && ax >= 0x1p-27 && sin_cos_fast_dd(x, true, v);
    return decided(taken, v, abs_of(v.hi) * fast_error, hi, lo);
}

int atan2_fast(double y, double x, double& hi, double& lo) {
    Atan2Setup s;
    double r;
    DD v{0.0, 0.0};
    const bool taken = !atan2_quick(y, x, s, r);
    if (taken) v = atan2_fast_dd(s);
    return decided(taken, v, abs_of(v.hi) * fast_error, hi, lo);
}

int hypot_fast(double x, double y, double& hi, double& lo) {
    HypotSetup h;
    double r;
    DD v{0.0, 0.0};
    const bool taken = !hypot_quick(x, y, h, r);
    if (taken) v = hypot_fast_dd(h);
    const int d = decided(taken, v, v.hi * hypot_error, hi, lo);
    if (taken) {
        hi = mul_pow2(hi, h.scale);
        lo = mul_pow2(lo, h.scale);
    }
    return d;
}

}  // namespace detail
}  // namespace tarsk::cr
