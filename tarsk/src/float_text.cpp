#include "tarsk/float_text.h"

#include <charconv>
#include <cmath>
#include <system_error>

namespace tarsk {

namespace {

// Lays out the shortest digits of a finite, non-negative value positionally.
// std::to_chars in scientific form gives the shortest round-trip digits and
// their decimal exponent ("d.ddde+XX"); the point is then placed by hand,
// since the fixed form would print the exact (long) expansion instead.
void append_positional(std::string& out, double magnitude) {
    char buf[64];
    auto res = std::to_chars(buf, buf + sizeof buf, magnitude, std::chars_format::scientific);
    char digits[32];
    int ndigits = 0;
    const char* p = buf;
    for (; p < res.ptr && *p != 'e'; ++p) {
        if (*p != '.') digits[ndigits++] = *p;
    }
    // The exponent after 'e': a sign, then decimal digits up to the end of
    // the (unterminated) buffer.
    int exponent = 0;
    const char* e = p + 1;
    bool negative = e < res.ptr && *e == '-';
    if (e < res.ptr && (*e == '-' || *e == '+')) ++e;
    std::from_chars(e, res.ptr, exponent);
    if (negative) exponent = -exponent;
    // Trailing zeros carry no information ("1e+20" has one digit already, but
    // "1.5e+00" style output never has them; keep the guard for safety).
    while (ndigits > 1 && digits[ndigits - 1] == '0') --ndigits;
    if (ndigits == 1 && digits[0] == '0') {
        out.push_back('0');
        return;
    }
    // The value is 0.d1d2...dn x 10^(exponent + 1).
    int point = exponent + 1;  // digits before the decimal point
    if (point <= 0) {
        out.append("0.");
        out.append(static_cast<size_t>(-point), '0');
        out.append(digits, static_cast<size_t>(ndigits));
    } else if (point >= ndigits) {
        out.append(digits, static_cast<size_t>(ndigits));
        out.append(static_cast<size_t>(point - ndigits), '0');
    } else {
        out.append(digits, static_cast<size_t>(point));
        out.push_back('.');
        out.append(digits + point, static_cast<size_t>(ndigits - point));
    }
}

bool append_special(std::string& out, double value) {
    if (std::isnan(value)) {
        out.append("NaN");
        return true;
    }
    if (std::isinf(value)) {
        out.append(value < 0 ? "-inf" : "inf");
        return true;
    }
    return false;
}

}  // namespace

void append_float_text(std::string& out, double value) {
    if (append_special(out, value)) return;
    if (std::signbit(value)) out.push_back('-');
    append_positional(out, std::fabs(value));
}

void append_tuple_text(std::string& out, std::string_view name, std::initializer_list<double> values) {
    out.append(name);
    out.push_back('(');
    bool first = true;
    for (double v : values) {
        if (!first) out.append(", ");
        append_float_text(out, v);
        first = false;
    }
    out.push_back(')');
}

std::string float_text(double value) {
    std::string out;
    append_float_text(out, value);
    return out;
}

std::string float_text_fixed(double value, int precision) {
    std::string out;
    if (append_special(out, value)) return out;
    if (precision < 0) precision = 0;
    // A double needs at most 309 integral digits; the fraction is bounded by
    // the requested precision.
    std::string buf(static_cast<size_t>(precision) + 330, '\0');
    auto res = std::to_chars(buf.data(), buf.data() + buf.size(), value, std::chars_format::fixed,
                             precision);
    if (res.ec != std::errc()) return float_text(value);
    out.assign(buf.data(), res.ptr);
    return out;
}

}  // namespace tarsk
