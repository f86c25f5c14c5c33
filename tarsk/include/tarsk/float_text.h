#pragma once
#include <initializer_list>
#include <string>
#include <string_view>

namespace tarsk {

// Shortest round-trip decimal text of a double, written positionally (never
// with an exponent): "NaN", "inf", "-inf", "-0", "0.1", "100000000000000000000".
std::string float_text(double value);

// Appends float_text(value) to out without an intermediate string.
void append_float_text(std::string& out, double value);

// Appends "name(v1, v2, ...)" with each value in the float text form: the
// text of every value type of the library that is a tuple of doubles.
void append_tuple_text(std::string& out, std::string_view name, std::initializer_list<double> values);

// The value with exactly `precision` digits after the decimal point (rounded),
// with the same spelling of NaN and the infinities as float_text.
std::string float_text_fixed(double value, int precision);

}  // namespace tarsk
