#include "host.h"

#include <dlfcn.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>

#include "dates.h"
#include "error.h"
#include "numeric.h"

namespace host {

// ---- Masking ----

namespace {
std::string gPassword;
}

void SetPassword(std::string password) {
  gPassword = std::move(password);
}

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

// ---- Progress ----

Progress::Progress(std::string what, size_t total, bool on)
    : what_(std::move(what)),
      total_(total),
      on_(on && ::isatty(STDERR_FILENO)),
      start_(std::chrono::steady_clock::now()) {}

void Progress::Done(size_t done) {
  if (!on_) return;
  const auto now = std::chrono::steady_clock::now();
  if (done < total_ && now - shown_ < std::chrono::milliseconds(200)) return;
  shown_ = now;
  const double seconds = std::chrono::duration<double>(now - start_).count();
  const double rate = seconds > 0 ? static_cast<double>(done) / seconds : 0;
  const double left = rate > 0 ? static_cast<double>(total_ - done) / rate : 0;
  std::fprintf(stderr, "\rtrendhost: %zu/%zu %s, %.1f/s, %.0f s left   ", done, total_,
               what_.c_str(), rate, left);
  if (done == total_) std::fputc('\n', stderr);
  std::fflush(stderr);
}

// ---- The registry ----

std::string RegistryFolder() {
  char folder[4096];
  if (!tf_registry_folder(folder, sizeof folder)) throw UsageError("registry folder path too long");
  return folder;
}

std::string SystemRegistryFolder() {
  char folder[4096];
  if (!tf_registry_system_folder(0, folder, sizeof folder))
    throw UsageError("no system registry folder (XDG_DATA_DIRS)");
  return folder;
}

std::vector<std::string> RegistrySearchPath() {
  std::vector<std::string> out;
  char folder[4096];
  for (unsigned i = 0; tf_registry_search_folder(i, folder, sizeof folder); ++i)
    out.push_back(folder);
  return out;
}

namespace {

RegistryEntry ReadEntry(const std::filesystem::path& file) {
  RegistryEntry entry;
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

}  // namespace

std::vector<RegistryEntry> RegistryEntries() {
  std::map<std::string, RegistryEntry> byId;
  for (const std::filesystem::path folder : RegistrySearchPath()) {
    std::error_code ec;
    if (!std::filesystem::is_directory(folder, ec)) continue;
    for (const auto& f : std::filesystem::directory_iterator(folder, ec))
      if (f.is_regular_file() && f.path().filename().string()[0] != '.') {
        RegistryEntry e = ReadEntry(f.path());
        e["Folder"] = folder.string();
        byId.emplace(e["ProgID"], std::move(e));  // an earlier folder wins
      }
  }
  std::vector<RegistryEntry> entries;
  for (auto& [id, e] : byId) entries.push_back(std::move(e));
  return entries;
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

LoadedClass::LoadedClass() = default;
LoadedClass::~LoadedClass() {
  if (factory) factory->vtbl->Release(factory);
}

namespace {

// The registry entry a library writes for itself, read from a temporary registry.
RegistryEntry OwnEntry(const Library& lib) {
  auto folder =
      std::filesystem::temp_directory_path() / ("trendhost-" + std::to_string(::getpid()));
  std::filesystem::create_directories(folder);
  const char* previous = std::getenv("TREND_REGISTRY");
  std::optional<std::string> saved = previous ? std::optional<std::string>(previous) : std::nullopt;
  setenv("TREND_REGISTRY", folder.c_str(), 1);
  TF_STATUS s = lib.Entry<TF_RegisterServerFn>("DllRegisterServer")();
  RegistryEntry entry;
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

[[noreturn]] void UnknownClass(const std::string& progId) {
  std::vector<std::string> known;
  for (auto& e : RegistryEntries()) known.push_back(e["ProgID"]);
  std::string folders;
  for (const auto& f : RegistrySearchPath()) folders += (folders.empty() ? "" : ", ") + f;
  std::string message = "unknown class " + progId + " (not in the registry: " + folders + ")";
  if (auto near = Closest(progId, known); !near.empty())
    message += "; did you mean " + near + "?";
  else
    message += "; register a library with: trendhost register FILE.so";
  throw UsageError(message);
}

}  // namespace

std::unique_ptr<LoadedClass> LoadClass(const std::string& progId, const std::string& libraryFile) {
  auto c = std::make_unique<LoadedClass>();
  RegistryEntry entry;
  if (!libraryFile.empty()) {
    c->library = std::make_unique<Library>(libraryFile);
    entry = OwnEntry(*c->library);
    if (entry["ProgID"] != progId)
      throw UsageError(libraryFile + " publishes " + entry["ProgID"] + ", not " + progId);
  } else {
    if (progId.empty() || progId.find('/') != std::string::npos || progId[0] == '.')
      UnknownClass(progId);
    for (const std::filesystem::path folder : RegistrySearchPath())
      if (std::filesystem::exists(folder / progId)) {
        entry = ReadEntry(folder / progId);
        break;
      }
    if (entry.empty()) UnknownClass(progId);
    if (!std::filesystem::exists(entry["Library"]))
      throw UsageError("the library of " + progId + ", " + entry["Library"] +
                       ", is missing (register it again with trendhost register FILE.so)");
    c->library = std::make_unique<Library>(entry["Library"]);
  }
  TF_GUID clsid = ParseGuid(entry["CLSID"]);
  auto get = c->library->Entry<TF_GetClassObjectFn>("DllGetClassObject");
  if (get(&clsid, &TF_IID_ClassFactory, reinterpret_cast<void**>(&c->factory)) != TF_OK)
    throw UsageError("the library does not offer the class " + progId);
  c->info = c->factory->vtbl->GetTypeInfo(c->factory);
  return c;
}

void RegisterLibrary(const std::string& file, bool add, bool system) {
  Library lib(file);
  const std::string folder = system ? SystemRegistryFolder() : RegistryFolder();
  // The library writes where TREND_REGISTRY points while it registers.
  const char* previous = std::getenv("TREND_REGISTRY");
  const std::optional<std::string> saved =
      previous ? std::optional<std::string>(previous) : std::nullopt;
  if (system) setenv("TREND_REGISTRY", folder.c_str(), 1);
  auto entry = add ? lib.Entry<TF_RegisterServerFn>("DllRegisterServer")
                   : lib.Entry<TF_UnregisterServerFn>("DllUnregisterServer");
  const TF_STATUS s = entry();
  if (system) {
    if (saved)
      setenv("TREND_REGISTRY", saved->c_str(), 1);
    else
      unsetenv("TREND_REGISTRY");
  }
  if (s != TF_OK) throw CallFailed("cannot write the registry " + folder + " for " + file);
}

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

trend::Date DayOption(const std::string& text, const char* option) {
  try {
    return trend::ParseDate(text);
  } catch (const trend::Error&) {
    throw UsageError(std::string(option) + " \"" + text + "\" is not a day (yyyy-mm-dd)");
  }
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

std::string Closest(const std::string& name, const std::vector<std::string>& candidates) {
  auto lower = [](std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
  };
  const std::string a = lower(name);
  std::string best;
  size_t bestDistance = SIZE_MAX;
  for (const auto& candidate : candidates) {
    const std::string b = lower(candidate);
    // Edit distance, one row at a time.
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
      size_t diagonal = row[0];
      row[0] = i;
      for (size_t j = 1; j <= b.size(); ++j) {
        size_t up = row[j];
        row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
        diagonal = up;
      }
    }
    // A prefix of the name counts as close too ("Trend" for TrendValue).
    size_t distance = b.rfind(a, 0) == 0 && !a.empty() ? 1 : row[b.size()];
    if (distance < bestDistance) bestDistance = distance, best = candidate;
  }
  return bestDistance <= std::max<size_t>(2, name.size() / 3) ? best : std::string();
}

// ---- The host's DataSource ----

DataSourceObject::DataSourceObject(std::string name, std::string user, std::string password,
                                   std::string qualifier)
    : base_{&kVtbl},
      properties_{{"Name", std::move(name)},
                  {"UserName", std::move(user)},
                  {"Password", std::move(password)},
                  {"Qualifier", std::move(qualifier)}} {}

std::string DataSourceObject::Describe() const {
  return "DataSource(Name=\"" + properties_[0].second + "\", UserName=\"" + properties_[1].second +
         "\", Password=" + (properties_[2].second.empty() ? "\"\"" : "(given)") + ", Qualifier=\"" +
         properties_[3].second + "\")";
}

DataSourceObject* DataSourceObject::Self(TF_Dispatch* d) {
  return reinterpret_cast<DataSourceObject*>(d);
}
uint32_t DataSourceObject::AddRef(TF_Dispatch*) {
  return 1;  // lives as long as the host's calls
}
uint32_t DataSourceObject::Release(TF_Dispatch*) {
  return 1;
}

TF_STATUS DataSourceObject::GetIDsOfNames(TF_Dispatch* d, const char* const* names, uint32_t count,
                                          int32_t* ids) {
  if (count != 1 || !names[0]) return TF_E_UNKNOWN_NAME;
  auto& properties = Self(d)->properties_;
  for (size_t i = 0; i < properties.size(); ++i)
    if (strcasecmp(properties[i].first.c_str(), names[0]) == 0) {
      ids[0] = static_cast<int32_t>(i + 1);
      return TF_OK;
    }
  return TF_E_UNKNOWN_NAME;
}

TF_STATUS DataSourceObject::Invoke(TF_Dispatch* d, int32_t id, uint16_t flags, TF_VARIANT*,
                                   uint32_t n, TF_VARIANT* result, TF_EXCEPINFO*) {
  auto& properties = Self(d)->properties_;
  if (!(flags & TF_DISPATCH_PROPERTYGET) || n != 0 || id < 1 ||
      id > static_cast<int32_t>(properties.size()) || !result)
    return TF_E_MEMBER_NOT_FOUND;
  const std::string& v = properties[static_cast<size_t>(id - 1)].second;
  char* copy = static_cast<char*>(std::malloc(v.size() + 1));
  if (!copy) return TF_E_OUT_OF_MEMORY;
  std::memcpy(copy, v.c_str(), v.size() + 1);
  result->vt = TF_VT_TEXT;
  result->u.text = copy;
  return TF_OK;
}

void* DataSourceObject::Alloc(TF_Dispatch*, size_t n) {
  return std::malloc(n);
}
void DataSourceObject::Free(TF_Dispatch*, void* p) {
  std::free(p);
}

const TF_DispatchVtbl DataSourceObject::kVtbl = {TF_ABI_VERSION, AddRef,  Release, GetIDsOfNames,
                                                 Invoke,         nullptr, Alloc,   Free};

std::string ConnectionHint(const std::string& description, const std::string& dsn) {
  if (description.find("IM002") == std::string::npos) return {};
  const char* user = std::getenv("ODBCINI");
  const char* system = std::getenv("ODBCSYSINI");
  const char* home = std::getenv("HOME");
  const std::string userFile = user && *user ? user : std::string(home ? home : "~") + "/.odbc.ini";
  const std::string systemFile =
      system && *system ? std::string(system) + "/odbc.ini" : std::string("/etc/odbc.ini");
  return "hint: no data source named \"" + dsn + "\" in " + userFile + " or " + systemFile +
         " (the files ODBCINI and ODBCSYSINI name, or their defaults); `odbcinst -q -s` lists "
         "the defined data sources";
}

}  // namespace host
