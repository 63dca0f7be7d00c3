// Calling a loaded class: an instance, a method found by name, a call with its values,
// and the names and text forms of the frame's types.
#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "trendframe.h"

namespace host {

struct LoadedClass;

// An instance of a loaded class, released on destruction.
class Instance {
 public:
  explicit Instance(const LoadedClass& c, const std::string& progId);
  ~Instance();
  Instance(const Instance&) = delete;
  Instance& operator=(const Instance&) = delete;
  TF_Dispatch* get() const { return d_; }

 private:
  TF_Dispatch* d_ = nullptr;
};

// The method of the class named `name` (letter case ignored, through GetIDsOfNames); an
// unknown name is a usage error with a suggestion.
const TF_MethodInfo& FindMethod(const LoadedClass& c, TF_Dispatch* instance,
                                const std::string& name);

// A raised error of a method: the triple the library handed out.
struct RaisedError : std::runtime_error {
  RaisedError(int32_t n, std::string s, std::string d)
      : std::runtime_error(s + ": " + d),
        number(n),
        source(std::move(s)),
        description(std::move(d)) {}
  int32_t number;
  std::string source, description;
};

// Calls `m` on `instance` with one value per parameter in declaration order (trailing
// optional ones may be left out), each passed by reference where the method declares it.
// A raised error throws RaisedError; another failure of the call CallFailed. The caller
// releases a text result with tf_variant_clear.
TF_VARIANT InvokeMethod(TF_Dispatch* instance, const TF_MethodInfo& m,
                        std::vector<TF_VARIANT> values);

// The hourly rows `instance` last fitted, when `request` is the request that fit
// answered (GetHourlyGrid); nothing from a library older than that slot or when the
// instance has not fitted that request.
std::optional<TF_HourlyGrid> FittedGrid(TF_Dispatch* instance,
                                        const std::vector<std::string>& request);

// ---- Types and values ----

// The double whose shortest text is the Single's own shortest text (0.1f gives 0.1, not
// 0.10000000149011612), for outputs that carry numbers as doubles.
double SingleAsDouble(float f);

std::string TypeName(TF_VARTYPE vt);
// "a Single", "an Integer".
std::string WithArticle(const std::string& typeName);
// The text form of a value of the frame.
std::string Text(const TF_VARIANT& v);
// "TrendValue(sHostname As String, ..., [iCounterFlag As Integer = 0]) As Double"
std::string Signature(const TF_MethodInfo& m);
}  // namespace host
