#include "registry.h"

#include <dlfcn.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>

#include "command.h"

namespace host {

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
  // The registry of the prefix the program itself is installed in (PREFIX/bin/trendhost:
  // PREFIX/share/trend-registry), found without XDG_DATA_DIRS naming it.
  std::error_code ec;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (!ec) {
    const std::string own =
        (self.parent_path().parent_path() / "share" / "trend-registry").lexically_normal().string();
    if (std::find(out.begin(), out.end(), own) == out.end() &&
        std::filesystem::is_directory(own, ec))
      out.push_back(own);
  }
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

bool IsProgId(const std::string& text) {
  // Name.Name: two or more identifiers joined by dots, as a class publishes itself.
  if (text.empty() || text.size() > 255) return false;
  size_t parts = 0;
  for (size_t start = 0; start <= text.size(); ++parts) {
    const size_t dot = std::min(text.find('.', start), text.size());
    if (dot == start) return false;
    const unsigned char first = static_cast<unsigned char>(text[start]);
    if (!std::isalpha(first) && first != '_') return false;
    for (size_t i = start; i < dot; ++i) {
      const unsigned char c = static_cast<unsigned char>(text[i]);
      if (!std::isalnum(c) && c != '_') return false;
    }
    start = dot + 1;
  }
  return parts >= 2;
}

std::vector<RegistryEntry> RegistryEntries(std::vector<std::string>* skipped) {
  std::map<std::string, RegistryEntry> byId;
  for (const std::filesystem::path folder : RegistrySearchPath()) {
    std::error_code ec;
    if (!std::filesystem::is_directory(folder, ec)) continue;
    for (const auto& f : std::filesystem::directory_iterator(folder, ec))
      if (f.is_regular_file() && f.path().filename().string()[0] != '.') {
        RegistryEntry e = ReadEntry(f.path());
        if (!IsProgId(e["ProgID"])) {
          // Not written by a class: its names reach shells (the completion) and terminals.
          if (skipped) skipped->push_back(f.path().string());
          continue;
        }
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
    if (!p) throw NotAClassLibrary(std::string("not a trend library: no entry point ") + name);
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
  // A private folder nobody else can have made in advance.
  std::string pattern = (std::filesystem::temp_directory_path() / "trendhost-XXXXXX").string();
  if (!::mkdtemp(pattern.data()))
    throw CallFailed("cannot create a temporary registry folder: " +
                     std::string(std::strerror(errno)));
  const std::filesystem::path folder = pattern;
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
    if (!IsProgId(entry["ProgID"]))
      throw UsageError(libraryFile + " publishes a class named \"" + Visible(entry["ProgID"]) +
                       "\", which is not a Name.Name identifier");
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
  lib.Entry<TF_GetClassObjectFn>("DllGetClassObject");  // a library of classes at all?
  if (add) {
    // A class whose identifier is no Name.Name identifier is not registered: the name
    // would reach shells and terminals.
    const std::string progId = OwnEntry(lib)["ProgID"];
    if (!IsProgId(progId))
      throw UsageError("the library publishes a class named \"" + Visible(progId) +
                       "\", which is not a Name.Name identifier");
  }
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

}  // namespace host
