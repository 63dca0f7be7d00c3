// trendhost: a command-line automation host for the trend libraries. It talks to them
// through nothing but the frame's C interface (trendframe.h).
//
// Exit status: 0 success, 1 a raised error (or a failure of the library), 2 a usage
// error.
#include <dlfcn.h>
#include <strings.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "dates.h"
#include "error.h"
#include "numeric.h"
#include "trendframe.h"
#include "variant.h"

std::string_view trend::ApplicationTitle() {
  return "trendhost";
}

namespace {

// A usage error: printed and answered with exit status 2.
struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};
// A failure of a call: printed and answered with exit status 1.
struct CallFailed : std::runtime_error {
  using std::runtime_error::runtime_error;
};

std::string gPassword;  // never printed: masked in every error text

// A password of four characters or more is masked wherever it appears; a shorter one, which
// would match inside ordinary words, only where it stands as a value ("PWD=..." or
// "password=..." up to a ";", a blank, a quote or the end, as drivers echo it).
std::string Masked(std::string text) {
  static const std::string kMask = "********";
  if (gPassword.empty()) return text;
  if (gPassword.size() >= 4) {
    for (size_t p = 0; (p = text.find(gPassword, p)) != std::string::npos; p += kMask.size())
      text.replace(p, gPassword.size(), kMask);
    return text;
  }
  for (const char* key : {"pwd=", "password="}) {
    const size_t k = std::strlen(key);
    for (size_t p = 0; p + k <= text.size(); ++p) {
      if (strncasecmp(text.c_str() + p, key, k) != 0) continue;
      const size_t v = p + k, end = v + gPassword.size();
      if (text.compare(v, gPassword.size(), gPassword) == 0 &&
          (end == text.size() || std::strchr("; \t\r\n'\"}", text[end]) != nullptr))
        text.replace(v, gPassword.size(), kMask);
    }
  }
  return text;
}

// CR LF and lone CR become line ends of this platform.
std::string Lines(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r') {
      out += '\n';
      if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else {
      out += text[i];
    }
  }
  return out;
}

// ---- The registry ----

std::filesystem::path RegistryFolder() {
  char folder[4096];
  if (!tf_registry_folder(folder, sizeof folder)) throw UsageError("registry folder path too long");
  return folder;
}

std::map<std::string, std::string> ReadEntry(const std::filesystem::path& file) {
  std::map<std::string, std::string> entry;
  std::ifstream in(file);
  for (std::string line; std::getline(in, line);)
    if (auto eq = line.find('='); eq != std::string::npos)
      entry[line.substr(0, eq)] = line.substr(eq + 1);
  return entry;
}

TF_GUID ParseGuid(const std::string& text) {
  TF_GUID g{};
  unsigned d[11];
  if (std::sscanf(text.c_str(), "{%8x-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x}", &d[0], &d[1], &d[2],
                  &d[3], &d[4], &d[5], &d[6], &d[7], &d[8], &d[9], &d[10]) != 11)
    throw UsageError("malformed class identifier in the registry: " + text);
  g.data1 = d[0];
  g.data2 = static_cast<uint16_t>(d[1]);
  g.data3 = static_cast<uint16_t>(d[2]);
  for (int i = 0; i < 8; ++i) g.data4[i] = static_cast<uint8_t>(d[3 + i]);
  return g;
}

// ---- Loading a class ----

struct Library {
  void* handle = nullptr;
  explicit Library(const std::string& path) {
    auto absolute = std::filesystem::absolute(path).string();
    handle = dlopen(absolute.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) throw UsageError("cannot load " + path + ": " + dlerror());
  }
  template <class F>
  F Entry(const char* name) const {
    void* p = dlsym(handle, name);
    if (!p) throw UsageError(std::string("not a trend library: no entry point ") + name);
    return reinterpret_cast<F>(p);
  }
  Library(const Library&) = delete;
  Library& operator=(const Library&) = delete;
  // The library stays loaded until the process ends: instances may still be released
  // during exit.
};

// The registry entry a library writes for itself, read from a temporary registry.
std::map<std::string, std::string> OwnEntry(const Library& lib) {
  auto folder =
      std::filesystem::temp_directory_path() / ("trendhost-" + std::to_string(::getpid()));
  std::filesystem::create_directories(folder);
  const char* previous = std::getenv("TREND_REGISTRY");
  std::optional<std::string> saved = previous ? std::optional<std::string>(previous) : std::nullopt;
  setenv("TREND_REGISTRY", folder.c_str(), 1);
  TF_STATUS s = lib.Entry<TF_RegisterServerFn>("DllRegisterServer")();
  std::map<std::string, std::string> entry;
  for (const auto& f : std::filesystem::directory_iterator(folder)) entry = ReadEntry(f.path());
  lib.Entry<TF_UnregisterServerFn>("DllUnregisterServer")();
  if (saved)
    setenv("TREND_REGISTRY", saved->c_str(), 1);
  else
    unsetenv("TREND_REGISTRY");
  std::filesystem::remove_all(folder);
  if (s != TF_OK || entry.empty()) throw UsageError("the library did not describe its class");
  return entry;
}

