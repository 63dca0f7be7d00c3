// The automation frame: publishes one C++ class of a library through the plain C
// interface of trendframe.h. A library describes its class once (identities and a method
// table) and TREND_FRAME_EXPORTS defines its entry points, which forward here.
//
// A method table entry names the method, its dispatch identifier, the member function and
// its parameter names; the parameter and result types come from the member function's
// signature. Adding a method to a published class is one entry in its table.
#pragma once

#include <array>
#include <concepts>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "datasource.h"
#include "hourly_fit.h"
#include "trendframe.h"
#include "variant.h"

namespace frame {

// A parameter of a method table entry: by reference unless marked by value; an optional
// parameter may be omitted and takes its default.
struct ParamSpec {
  ParamSpec(const char* n) : name(n) {}  // NOLINT: a plain name is the common case
  const char* name;
  bool byRef = true;
  bool optional = false;
  trend::Variant defaultValue;
};
inline ParamSpec ByValue(const char* name) {
  ParamSpec p(name);
  p.byRef = false;
  return p;
}
inline ParamSpec Optional(const char* name, trend::Variant defaultValue) {
  ParamSpec p(name);
  p.optional = true;
  p.defaultValue = std::move(defaultValue);
  return p;
}

struct Method {
  const char* name;
  int32_t dispid;
  TF_VARTYPE resultVt;
  std::vector<ParamSpec> params;
  std::vector<TF_VARTYPE> paramVts;
  // Calls the member function on `instance` with one converted value per parameter.
  std::function<trend::Variant(void* instance, const std::vector<trend::Variant>& args)> call;
};

struct Identity {
  const char* libraryName;    // "OrreryFunctions"
  const char* className;      // "OrreryClass"
  const char* interfaceName;  // "_OrreryClass"
  const char* progId;         // "OrreryFunctions.OrreryClass"
  const char* fileName;       // "Orrery.so"
  const char* fileVersion;    // "1.0.0.2"
  TF_GUID typelibId, classId, interfaceId;
};

// The rows of a class's last fit, when `request` is the request that fit answered (see
// GetHourlyGrid in trendframe.h).
using GridFn = std::optional<trend::GridView> (*)(const void* instance,
                                                  std::span<const char* const> request);

class ClassDescription {
 public:
  // A class that keeps the hourly grid of its fit offers it with a member
  // `std::optional<trend::GridView> FittedGrid(std::span<const char* const> request) const`.
  template <class C>
  static ClassDescription Of(Identity identity, std::vector<Method> methods) {
    GridFn grid = nullptr;
    if constexpr (requires(const C& c, std::span<const char* const> r) {
                    { c.FittedGrid(r) } -> std::same_as<std::optional<trend::GridView>>;
                  })
      grid = [](const void* p, std::span<const char* const> r) {
        return static_cast<const C*>(p)->FittedGrid(r);
      };
    return ClassDescription(
        identity, std::move(methods), [] { return static_cast<void*>(new C()); },
        [](void* p) { delete static_cast<C*>(p); }, grid);
  }

  // The type information points into the description itself: it never moves.
  ClassDescription(const ClassDescription&) = delete;
  ClassDescription& operator=(const ClassDescription&) = delete;

  const Identity& identity() const { return identity_; }
  const std::vector<Method>& methods() const { return methods_; }
  const TF_TypeInfo* typeInfo() const { return &typeInfo_; }
  void* Create() const { return create_(); }
  void Destroy(void* p) const { destroy_(p); }
  GridFn fittedGrid() const { return grid_; }

