// The pieces every trendhost command shares: its errors and exit statuses, the masking of
// the password, the registry and the loading of a class through trendframe.h, the names
// and text forms of the frame's types, the DataSource object the host hands the libraries,
// and the lookup of a method with suggestions.
#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "dates.h"
#include "trendframe.h"

namespace host {

// Exit statuses.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;  // a raised error, or a failure of the library
inline constexpr int kExitUsage = 2;

// A usage error: printed and answered with exit status 2.
struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};
// A failure of a call: printed and answered with exit status 1.
struct CallFailed : std::runtime_error {
  using std::runtime_error::runtime_error;
};
// An Invoke that failed with a status of the frame rather than a raised error.
struct InvokeFailed : CallFailed {
  InvokeFailed(const std::string& what, int32_t s) : CallFailed(what), status(s) {}
  int32_t status;
};

// The password of this run, never printed: every text that leaves the host goes through
// Masked. One of four characters or more is masked wherever it appears; a shorter one,
// which would match inside ordinary words, only where it stands as a value
// ("PWD=..." or "password=..." up to a ";", a blank, a quote or the end).
void SetPassword(std::string password);
std::string Masked(std::string text);

// CR LF and lone CR become line ends of this platform.
std::string Lines(const std::string& text);

// Progress of long work on standard error, only when it is a terminal (and `on`): done of
// total, rate and time left, at most five times a second.
class Progress {
 public:
  Progress(std::string what, size_t total, bool on);
  void Done(size_t done);

 private:
  std::string what_;
  size_t total_;
  bool on_;
  std::chrono::steady_clock::time_point start_, shown_;
};

// ---- The registry and classes ----

// The folder registrations are written to (the per-user one), and the system one.
std::string RegistryFolder();
std::string SystemRegistryFolder();
// Every folder searched for a class, in order: the per-user one, then the system ones.
std::vector<std::string> RegistrySearchPath();
using RegistryEntry = std::map<std::string, std::string>;
// Every class registered in the search path, by programmatic identifier; the first folder
// that registers a class wins. "Folder" tells where each entry was found.
std::vector<RegistryEntry> RegistryEntries();

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
void RegisterLibrary(const std::string& file, bool add, bool system = false);

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

// The day text of a command's option ("yyyy-mm-dd"); anything else is a usage error
// naming the option.
trend::Date DayOption(const std::string& text, const char* option);

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
// The closest of `candidates` to `name` (letter case ignored), or empty when none is close.
std::string Closest(const std::string& name, const std::vector<std::string>& candidates);

// ---- The host's DataSource ----

// A host object implementing the dispatch interface with the four properties the
// libraries read. It lives as long as the host's calls.
class DataSourceObject {
 public:
  DataSourceObject(std::string name, std::string user, std::string password, std::string qualifier);
  TF_Dispatch* dispatch() { return &base_; }
  // For --verbose: everything but the password.
  std::string Describe() const;

 private:
  static DataSourceObject* Self(TF_Dispatch* d);
  static uint32_t AddRef(TF_Dispatch*);
  static uint32_t Release(TF_Dispatch*);
  static TF_STATUS GetIDsOfNames(TF_Dispatch* d, const char* const* names, uint32_t count,
                                 int32_t* ids);
  static TF_STATUS Invoke(TF_Dispatch* d, int32_t id, uint16_t flags, TF_VARIANT*, uint32_t n,
                          TF_VARIANT* result, TF_EXCEPINFO*);
  static void* Alloc(TF_Dispatch*, size_t n);
  static void Free(TF_Dispatch*, void* p);
  static const TF_DispatchVtbl kVtbl;

  TF_Dispatch base_;  // first: a TF_Dispatch* is a DataSourceObject*
  std::vector<std::pair<std::string, std::string>> properties_;
};

// A hint for a failure to open the data source `dsn` (empty when the error is no such
// failure): for "data source not found", the ini files searched and how to list the DSNs.
std::string ConnectionHint(const std::string& description, const std::string& dsn);

}  // namespace host