struct LoadedClass {
  std::unique_ptr<Library> library;
  TF_ClassFactory* factory = nullptr;
  const TF_TypeInfo* info = nullptr;
  ~LoadedClass() {
    if (factory) factory->vtbl->Release(factory);
  }
};

std::unique_ptr<LoadedClass> LoadClass(const std::string& progId, const std::string& libraryFile) {
  auto c = std::make_unique<LoadedClass>();
  std::map<std::string, std::string> entry;
  if (!libraryFile.empty()) {
    c->library = std::make_unique<Library>(libraryFile);
    entry = OwnEntry(*c->library);
    if (entry["ProgID"] != progId)
      throw UsageError(libraryFile + " publishes " + entry["ProgID"] + ", not " + progId);
  } else {
    auto file = RegistryFolder() / progId;
    if (progId.find('/') != std::string::npos || !std::filesystem::exists(file))
      throw UsageError("unknown class " + progId + " (not in the registry " +
                       RegistryFolder().string() + ")");
    entry = ReadEntry(file);
    c->library = std::make_unique<Library>(entry["Library"]);
  }
  TF_GUID clsid = ParseGuid(entry["CLSID"]);
  auto get = c->library->Entry<TF_GetClassObjectFn>("DllGetClassObject");
  if (get(&clsid, &TF_IID_ClassFactory, reinterpret_cast<void**>(&c->factory)) != TF_OK)
    throw UsageError("the library does not offer the class " + progId);
  c->info = c->factory->vtbl->GetTypeInfo(c->factory);
  return c;
}

// ---- Type names ----

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

// The text form of a value of the frame.
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

// ---- The host's DataSource ----

struct HostDataSource {
  TF_Dispatch base;
  std::map<std::string, std::string> properties;  // Name, UserName, Password, Qualifier
  std::vector<std::string> order{"Name", "UserName", "Password", "Qualifier"};

  static HostDataSource* Self(TF_Dispatch* d) { return reinterpret_cast<HostDataSource*>(d); }
  static uint32_t AddRef(TF_Dispatch*) { return 1; }  // lives as long as the host's call
  static uint32_t Release(TF_Dispatch*) { return 1; }
  static TF_STATUS GetIDsOfNames(TF_Dispatch* d, const char* const* names, uint32_t count,
                                 int32_t* ids) {
    if (count != 1 || !names[0]) return TF_E_UNKNOWN_NAME;
    auto& order = Self(d)->order;
    for (size_t i = 0; i < order.size(); ++i)
      if (strcasecmp(order[i].c_str(), names[0]) == 0) {
        ids[0] = static_cast<int32_t>(i + 1);
        return TF_OK;
      }
    return TF_E_UNKNOWN_NAME;
  }
  static TF_STATUS Invoke(TF_Dispatch* d, int32_t id, uint16_t flags, TF_VARIANT*, uint32_t n,
                          TF_VARIANT* result, TF_EXCEPINFO*) {
    auto* self = Self(d);
    if (!(flags & TF_DISPATCH_PROPERTYGET) || n != 0 || id < 1 || id > 4 || !result)
      return TF_E_MEMBER_NOT_FOUND;
    const std::string& v = self->properties[self->order[static_cast<size_t>(id - 1)]];
    char* copy = static_cast<char*>(std::malloc(v.size() + 1));
    if (!copy) return TF_E_OUT_OF_MEMORY;
    std::memcpy(copy, v.c_str(), v.size() + 1);
    result->vt = TF_VT_TEXT;
    result->u.text = copy;
    return TF_OK;
  }
  static void* Alloc(TF_Dispatch*, size_t n) { return std::malloc(n); }
  static void Free(TF_Dispatch*, void* p) { std::free(p); }
};

const TF_DispatchVtbl kDataSourceVtbl = {TF_ABI_VERSION,          HostDataSource::AddRef,
                                         HostDataSource::Release, HostDataSource::GetIDsOfNames,
                                         HostDataSource::Invoke,  nullptr,
                                         HostDataSource::Alloc,   HostDataSource::Free};

// ---- Commands ----

int Register(const std::vector<std::string>& files, bool add) {
  for (const auto& f : files) {
    Library lib(f);
    auto entry = add ? lib.Entry<TF_RegisterServerFn>("DllRegisterServer")
                     : lib.Entry<TF_UnregisterServerFn>("DllUnregisterServer");
    if (entry() != TF_OK)
      throw CallFailed("cannot write the registry " + RegistryFolder().string() + " for " + f);
    std::cout << (add ? "registered " : "unregistered ") << f << "\n";
  }
  return 0;
}