 private:
  ClassDescription(Identity identity, std::vector<Method> methods, void* (*create)(),
                   void (*destroy)(void*), GridFn gridOf);
  Identity identity_;
  std::vector<Method> methods_;
  void* (*create_)();
  void (*destroy_)(void*);
  GridFn grid_;
  // The C view of the method table.
  std::vector<std::vector<TF_ParamInfo>> paramInfos_;
  std::vector<TF_MethodInfo> methodInfos_;
  TF_TypeInfo typeInfo_{};
};

// How a parameter type crosses the boundary.
template <class T>
struct Param;
template <>
struct Param<const std::string&> {
  static constexpr TF_VARTYPE vt = TF_VT_TEXT;
  static std::string From(const trend::Variant& v) { return v.ToText(); }
  static const std::string& Use(const std::string& s) { return s; }
};
template <>
struct Param<const float&> {
  static constexpr TF_VARTYPE vt = TF_VT_R4;
  static float From(const trend::Variant& v) { return v.ToSingle(); }
  static const float& Use(const float& f) { return f; }
};
template <>
struct Param<const int16_t&> {
  static constexpr TF_VARTYPE vt = TF_VT_I2;
  static int16_t From(const trend::Variant& v) { return v.ToInt16(); }
  static const int16_t& Use(const int16_t& i) { return i; }
};
template <>
struct Param<const trend::DataSource&> {
  static constexpr TF_VARTYPE vt = TF_VT_DISPATCH;
  static std::shared_ptr<trend::DataSource> From(const trend::Variant& v) { return v.ToObject(); }
  static const trend::DataSource& Use(const std::shared_ptr<trend::DataSource>& d) { return *d; }
};

template <class R>
struct Result {
  static constexpr TF_VARTYPE vt = std::is_same_v<R, double>           ? TF_VT_R8
                                   : std::is_same_v<R, float>          ? TF_VT_R4
                                   : std::is_same_v<R, int32_t>        ? TF_VT_I4
                                   : std::is_same_v<R, int16_t>        ? TF_VT_I2
                                   : std::is_same_v<R, std::string>    ? TF_VT_TEXT
                                   : std::is_same_v<R, trend::Variant> ? TF_VT_VARIANT
                                                                       : TF_VT_VOID;
};

template <class C, class R, class... A>
Method Entry(const char* name, int32_t dispid, R (C::*member)(A...),
             std::array<ParamSpec, sizeof...(A)> params) {
  Method m{name,
           dispid,
           Result<R>::vt,
           std::vector<ParamSpec>(params.begin(), params.end()),
           {Param<A>::vt...},
           {}};
  m.call = [member](void* instance, const std::vector<trend::Variant>& args) -> trend::Variant {
    return [&]<size_t... I>(std::index_sequence<I...>)->trend::Variant {
      // Copies of the host's values: the method never sees, let alone writes, its variables.
      auto locals = std::make_tuple(Param<A>::From(args[I])...);
      C& self = *static_cast<C*>(instance);
      if constexpr (std::is_void_v<R>) {
        (self.*member)(Param<A>::Use(std::get<I>(locals))...);
        return trend::Variant();
      } else {
        return trend::Variant((self.*member)(Param<A>::Use(std::get<I>(locals))...));
      }
    }
    (std::index_sequence_for<A...>{});
  };
  return m;
}

// What the entry points forward to.
TF_STATUS GetClassObject(const ClassDescription& d, const TF_GUID* clsid, const TF_GUID* iid,
                         void** object);
TF_STATUS CanUnloadNow();
TF_STATUS RegisterServer(const ClassDescription& d);
TF_STATUS UnregisterServer(const ClassDescription& d);
int32_t LibraryMain(const ClassDescription& d, void* module, uint32_t reason);

}  // namespace frame

// Defines the library's entry points for the description returned by `describe()`.
#define TREND_FRAME_EXPORTS(describe)                                                              \
  extern "C" __attribute__((visibility("default"))) TF_STATUS DllGetClassObject(                   \
      const TF_GUID* clsid, const TF_GUID* iid, void** object) {                                   \
    return frame::GetClassObject(describe(), clsid, iid, object);                                  \
  }                                                                                                \
  extern "C" __attribute__((visibility("default"))) TF_STATUS DllCanUnloadNow(void) {              \
    return frame::CanUnloadNow();                                                                  \
  }                                                                                                \
  extern "C" __attribute__((visibility("default"))) TF_STATUS DllRegisterServer(void) {            \
    return frame::RegisterServer(describe());                                                      \
  }                                                                                                \
  extern "C" __attribute__((visibility("default"))) TF_STATUS DllUnregisterServer(void) {          \
    return frame::UnregisterServer(describe());                                                    \
  }                                                                                                \
  extern "C" __attribute__((visibility("default"))) int32_t DllMain(void* module, uint32_t reason, \
                                                                    void*) {                       \
    return frame::LibraryMain(describe(), module, reason);                                         \
  }                                                                                                \
  __attribute__((constructor)) static void TrendFrameAttach() {                                    \
    DllMain(nullptr, 1, nullptr);                                                                  \
  }                                                                                                \
  __attribute__((destructor)) static void TrendFrameDetach() {                                     \
    DllMain(nullptr, 0, nullptr);                                                                  \
  }
