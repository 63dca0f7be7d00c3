#include "variant.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

#include "error.h"
#include "numeric.h"

namespace trend {

double ParseNumber(const std::string& text) {
  size_t b = text.find_first_not_of(" \t");
  size_t e = text.find_last_not_of(" \t");
  if (b == std::string::npos) RaisePlatformError(kTypeMismatch);
  std::string core = text.substr(b, e - b + 1);
  // Only plain decimal notation: strtod would also take hex, "inf" and "nan".
  size_t i = 0;
  if (core[i] == '+' || core[i] == '-') ++i;
  bool digits = false;
  while (i < core.size() && std::isdigit(static_cast<unsigned char>(core[i]))) ++i, digits = true;
  if (i < core.size() && core[i] == '.') {
    ++i;
    while (i < core.size() && std::isdigit(static_cast<unsigned char>(core[i]))) ++i, digits = true;
  }
  if (!digits) RaisePlatformError(kTypeMismatch);
  if (i < core.size() && (core[i] == 'e' || core[i] == 'E')) {
    ++i;
    if (i < core.size() && (core[i] == '+' || core[i] == '-')) ++i;
    bool expDigits = false;
    while (i < core.size() && std::isdigit(static_cast<unsigned char>(core[i])))
      ++i, expDigits = true;
    if (!expDigits) RaisePlatformError(kTypeMismatch);
  }
  if (i != core.size()) RaisePlatformError(kTypeMismatch);
  errno = 0;
  double v = std::strtod(core.c_str(), nullptr);  // the C locale's decimal point
  if (!std::isfinite(v)) RaisePlatformError(kOverflow);
  return v;
}

std::string Variant::ToText() const {
  switch (type()) {
    case Type::kEmpty:
      return {};
    case Type::kNull:
      RaisePlatformError(kInvalidUseOfNull);
    case Type::kInt16:
      return std::to_string(std::get<int16_t>(value_));
    case Type::kInt32:
      return std::to_string(std::get<int32_t>(value_));
    case Type::kSingle:
      return FormatSingle(std::get<float>(value_));
    case Type::kDouble:
      return FormatDouble(std::get<double>(value_));
    case Type::kDate:
      return DateText(std::get<Date>(value_));
    case Type::kText:
      return std::get<std::string>(value_);
    case Type::kBoolean:
      return std::get<bool>(value_) ? "True" : "False";
    case Type::kObject:
      break;
  }
  RaisePlatformError(kTypeMismatch);
}

double Variant::ToDouble() const {
  switch (type()) {
    case Type::kEmpty:
      return 0;
    case Type::kNull:
      RaisePlatformError(kInvalidUseOfNull);
    case Type::kInt16:
      return std::get<int16_t>(value_);
    case Type::kInt32:
      return std::get<int32_t>(value_);
    case Type::kSingle:
      return std::get<float>(value_);
    case Type::kDouble:
      return std::get<double>(value_);
    case Type::kDate:
      return DateToSerial(std::get<Date>(value_));
    case Type::kText:
      return ParseNumber(std::get<std::string>(value_));
    case Type::kBoolean:
      return std::get<bool>(value_) ? -1 : 0;
    case Type::kObject:
      break;
  }
  RaisePlatformError(kTypeMismatch);
}

float Variant::ToSingle() const {
  if (auto f = get_if<float>()) return *f;
  return RoundToSingle(ToDouble());
}

int16_t Variant::ToInt16() const {
  if (auto i = get_if<int16_t>()) return *i;
  return RoundToInt16(ToDouble());
}

int32_t Variant::ToInt32() const {
  if (auto i = get_if<int32_t>()) return *i;
  return RoundToInt32(ToDouble());
}

Date Variant::ToDate() const {
  switch (type()) {
    case Type::kNull:
      RaisePlatformError(kInvalidUseOfNull);
    case Type::kDate:
      return std::get<Date>(value_);
    case Type::kText:
      return ParseDate(std::get<std::string>(value_));
    case Type::kObject:
      RaisePlatformError(kTypeMismatch);
    default:
      return SerialToDate(ToDouble());
  }
}

bool Variant::ToBoolean() const {
  if (auto b = get_if<bool>()) return *b;
  if (auto s = get_if<std::string>()) {
    if (*s == "True" || *s == "true") return true;
    if (*s == "False" || *s == "false") return false;
  }
  return ToDouble() != 0;
}

std::shared_ptr<DataSource> Variant::ToObject() const {
  if (auto o = get_if<std::shared_ptr<DataSource>>(); o && *o) return *o;
  if (IsNull()) RaisePlatformError(kInvalidUseOfNull);
  RaisePlatformError(kTypeMismatch);
}

}  // namespace trend