int Classes() {
  auto folder = RegistryFolder();
  std::vector<std::map<std::string, std::string>> entries;
  if (std::filesystem::is_directory(folder))
    for (const auto& f : std::filesystem::directory_iterator(folder))
      if (f.is_regular_file() && f.path().filename().string()[0] != '.')
        entries.push_back(ReadEntry(f.path()));
  std::sort(entries.begin(), entries.end(),
            [](auto& a, auto& b) { return a["ProgID"] < b["ProgID"]; });
  for (auto& e : entries)
    std::cout << e["ProgID"] << "  " << e["Library"] << "  " << e["Version"] << "\n";
  return 0;
}

int Methods(const std::string& progId, const std::string& library) {
  auto c = LoadClass(progId, library);
  const TF_TypeInfo* t = c->info;
  std::cout << t->prog_id << " " << t->file_version << " (type library " << t->typelib_major << "."
            << t->typelib_minor << ", " << t->threading_model << ")\n";
  for (uint32_t i = 0; i < t->method_count; ++i) {
    const TF_MethodInfo& m = t->methods[i];
    char id[16];
    std::snprintf(id, sizeof id, "0x%08X", static_cast<unsigned>(m.dispid));
    std::cout << id << " " << m.name << "(";
    for (uint32_t p = 0; p < m.param_count; ++p) {
      const TF_ParamInfo& pi = m.params[p];
      if (p) std::cout << ", ";
      if (pi.optional) std::cout << "[";
      std::cout << (pi.by_ref ? "" : "ByVal ") << pi.name << " As " << TypeName(pi.vt);
      if (pi.optional) std::cout << " = " << Text(pi.default_value) << "]";
    }
    std::cout << ") As " << TypeName(m.result_vt) << "\n";
  }
  return 0;
}

// The host's variables of one call, converted to the declared types. A by-reference
// parameter gets a by-reference variant pointing at the host's variable.
struct CallArgs {
  std::vector<std::string> texts;
  std::vector<TF_VARIANT> values;    // the host's variables
  std::vector<TF_VARIANT> variants;  // what is passed
  TF_Dispatch* dataSource;
};

CallArgs Convert(const TF_MethodInfo& m, const std::vector<std::string>& given, TF_Dispatch* ds) {
  size_t positional = 0, required = 0;
  for (uint32_t p = 0; p < m.param_count; ++p)
    if (m.params[p].vt != TF_VT_DISPATCH) {
      ++positional;
      if (!m.params[p].optional) required = positional;
    }
  if (given.size() < required || given.size() > positional)
    throw UsageError(std::string(m.name) + " takes " + std::to_string(required) +
                     (required == positional ? "" : " to " + std::to_string(positional)) +
                     " arguments, " + std::to_string(given.size()) + " given");
  CallArgs a;
  a.dataSource = ds;
  // Reserved first: the variants point into these vectors.
  a.texts.reserve(m.param_count);
  a.values.reserve(m.param_count);
  size_t next = 0;
  for (uint32_t p = 0; p < m.param_count; ++p) {
    const TF_ParamInfo& pi = m.params[p];
    TF_VARIANT value{};
    value.vt = pi.vt;
    if (pi.vt == TF_VT_DISPATCH) {
      value.u.dispatch = a.dataSource;
    } else {
      if (next >= given.size()) break;  // trailing optional arguments left out
      const std::string& text = given[next++];
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
            value.u.i2 = trend::Variant(text).ToInt16();
            break;
          case TF_VT_I4:
            value.u.i4 = trend::Variant(text).ToInt32();
            break;
          default:
            throw UsageError(std::string("cannot pass an argument of type ") + TypeName(pi.vt));
        }
      } catch (const trend::Error&) {
        throw UsageError("argument " + std::string(pi.name) + " of " + m.name + ": \"" +
                         Masked(text) + "\" is not a " + TypeName(pi.vt));
      }
    }
    a.values.push_back(value);
    TF_VARIANT passed = value;
    if (pi.by_ref) {
      passed.vt = TF_VT_BYREF | TF_VT_VARIANT;
      passed.u.p_variant = &a.values.back();
    }
    a.variants.push_back(passed);
  }
  return a;
}

struct CallOptions {
  std::string dsn, user, password, qualifier, library;
};

