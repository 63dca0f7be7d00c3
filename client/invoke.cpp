#include "invoke.h"

#include <charconv>
#include <cstdlib>
#include <cstring>

#include "command.h"
#include "dates.h"
#include "numeric.h"
#include "registry.h"

namespace host {

Instance::Instance(const LoadedClass& c, const std::string& progId) {
  if (c.factory->vtbl->CreateInstance(c.factory, &TF_IID_Dispatch, reinterpret_cast<void**>(&d_)) !=
      TF_OK)
    throw CallFailed("cannot create an instance of " + progId);
}

Instance::~Instance() {
  if (d_) d_->vtbl->Release(d_);
}

const TF_MethodInfo& FindMethod(const LoadedClass& c, TF_Dispatch* instance,
                                const std::string& name) {
  const char* n = name.c_str();
  int32_t dispid = -1;
  if (instance->vtbl->GetIDsOfNames(instance, &n, 1, &dispid) == TF_OK)
    for (uint32_t i = 0; i < c.info->method_count; ++i)
      if (c.info->methods[i].dispid == dispid) return c.info->methods[i];
  std::vector<std::string> names;
  for (uint32_t i = 0; i < c.info->method_count; ++i) names.emplace_back(c.info->methods[i].name);
  std::string message = "unknown method " + name + " of " + c.info->prog_id;
  if (auto near = Closest(name, names); !near.empty()) message += "; did you mean " + near + "?";
  throw UsageError(message + " (trendhost methods " + c.info->prog_id + " lists them)");
}

TF_VARIANT InvokeMethod(TF_Dispatch* instance, const TF_MethodInfo& m,
                        std::vector<TF_VARIANT> values) {
  std::vector<TF_VARIANT> passed(values.size());
  for (size_t i = 0; i < values.size(); ++i) {
    passed[i] = values[i];
    if (i < m.param_count && m.params[i].by_ref) {
      passed[i].vt = TF_VT_BYREF | TF_VT_VARIANT;
      passed[i].u.p_variant = &values[i];
    }
  }
  TF_VARIANT result{};
  TF_EXCEPINFO excep{};
  TF_STATUS s = instance->vtbl->Invoke(instance, m.dispid, TF_DISPATCH_METHOD, passed.data(),
                                       static_cast<uint32_t>(passed.size()), &result, &excep);
  if (s == TF_E_EXCEPTION || excep.source || excep.description) {
    RaisedError e(excep.number, excep.source ? excep.source : "",
                  excep.description ? excep.description : "");
    tf_excepinfo_clear(instance, &excep);
    throw e;
  }
  if (s != TF_OK)
    throw InvokeFailed(std::string(m.name) + " failed with status " + std::to_string(s), s);
  return result;
}

std::optional<TF_HourlyGrid> FittedGrid(TF_Dispatch* instance,
                                        const std::vector<std::string>& request) {
  const TF_DispatchVtbl& v = *instance->vtbl;
  if (v.abi_version < 2 || !v.GetHourlyGrid) return std::nullopt;
  std::vector<const char*> texts;
  for (const std::string& t : request) texts.push_back(t.c_str());
  TF_HourlyGrid grid{};
  if (v.GetHourlyGrid(instance, texts.data(), static_cast<uint32_t>(texts.size()), &grid) != TF_OK)
    return std::nullopt;
  return grid;
}

double SingleAsDouble(float f) {
  char buf[32];
  auto end = std::to_chars(buf, buf + sizeof buf, f).ptr;
  return std::strtod(std::string(buf, end).c_str(), nullptr);
}

// ---- Types and values ----

std::string TypeName(TF_VARTYPE vt) {
  switch (vt) {
    case TF_VT_I2:
      return "Integer";
    case TF_VT_I4:
      return "Long";
    case TF_VT_R4:
      return "Single";
    case TF_VT_R8:
      return "Double";
    case TF_VT_DATE:
      return "Date";
    case TF_VT_TEXT:
      return "String";
    case TF_VT_DISPATCH:
      return "Object";
    case TF_VT_BOOL:
      return "Boolean";
    case TF_VT_VARIANT:
      return "Variant";
    case TF_VT_VOID:
      return "none";
    default:
      return "type " + std::to_string(vt);
  }
}

std::string WithArticle(const std::string& typeName) {
  const bool vowel = !typeName.empty() && std::strchr("AEIOUaeiou", typeName[0]) != nullptr;
  return (vowel ? "an " : "a ") + typeName;
}

std::string Text(const TF_VARIANT& v) {
  switch (v.vt) {
    case TF_VT_EMPTY:
      return "";
    case TF_VT_NULL:
      return "Null";
    case TF_VT_I2:
      return std::to_string(v.u.i2);
    case TF_VT_I4:
      return std::to_string(v.u.i4);
    case TF_VT_R4:
      return trend::FormatSingle(v.u.r4);
    case TF_VT_R8:
      return trend::FormatDouble(v.u.r8);
    case TF_VT_DATE:
      return trend::DateText(trend::SerialToDate(v.u.date));
    case TF_VT_TEXT:
      return v.u.text ? v.u.text : "";
    case TF_VT_BOOL:
      return v.u.boolean ? "True" : "False";
    case TF_VT_DISPATCH:
      return "(object)";
    default:
      return "(type " + std::to_string(v.vt) + ")";
  }
}

std::string Signature(const TF_MethodInfo& m) {
  std::string s = std::string(m.name) + "(";
  for (uint32_t p = 0; p < m.param_count; ++p) {
    const TF_ParamInfo& pi = m.params[p];
    if (p) s += ", ";
    if (pi.optional) s += "[";
    s += std::string(pi.by_ref ? "" : "ByVal ") + pi.name + " As " + TypeName(pi.vt);
    if (pi.optional) s += " = " + Text(pi.default_value) + "]";
  }
  return s + ") As " + TypeName(m.result_vt);
}

}  // namespace host
