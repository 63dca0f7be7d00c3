#include "numeric.h"

#include <charconv>
#include <cmath>
#include <limits>

#include "error.h"

namespace trend {
namespace {

int16_t NarrowI16(int64_t v) {
  if (v < INT16_MIN || v > INT16_MAX) RaisePlatformError(kOverflow);
  return static_cast<int16_t>(v);
}

double CheckResult(double r) {
  if (!std::isfinite(r)) RaisePlatformError(kOverflow);
  return r;
}

void CheckOperands(double a, double b) {
  if (!std::isfinite(a) || !std::isfinite(b)) RaisePlatformError(kOverflow);
}

// `digits` significant digits of v laid out in the general form described in numeric.h.
std::string FormatGeneral(double v, int digits) {
  if (std::isnan(v)) return "NaN";
  if (std::isinf(v)) return v < 0 ? "-Infinity" : "Infinity";
  if (v == 0) return "0";
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific, digits - 1);
  std::string sci(buf, res.ptr);  // "-d.ddddde+XX"
  if (double back = 0; std::from_chars(buf, res.ptr, back).ec == std::errc::result_out_of_range ||
                       std::isinf(back)) {
    // Rounded to nearest, the digits of a value next to the largest Double name a number
    // beyond it, which would not read back: cut the digits toward zero instead.
    res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific, 20);
    sci.assign(buf, res.ptr);
    auto e = sci.find('e');
    sci = sci.substr(0, static_cast<size_t>(digits) + (sci[0] == '-' ? 2 : 1)) + sci.substr(e);
  }
  bool negative = sci[0] == '-';
  if (negative) sci.erase(0, 1);
  auto epos = sci.find('e');
  int exponent = std::stoi(sci.substr(epos + 1));
  std::string mantissa;  // the significant digits, trailing zeros removed
  for (size_t i = 0; i < epos; ++i)
    if (sci[i] != '.') mantissa += sci[i];
  while (mantissa.size() > 1 && mantissa.back() == '0') mantissa.pop_back();

  std::string out = negative ? "-" : "";
  if (exponent >= digits || exponent < -4) {
    out += mantissa[0];
    if (mantissa.size() > 1) out += "." + mantissa.substr(1);
    out += exponent < 0 ? "E-" : "E+";
    std::string e = std::to_string(std::abs(exponent));
    if (e.size() < 2) e = "0" + e;
    return out + e;
  }
  if (exponent < 0) return out + "0." + std::string(-exponent - 1, '0') + mantissa;
  auto whole = static_cast<size_t>(exponent) + 1;
  if (mantissa.size() <= whole) return out + mantissa + std::string(whole - mantissa.size(), '0');
  return out + mantissa.substr(0, whole) + "." + mantissa.substr(whole);
}

}  // namespace

int16_t ToInt16(int64_t v) {
  return NarrowI16(v);
}
int16_t AddI16(int16_t a, int16_t b) {
  return NarrowI16(int32_t{a} + b);
}
int16_t SubI16(int16_t a, int16_t b) {
  return NarrowI16(int32_t{a} - b);
}
int16_t MulI16(int16_t a, int16_t b) {
  return NarrowI16(int32_t{a} * b);
}

void RaiseNumericOverflow() {
  RaisePlatformError(kOverflow);
}

double CheckedDiv(double a, double b) {
  CheckOperands(a, b);
  if (b == 0) RaisePlatformError(a == 0 ? kOverflow : kDivisionByZero);
  return CheckResult(a / b);
}
double CheckedSqrt(double a) {
  if (!std::isfinite(a)) RaisePlatformError(kOverflow);
  if (a < 0) RaisePlatformError(kInvalidCall);
  return std::sqrt(a);
}

int16_t RoundToInt16(double v) {
  if (!std::isfinite(v)) RaisePlatformError(kOverflow);
  double r = std::nearbyint(v);  // the default rounding mode rounds halves to even
  if (r < INT16_MIN || r > INT16_MAX) RaisePlatformError(kOverflow);
  return static_cast<int16_t>(r);
}

int32_t RoundToInt32(double v) {
  if (!std::isfinite(v)) RaisePlatformError(kOverflow);
  double r = std::nearbyint(v);
  if (r < INT32_MIN || r > INT32_MAX) RaisePlatformError(kOverflow);
  return static_cast<int32_t>(r);
}

float RoundToSingle(double v) {
  if (!std::isfinite(v)) RaisePlatformError(kOverflow);
  auto f = static_cast<float>(v);
  if (!std::isfinite(f)) RaisePlatformError(kOverflow);
  return f;
}

std::string FormatDouble(double v) {
  return FormatGeneral(v, 15);
}
std::string FormatSingle(float v) {
  return FormatGeneral(static_cast<double>(v), 7);
}

}  // namespace trend
