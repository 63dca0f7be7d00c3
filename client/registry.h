// The class registry (the per-user folder, then the system ones) and the loading of a
// library's class through trendframe.h.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "command.h"
#include "trendframe.h"

namespace host {

// The folder registrations are written to (the per-user one), and the system one.
std::string RegistryFolder();
std::string SystemRegistryFolder();
// Every folder searched for a class, in order: the per-user one, then the system ones.
std::vector<std::string> RegistrySearchPath();
using RegistryEntry = std::map<std::string, std::string>;
// Every class registered in the search path, by programmatic identifier; the first folder
// that registers a class wins. "Folder" tells where each entry was found. An entry whose
// ProgID is no Name.Name identifier is left out (its file named in `skipped`).
std::vector<RegistryEntry> RegistryEntries(std::vector<std::string>* skipped = nullptr);
// Name.Name[.Name...]: identifiers of letters, digits and _ joined by dots.
bool IsProgId(const std::string& text);

struct Library;
struct LoadedClass {
  std::unique_ptr<Library> library;
  TF_ClassFactory* factory = nullptr;
  const TF_TypeInfo* info = nullptr;
  LoadedClass();
  ~LoadedClass();
  LoadedClass(const LoadedClass&) = delete;
  LoadedClass& operator=(const LoadedClass&) = delete;
};
// The class of `progId` from the registry, or from `libraryFile` when that is not empty.
// Unknown classes are usage errors that suggest the closest registered identifier.
std::unique_ptr<LoadedClass> LoadClass(const std::string& progId, const std::string& libraryFile);
// Loads `file` and runs its DllRegisterServer (or DllUnregisterServer), in the per-user
// registry or, with `system`, in the system one.
// A library file that holds no classes of the frame (another shared library).
struct NotAClassLibrary : UsageError {
  using UsageError::UsageError;
};

void RegisterLibrary(const std::string& file, bool add, bool system = false);

}  // namespace host
