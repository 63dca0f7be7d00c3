// The platform's variant: the value of a database column, a property of the host's
// DataSource, or a method result. Conversions follow the platform's rules: NULL converts
// to nothing (error 94), text that is not a number to no number (error 13), values out of
// the target's range overflow (error 6); rounding to integers is half to even.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <variant>

#include "dates.h"

namespace trend {

class DataSource;

struct Empty {
  bool operator==(const Empty&) const = default;
};
struct Null {
  bool operator==(const Null&) const = default;
};

class Variant {
 public:
  enum class Type {
    kEmpty,
    kNull,
    kInt16,
    kInt32,
    kSingle,
    kDouble,
    kDate,
    kText,
    kBoolean,
    kObject
  };

  Variant() = default;
  Variant(Null) : value_(Null{}) {}
  Variant(int16_t v) : value_(v) {}
  Variant(int32_t v) : value_(v) {}
  Variant(float v) : value_(v) {}
  Variant(double v) : value_(v) {}
  Variant(Date v) : value_(v) {}
  Variant(std::string v) : value_(std::move(v)) {}
  Variant(const char* v) : value_(std::string(v)) {}
  Variant(bool v) : value_(v) {}
  Variant(std::shared_ptr<DataSource> v) : value_(std::move(v)) {}

  Type type() const { return static_cast<Type>(value_.index()); }
  bool IsEmpty() const { return type() == Type::kEmpty; }
  bool IsNull() const { return type() == Type::kNull; }

  // The text form: numbers in their general text form, dates in the date text form,
  // booleans "True"/"False", empty as "".
  std::string ToText() const;
  double ToDouble() const;
  float ToSingle() const;
  int16_t ToInt16() const;
  int32_t ToInt32() const;
  Date ToDate() const;
  bool ToBoolean() const;
  std::shared_ptr<DataSource> ToObject() const;

  template <class T>
  const T* get_if() const {
    return std::get_if<T>(&value_);
  }

  bool operator==(const Variant& other) const = default;

 private:
  std::variant<Empty, Null, int16_t, int32_t, float, double, Date, std::string, bool,
               std::shared_ptr<DataSource>>
      value_;
};

// Reads a number from text as the platform does: blanks around it allowed, an optional
// sign, digits with an optional decimal point and exponent. Anything else is error 13.
double ParseNumber(const std::string& text);

}  // namespace trend
