#include "call.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>

#include "command.h"
#include "data_source.h"
#include "dates.h"
#include "error.h"
#include "invoke.h"
#include "numeric.h"
#include "registry.h"
#include "variant.h"

namespace host {

namespace {

// The host's variables of one call, converted to the declared types (InvokeMethod passes
// them by reference where the method declares it).
struct CallArgs {
  std::vector<std::string> texts;
  std::vector<TF_VARIANT> values;
};

// A whole number in the range of the integer type, or a usage error.
template <class Int>
Int WholeNumber(const std::string& text, const TF_ParamInfo& p, const TF_MethodInfo& m) {
  const std::string what =
      "argument " + std::string(p.name) + " of " + m.name + ": \"" + Masked(text) + "\"";
  double v = 0;
  try {
    v = trend::ParseNumber(text);
  } catch (const trend::Error&) {
    throw UsageError(what + " is not " + WithArticle(TypeName(p.vt)));
  }
  if (v != std::floor(v)) throw UsageError(what + " is not " + WithArticle(TypeName(p.vt)));
  if (v < static_cast<double>(std::numeric_limits<Int>::min()) ||
      v > static_cast<double>(std::numeric_limits<Int>::max()))
    throw UsageError(what + " is out of the range of " + WithArticle(TypeName(p.vt)) + " (" +
                     std::to_string(std::numeric_limits<Int>::min()) + " to " +
                     std::to_string(std::numeric_limits<Int>::max()) + ")");
  return static_cast<Int>(v);
}

CallArgs Convert(const TF_MethodInfo& m, const std::vector<std::string>& given, TF_Dispatch* ds,
                 bool haveDsn) {
  size_t positional = 0, required = 0;
  bool takesDataSource = false;
  for (uint32_t p = 0; p < m.param_count; ++p) {
    if (m.params[p].vt == TF_VT_DISPATCH) {
      takesDataSource = true;
      continue;
    }
    ++positional;
    if (!m.params[p].optional) required = positional;
  }
  if (given.size() < required || given.size() > positional)
    throw UsageError(std::string(m.name) + " takes " + std::to_string(required) +
                     (required == positional ? "" : " to " + std::to_string(positional)) +
                     " arguments, " + std::to_string(given.size()) +
                     " given\nusage: " + Signature(m) + " (the DataSource comes from the options)");
  if (takesDataSource && !haveDsn)
    throw UsageError(std::string(m.name) +
                     " reads the database: name its data source with --dsn NAME "
                     "(`odbcinst -q -s` lists the defined ones)");
  CallArgs a;
  // Reserved first: the text values point into `texts`.
  a.texts.reserve(m.param_count);
  size_t next = 0;
  for (uint32_t p = 0; p < m.param_count; ++p) {
    const TF_ParamInfo& pi = m.params[p];
    TF_VARIANT value{};
    value.vt = pi.vt;
    if (pi.vt == TF_VT_DISPATCH) {
      value.u.dispatch = ds;
    } else {
      if (next >= given.size()) break;  // trailing optional arguments left out
      const std::string& text = given[next++];
      const std::string what = "argument " + std::string(pi.name) + " of " + m.name + ": \"" +
                               Masked(text) + "\" is not " + WithArticle(TypeName(pi.vt));
      try {
        switch (pi.vt) {
          case TF_VT_TEXT:
            a.texts.push_back(text);
            value.u.text = a.texts.back().c_str();
            break;
          case TF_VT_R4:
            value.u.r4 = trend::Variant(text).ToSingle();
            break;
          case TF_VT_R8:
            value.u.r8 = trend::ParseNumber(text);
            break;
          case TF_VT_I2:
            value.u.i2 = WholeNumber<int16_t>(text, pi, m);
            break;
          case TF_VT_I4:
            value.u.i4 = WholeNumber<int32_t>(text, pi, m);
            break;
          default:
            throw UsageError("cannot pass an argument of type " + TypeName(pi.vt));
        }
      } catch (const trend::Error&) {
        throw UsageError(what);
      }
    }
    a.values.push_back(value);
  }
  return a;
}

// The JSON value of a result: numbers as numbers (a Single by its own shortest digits),
// text as a string, no result as null.
nlohmann::json Json(const TF_VARIANT& v) {
  switch (v.vt) {
    case TF_VT_EMPTY:
    case TF_VT_NULL:
      return nullptr;
    case TF_VT_I2:
      return v.u.i2;
    case TF_VT_I4:
      return v.u.i4;
    case TF_VT_R4:
      return SingleAsDouble(v.u.r4);
    case TF_VT_R8:
      return v.u.r8;
    case TF_VT_BOOL:
      return v.u.boolean != 0;
    default:
      return Text(v);
  }
}

void PrintError(const RaisedError& e) {
  std::cout.flush();
  std::cerr << "error " << e.number << ": " << Masked(e.source) << "\n";
  const std::string description = Masked(Lines(e.description));
  std::cerr << description;
  if (!description.empty() && description.back() != '\n') std::cerr << "\n";
}

}  // namespace

int Call(const CallOptions& o, const std::vector<std::string>& words) {
  if (words.size() < 2)
    throw UsageError("call needs a class and a method: call [OPTIONS] PROGID METHOD [ARG...]");
  const std::string& progId = words[0];
  for (const auto& w : words)
    for (const auto& option : o.optionNames)
      if (w == option || w.rfind(option + "=", 0) == 0)
        throw UsageError("the option " + w.substr(0, w.find('=')) +
                         " stands after PROGID: options go first, as in "
                         "trendhost call [OPTIONS] PROGID METHOD [ARG...]");
  // METHOD [ARG...] [-- METHOD [ARG...]]...
  std::vector<std::vector<std::string>> calls(1);
  for (size_t i = 1; i < words.size(); ++i) {
    if (words[i] == "--") {
      calls.emplace_back();
      continue;
    }
    calls.back().push_back(words[i]);
  }
  for (const auto& c : calls)
    if (c.empty()) throw UsageError("a \"--\" must be followed by a method");

  auto cls = LoadClass(progId, o.library);
  Instance instance(*cls, progId);
  DataSourceObject ds(o.login.dsn, o.login.user, o.login.password, o.login.qualifier);
  // Resolve and check every call before the first runs, so a usage error runs nothing.
  std::vector<const TF_MethodInfo*> methods;
  for (const auto& c : calls) {
    const TF_MethodInfo& m = FindMethod(*cls, instance.get(), c[0]);
    Convert(m, std::vector<std::string>(c.begin() + 1, c.end()), ds.dispatch(),
            !o.login.dsn.empty());
    methods.push_back(&m);
  }
  const bool json = o.format == "json";
  int status = kExitOk;
  for (size_t i = 0; i < calls.size(); ++i) {
    const TF_MethodInfo& m = *methods[i];
    CallArgs args = Convert(m, std::vector<std::string>(calls[i].begin() + 1, calls[i].end()),
                            ds.dispatch(), !o.login.dsn.empty());
    if (o.verbose) {
      std::cerr << "trendhost: call " << m.name << "\n";
      for (size_t p = 0; p < args.values.size(); ++p) {
        const TF_ParamInfo& pi = m.params[p];
        std::cerr << "  " << pi.name << " As " << TypeName(pi.vt) << " = "
                  << (pi.vt == TF_VT_DISPATCH ? ds.Describe()
                      : pi.vt == TF_VT_TEXT   ? "\"" + Masked(Text(args.values[p])) + "\""
                                              : Text(args.values[p]))
                  << (pi.by_ref ? "" : " (by value)") << "\n";
      }
    }
    const auto start = std::chrono::steady_clock::now();
    auto took = [&](const char* outcome) {
      if (!o.verbose) return;
      const std::chrono::duration<double, std::milli> ms = std::chrono::steady_clock::now() - start;
      char line[128];
      std::snprintf(line, sizeof line, "trendhost: %s %s in %.3f ms\n", m.name, outcome,
                    ms.count());
      std::cerr << line;
    };
    TF_VARIANT result{};
    try {
      result = InvokeMethod(instance.get(), m, args.values);
      took("returned");
    } catch (const RaisedError& e) {
      took("failed");
      PrintError(e);
      if (!o.login.dsn.empty())
        if (auto hint = ConnectionHint(e.description, o.login.dsn); !hint.empty())
          std::cerr << "trendhost: " << hint << "\n";
      if (auto hint = SchemaHint(e.description); !hint.empty())
        std::cerr << "trendhost: " << hint << "\n";
      if (json && o.keepGoing) {
        nlohmann::json error = {{"number", e.number},
                                {"source", Masked(e.source)},
                                {"description", Masked(Lines(e.description))}};
        std::cout << nlohmann::json{{"method", m.name}, {"error", error}}.dump() << "\n";
      } else if (o.keepGoing) {
        std::cout << "\n";
      }
      std::cout.flush();
      if (!o.keepGoing) return kExitFailed;
      status = kExitFailed;
      continue;
    } catch (const InvokeFailed& e) {
      took("failed");
      if (!o.keepGoing) throw;
      std::cerr << "trendhost: " << e.what() << "\n";
      std::cout
          << (json ? nlohmann::json{{"method", m.name}, {"error", {{"status", e.status}}}}.dump()
                   : "")
          << "\n";
      status = kExitFailed;
      continue;
    }
    if (json)
      std::cout << nlohmann::json{{"method", m.name}, {"result", Json(result)}}.dump() << "\n";
    else
      std::cout << Text(result) << "\n";
    std::cout.flush();
    tf_variant_clear(instance.get(), &result);
  }
  return status;
}

}  // namespace host
