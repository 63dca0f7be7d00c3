// Checked arithmetic and number formatting of the platform.
//
// Loop counters and day/hour offsets are 16-bit; leaving that range is the overflow
// error (6). Floating point is checked after every operation: a finite non-zero number
// divided by zero is error 11; zero by zero, an infinite or NaN operand or result, and a
// result beyond the double (or, for Singles, the float) range are error 6.
#pragma once

#include <cmath>
#include <cstdint>
#include <string>

namespace trend {

// 16-bit integer arithmetic; overflow raises error 6.
int16_t ToInt16(int64_t v);
int16_t AddI16(int16_t a, int16_t b);
int16_t SubI16(int16_t a, int16_t b);
int16_t MulI16(int16_t a, int16_t b);

// Raises the overflow error (6).
[[noreturn]] void RaiseNumericOverflow();

// Checked doubles. Sums and products sit in the models' inner loops: inline.
inline double CheckedAdd(double a, double b) {
  const double r = a + b;
  if (!std::isfinite(a) || !std::isfinite(b) || !std::isfinite(r)) RaiseNumericOverflow();
  return r;
}
inline double CheckedSub(double a, double b) {
  const double r = a - b;
  if (!std::isfinite(a) || !std::isfinite(b) || !std::isfinite(r)) RaiseNumericOverflow();
  return r;
}
inline double CheckedMul(double a, double b) {
  const double r = a * b;
  if (!std::isfinite(a) || !std::isfinite(b) || !std::isfinite(r)) RaiseNumericOverflow();
  return r;
}
double CheckedDiv(double a, double b);
double CheckedSqrt(double a);  // a negative operand is error 5

// Rounding to integers, halves to even; out of range raises error 6.
int16_t RoundToInt16(double v);
int32_t RoundToInt32(double v);
// The nearest Single; beyond the float range raises error 6.
float RoundToSingle(double v);

// The general text form of a Double: up to 15 significant digits, no trailing zeros, no
// decimal point for whole values ("0" for zero), exponent form ("1.5E+20", "1E-05") only
// when the decimal exponent is 15 or more, or below -4. Independent of the locale.
std::string FormatDouble(double v);
// The same for a Single, with 7 significant digits.
std::string FormatSingle(float v);

}  // namespace trend