int Call(const CallOptions& o, const std::vector<std::string>& words) {
  if (words.size() < 2) throw UsageError("call needs a class and a method");
  const std::string& progId = words[0];
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
  TF_Dispatch* instance = nullptr;
  if (cls->factory->vtbl->CreateInstance(cls->factory, &TF_IID_Dispatch,
                                         reinterpret_cast<void**>(&instance)) != TF_OK)
    throw CallFailed("cannot create an instance of " + progId);
  std::unique_ptr<TF_Dispatch, void (*)(TF_Dispatch*)> hold(
      instance, [](TF_Dispatch* d) { d->vtbl->Release(d); });

  HostDataSource ds{{&kDataSourceVtbl},
                    {{"Name", o.dsn},
                     {"UserName", o.user},
                     {"Password", o.password},
                     {"Qualifier", o.qualifier}}};
  // Resolve every method before the first call, so a usage error runs nothing.
  std::vector<const TF_MethodInfo*> methods;
  for (const auto& c : calls) {
    const char* name = c[0].c_str();
    int32_t dispid = -1;
    if (instance->vtbl->GetIDsOfNames(instance, &name, 1, &dispid) != TF_OK)
      throw UsageError("unknown method " + c[0] + " of " + progId);
    const TF_MethodInfo* m = nullptr;
    for (uint32_t i = 0; i < cls->info->method_count; ++i)
      if (cls->info->methods[i].dispid == dispid) m = &cls->info->methods[i];
    if (!m) throw UsageError("unknown method " + c[0] + " of " + progId);
    Convert(*m, std::vector<std::string>(c.begin() + 1, c.end()),
            &ds.base);  // checks the arguments
    methods.push_back(m);
  }
  for (size_t i = 0; i < calls.size(); ++i) {
    CallArgs args = Convert(
        *methods[i], std::vector<std::string>(calls[i].begin() + 1, calls[i].end()), &ds.base);
    TF_VARIANT result{};
    TF_EXCEPINFO excep{};
    TF_STATUS s = instance->vtbl->Invoke(
        instance, methods[i]->dispid, TF_DISPATCH_METHOD, args.variants.data(),
        static_cast<uint32_t>(args.variants.size()), &result, &excep);
    if (s == TF_E_EXCEPTION || excep.source || excep.description) {
      std::cout.flush();
      std::cerr << "error " << excep.number << ": " << Masked(excep.source ? excep.source : "")
                << "\n"
                << Masked(Lines(excep.description ? excep.description : ""));
      if (excep.description && *excep.description && Lines(excep.description).back() != '\n')
        std::cerr << "\n";
      tf_excepinfo_clear(instance, &excep);
      return 1;
    }
    if (s != TF_OK)
      throw CallFailed(std::string(methods[i]->name) + " failed with status " + std::to_string(s));
    std::cout << Text(result) << "\n" << std::flush;
    tf_variant_clear(instance, &result);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"trendhost: call the methods of the trend libraries from the command line"};
  app.require_subcommand(1);

  std::vector<std::string> files;
  auto* reg = app.add_subcommand("register", "Register libraries (their own DllRegisterServer)");
  reg->add_option("FILE", files, "library files")->required();
  auto* unreg =
      app.add_subcommand("unregister", "Unregister libraries (their own DllUnregisterServer)");
  unreg->add_option("FILE", files, "library files")->required();
  app.add_subcommand("classes",
                     "List the registered classes: programmatic identifier, library, version");

  std::string progId;
  CallOptions options;
  auto* methods = app.add_subcommand("methods", "Show a class's methods from its type information");
  methods->add_option("PROGID", progId, "programmatic identifier")->required();
  methods->add_option("--library", options.library,
                      "load the class from this file instead of the registry");

  std::vector<std::string> words;
  auto* call = app.add_subcommand(
      "call",
      "Create one instance of a class and run methods on it in order:\n"
      "  call [options] PROGID METHOD [ARG...] [-- METHOD [ARG...]]...\n"
      "A DataSource built from the options is passed wherever a method takes an object.");
  call->add_option("--dsn", options.dsn, "ODBC data source name (the DataSource's Name)");
  call->add_option("--user", options.user, "login user");
  call->add_option("--password", options.password, "login password (never printed)");
  call->add_option("--qualifier", options.qualifier, "table qualifier");
  call->add_option("--library", options.library,
                   "load the class from this file instead of the registry");
  call->prefix_command();  // from PROGID on, every word is the host's, negative numbers included

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    app.exit(e);
    return 2;
  }
  gPassword = options.password;
  try {
    if (*reg) return Register(files, true);
    if (*unreg) return Register(files, false);
    if (app.got_subcommand("classes")) return Classes();
    if (*methods) return Methods(progId, options.library);
    if (*call) {
      words = call->remaining();
      return Call(options, words);
    }
  } catch (const UsageError& e) {
    std::cerr << "trendhost: " << Masked(e.what()) << "\n";
    return 2;
  } catch (const std::exception& e) {
    std::cerr << "trendhost: " << Masked(e.what()) << "\n";
    return 1;
  }
  return 2;
}
