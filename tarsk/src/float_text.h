#pragma once
#include <string>

namespace tarsk {

// Shortest round-trip decimal text of a double, written positionally (never
// with an exponent): "NaN", "inf", "-inf", "-0", "0.1", "100000000000000000000".
std::string float_text(double value);

// Appends float_text(value) to out without an intermediate string.
void append_float_text(std::string& out, double value);

// The value with exactly `precision` digits after the decimal point (rounded),
// with the same spelling of NaN and the infinities as float_text.
std::string float_text_fixed(double value, int precision);

}  // namespace tarsk
