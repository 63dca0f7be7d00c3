#include "frame.h"

#include <dlfcn.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "error.h"

namespace frame {

using trend::Error;
using trend::Variant;

namespace {

std::atomic<long> gObjects{0};  // live instances and factories of this library
std::atomic<long> gLocks{0};

bool EqualsNoCase(const char* a, const char* b) {
  for (; *a && *b; ++a, ++b)
    if (std::tolower(static_cast<unsigned char>(*a)) !=
        std::tolower(static_cast<unsigned char>(*b)))
      return false;
  return *a == *b;
}

char* CopyString(const std::string& s) {
  char* p = static_cast<char*>(std::malloc(s.size() + 1));
  if (p) std::memcpy(p, s.c_str(), s.size() + 1);
  return p;
}

void Fill(TF_EXCEPINFO* excep, const Error& e) {
  if (!excep) return;
  excep->number = e.number();
  excep->source = CopyString(e.source());
  excep->description = CopyString(e.description());
}

Error FrameError(int32_t number, std::string description = {}) {
  if (description.empty()) description = std::string(trend::StandardErrorText(number));
  return Error(number, std::string(trend::ApplicationTitle()), std::move(description));
}

// A host object read late-bound as a DataSource: its properties by name through
// GetIDsOfNames and Invoke(TF_DISPATCH_PROPERTYGET).
class DispatchDataSource : public trend::DataSource {
 public:
  explicit DispatchDataSource(TF_Dispatch* d) : d_(d) { d_->vtbl->AddRef(d_); }
  ~DispatchDataSource() override { d_->vtbl->Release(d_); }
  DispatchDataSource(const DispatchDataSource&) = delete;
  DispatchDataSource& operator=(const DispatchDataSource&) = delete;

  Variant GetProperty(std::string_view name) const override;

 private:
  TF_Dispatch* d_;
};

// A by-reference variant whose target is a by-reference variant itself (or null): the
// frame follows one level only.
bool BadVariantReference(const TF_VARIANT& v) {
  return v.vt == (TF_VT_BYREF | TF_VT_VARIANT) &&
         (!v.u.p_variant || (v.u.p_variant->vt & TF_VT_BYREF));
}

// The value a by-reference variant points to, as a by-value variant.
TF_VARIANT Deref(const TF_VARIANT& v) {
  if (!(v.vt & TF_VT_BYREF)) return v;
  if (!v.u.p_i2) trend::RaisePlatformError(trend::kInvalidCall);
  TF_VARIANT out{};
  out.vt = static_cast<TF_VARTYPE>(v.vt & ~TF_VT_BYREF);
  switch (out.vt) {
    case TF_VT_VARIANT:
      if (BadVariantReference(v)) trend::RaisePlatformError(trend::kInvalidCall);
      return Deref(*v.u.p_variant);  // one level: the target is by value
    case TF_VT_I2:
      out.u.i2 = *v.u.p_i2;
      break;
    case TF_VT_BOOL:
      out.u.boolean = *v.u.p_i2;
      break;
    case TF_VT_I4:
      out.u.i4 = *v.u.p_i4;
      break;
    case TF_VT_R4:
      out.u.r4 = *v.u.p_r4;
      break;
    case TF_VT_R8:
    case TF_VT_DATE:
      out.u.r8 = *v.u.p_r8;
      break;
    case TF_VT_TEXT:
      out.u.text = *v.u.p_text;
      break;
    case TF_VT_DISPATCH:
      out.u.dispatch = *v.u.p_dispatch;
      break;
    default:
      trend::RaisePlatformError(trend::kTypeMismatch);
  }
  return out;
}

// The value of a variant that crossed the boundary.
Variant FromC(const TF_VARIANT& in) {
  const TF_VARIANT v = Deref(in);
  switch (v.vt) {
    case TF_VT_EMPTY:
      return Variant();
    case TF_VT_NULL:
      return Variant(trend::Null{});
    case TF_VT_I2:
      return Variant(v.u.i2);
    case TF_VT_I4:
      return Variant(v.u.i4);
    case TF_VT_R4:
      return Variant(v.u.r4);
    case TF_VT_R8:
      return Variant(v.u.r8);
    case TF_VT_DATE:
      return Variant(trend::SerialToDate(v.u.date));
    case TF_VT_TEXT:
      return Variant(std::string(v.u.text ? v.u.text : ""));
    case TF_VT_BOOL:
      return Variant(v.u.boolean != 0);
    case TF_VT_DISPATCH:
      if (!v.u.dispatch) return Variant(trend::Null{});
      return Variant(
          std::shared_ptr<trend::DataSource>(std::make_shared<DispatchDataSource>(v.u.dispatch)));
    default:
      trend::RaisePlatformError(trend::kTypeMismatch);
  }
}

// A result for the caller; a text is allocated here and freed with FreeMemory.
TF_VARIANT ToC(const Variant& v) {
  TF_VARIANT out{};
  switch (v.type()) {
    case Variant::Type::kEmpty:
      out.vt = TF_VT_EMPTY;
      break;
    case Variant::Type::kNull:
      out.vt = TF_VT_NULL;
      break;
    case Variant::Type::kInt16:
      out.vt = TF_VT_I2, out.u.i2 = *v.get_if<int16_t>();
      break;
    case Variant::Type::kInt32:
      out.vt = TF_VT_I4, out.u.i4 = *v.get_if<int32_t>();
      break;
    case Variant::Type::kSingle:
      out.vt = TF_VT_R4, out.u.r4 = *v.get_if<float>();
      break;
    case Variant::Type::kDouble:
      out.vt = TF_VT_R8, out.u.r8 = *v.get_if<double>();
      break;
    case Variant::Type::kDate:
      out.vt = TF_VT_DATE, out.u.date = trend::DateToSerial(*v.get_if<trend::Date>());
      break;
    case Variant::Type::kText:
      out.vt = TF_VT_TEXT;
      out.u.text = CopyString(*v.get_if<std::string>());
      if (!out.u.text) throw std::bad_alloc();
      break;
    case Variant::Type::kBoolean:
      out.vt = TF_VT_BOOL, out.u.boolean = *v.get_if<bool>() ? -1 : 0;
      break;
    case Variant::Type::kObject:
      trend::RaisePlatformError(trend::kTypeMismatch);
  }
  return out;
}

Variant DispatchDataSource::GetProperty(std::string_view name) const {
  const std::string n(name);
  const char* names[] = {n.c_str()};
  int32_t id = 0;
  if (d_->vtbl->GetIDsOfNames(d_, names, 1, &id) != TF_OK)
    trend::RaisePlatformError(trend::kMemberNotFound);
  TF_VARIANT result{};
  TF_EXCEPINFO excep{};
  TF_STATUS s = d_->vtbl->Invoke(d_, id, TF_DISPATCH_PROPERTYGET, nullptr, 0, &result, &excep);
  if (s == TF_E_EXCEPTION) {
    Error e(excep.number, excep.source ? excep.source : "",
            excep.description ? excep.description : "");
    if (excep.source) d_->vtbl->FreeMemory(d_, excep.source);
    if (excep.description) d_->vtbl->FreeMemory(d_, excep.description);
    throw e;
  }
  if (s != TF_OK) trend::RaisePlatformError(trend::kMemberNotFound);
  Variant v = FromC(result);
  if (result.vt == TF_VT_TEXT && result.u.text)
    d_->vtbl->FreeMemory(d_, const_cast<char*>(result.u.text));
  if (result.vt == TF_VT_DISPATCH && result.u.dispatch)
    result.u.dispatch->vtbl->Release(result.u.dispatch);
  return v;
}

// An instance of the published class.
struct Instance {
  TF_Dispatch base;  // first: a TF_Dispatch* is an Instance*
  std::atomic<uint32_t> refs{1};
  const ClassDescription* description;
  void* object;
  std::thread::id owner = std::this_thread::get_id();
};

Instance* Self(TF_Dispatch* d) {
  return reinterpret_cast<Instance*>(d);
}

uint32_t InstanceAddRef(TF_Dispatch* d) {
  return ++Self(d)->refs;
}

uint32_t InstanceRelease(TF_Dispatch* d) {
  Instance* self = Self(d);
  uint32_t left = --self->refs;
  if (left == 0) {
    self->description->Destroy(self->object);
    delete self;
    --gObjects;
  }
  return left;
}

TF_STATUS InstanceGetIDsOfNames(TF_Dispatch* d, const char* const* names, uint32_t count,
                                int32_t* ids) {
  if (!d || !names || !ids || count == 0 || !names[0]) return TF_E_INVALID_ARG;
  for (const Method& m : Self(d)->description->methods()) {
    if (!EqualsNoCase(m.name, names[0])) continue;
    ids[0] = m.dispid;
    TF_STATUS status = TF_OK;
    for (uint32_t i = 1; i < count; ++i) {
      ids[i] = -1;
      for (size_t p = 0; p < m.params.size(); ++p)
        if (names[i] && EqualsNoCase(m.params[p].name, names[i])) ids[i] = static_cast<int32_t>(p);
      if (ids[i] < 0) status = TF_E_UNKNOWN_NAME;
    }
    return status;
  }
  ids[0] = -1;
  return TF_E_UNKNOWN_NAME;
}

TF_STATUS InstanceInvoke(TF_Dispatch* d, int32_t dispid, uint16_t flags, TF_VARIANT* args,
                         uint32_t argCount, TF_VARIANT* result, TF_EXCEPINFO* excep) noexcept {
  try {
    if (!d || (argCount > 0 && !args)) return TF_E_INVALID_ARG;
    if (excep) *excep = TF_EXCEPINFO{};
    if (result) *result = TF_VARIANT{};
    Instance* self = Self(d);
    if (std::this_thread::get_id() != self->owner) {
      Fill(excep,
           FrameError(trend::kWrongThread,
                      "The object was called from a thread other than the one that created it"));
      return TF_E_WRONG_THREAD;
    }
    const Method* method = nullptr;
    for (const Method& m : self->description->methods())
      if (m.dispid == dispid) method = &m;
    if (!method || !(flags & TF_DISPATCH_METHOD)) return TF_E_MEMBER_NOT_FOUND;
    size_t required = method->params.size();
    while (required > 0 && method->params[required - 1].optional) --required;
    if (argCount > method->params.size() || argCount < required) {
      Fill(excep, FrameError(450, "Wrong number of arguments: " + std::string(method->name) +
                                      " takes " + std::to_string(required) +
                                      (required == method->params.size()
                                           ? ""
                                           : " to " + std::to_string(method->params.size())) +
                                      ", " + std::to_string(argCount) + " given"));
      return TF_E_BAD_PARAM_COUNT;
    }
    for (uint32_t i = 0; i < argCount; ++i)
      if (BadVariantReference(args[i])) return TF_E_INVALID_ARG;
    std::vector<Variant> values;
    values.reserve(method->params.size());
    for (size_t i = 0; i < method->params.size(); ++i) {
      const ParamSpec& p = method->params[i];
      bool missing = i >= argCount || args[i].vt == TF_VT_MISSING;
      if (missing && !p.optional)
        throw FrameError(449, "Argument not optional: " + std::string(p.name));
      values.push_back(missing ? p.defaultValue : FromC(args[i]));
    }
    Variant r = method->call(self->object, values);
    if (result && method->resultVt != TF_VT_VOID) *result = ToC(r);
    return TF_OK;
  } catch (...) {
    Fill(excep, trend::CurrentError());
    return TF_E_EXCEPTION;
  }
}

const TF_TypeInfo* InstanceGetTypeInfo(TF_Dispatch* d) {
  return Self(d)->description->typeInfo();
}
void* AllocMemory(TF_Dispatch*, size_t size) {
  return std::malloc(size);
}
void FreeMemory(TF_Dispatch*, void* p) {
  std::free(p);
}

TF_STATUS InstanceGetHourlyGrid(TF_Dispatch* d, const char* const* request, uint32_t count,
                                TF_HourlyGrid* grid) noexcept {
  if (!d || !grid || (count > 0 && !request)) return TF_E_INVALID_ARG;
  for (uint32_t i = 0; i < count; ++i)
    if (!request[i]) return TF_E_INVALID_ARG;
  Instance* self = Self(d);
  if (std::this_thread::get_id() != self->owner) return TF_E_WRONG_THREAD;
  *grid = TF_HourlyGrid{};
  const GridFn fitted = self->description->fittedGrid();
  const std::optional<trend::GridView> rows =
      fitted ? fitted(self->object, {request, count}) : std::nullopt;
  if (!rows) return TF_FALSE;
  static_assert(sizeof(trend::DayHours) == trend::kHours * sizeof(double));
  grid->days = static_cast<uint32_t>(rows->average.size());
  grid->average = rows->average.front().data();
  grid->minimum = rows->minimum.front().data();
  return TF_OK;
}

const TF_DispatchVtbl kInstanceVtbl = {
    TF_ABI_VERSION,      InstanceAddRef, InstanceRelease, InstanceGetIDsOfNames, InstanceInvoke,
    InstanceGetTypeInfo, AllocMemory,    FreeMemory,      InstanceGetHourlyGrid};

struct Factory {
  TF_ClassFactory base;
  std::atomic<uint32_t> refs{1};
  const ClassDescription* description;
};

Factory* Self(TF_ClassFactory* f) {
  return reinterpret_cast<Factory*>(f);
}
uint32_t FactoryAddRef(TF_ClassFactory* f) {
  return ++Self(f)->refs;
}
uint32_t FactoryRelease(TF_ClassFactory* f) {
  uint32_t left = --Self(f)->refs;
  if (left == 0) {
    delete Self(f);
    --gObjects;
  }
  return left;
}

TF_STATUS FactoryCreateInstance(TF_ClassFactory* f, const TF_GUID* iid, void** out) noexcept {
  if (!f || !iid || !out) return TF_E_INVALID_ARG;
  *out = nullptr;
  const ClassDescription& d = *Self(f)->description;
  if (!tf_guid_equal(iid, &TF_IID_Dispatch) && !tf_guid_equal(iid, &d.identity().interfaceId))
    return TF_E_NO_INTERFACE;
  try {
    auto* instance = new Instance{{&kInstanceVtbl}, {1}, &d, d.Create()};
    ++gObjects;
    *out = instance;
    return TF_OK;
  } catch (...) {
    return TF_E_OUT_OF_MEMORY;
  }
}

TF_STATUS FactoryLockServer(TF_ClassFactory* f, int32_t lock) {
  if (!f) return TF_E_INVALID_ARG;
  if (lock)
    ++gLocks;
  else if (gLocks > 0)
    --gLocks;
  return TF_OK;
}

const TF_TypeInfo* FactoryGetTypeInfo(TF_ClassFactory* f) {
  return Self(f)->description->typeInfo();
}

const TF_ClassFactoryVtbl kFactoryVtbl = {TF_ABI_VERSION,    FactoryAddRef,
                                          FactoryRelease,    FactoryCreateInstance,
                                          FactoryLockServer, FactoryGetTypeInfo};

std::string GuidText(const TF_GUID& g) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.data1,
                g.data2, g.data3, g.data4[0], g.data4[1], g.data4[2], g.data4[3], g.data4[4],
                g.data4[5], g.data4[6], g.data4[7]);
  return buf;
}

std::filesystem::path RegistryFolder() {
  char folder[4096];
  if (!tf_registry_folder(folder, sizeof folder))
    throw std::length_error("registry folder path too long");
  return folder;
}

// The file this library was loaded from.
std::string LibraryPath() {
  Dl_info info{};
  if (!dladdr(reinterpret_cast<void*>(&RegistryFolder), &info) || !info.dli_fname) return {};
  std::error_code ec;
  auto path = std::filesystem::canonical(info.dli_fname, ec);
  return ec ? std::string(info.dli_fname) : path.string();
}

}  // namespace

ClassDescription::ClassDescription(Identity identity, std::vector<Method> methods,
                                   void* (*create)(), void (*destroy)(void*), GridFn gridOf)
    : identity_(identity),
      methods_(std::move(methods)),
      create_(create),
      destroy_(destroy),
      grid_(gridOf) {
  paramInfos_.reserve(methods_.size());
  for (const Method& m : methods_) {
    std::vector<TF_ParamInfo> params;
    for (size_t i = 0; i < m.params.size(); ++i) {
      TF_ParamInfo p{};
      p.name = m.params[i].name;
      p.vt = m.paramVts[i];
      p.by_ref = m.params[i].byRef ? 1 : 0;
      p.optional = m.params[i].optional ? 1 : 0;
      if (m.params[i].optional) p.default_value = ToC(m.params[i].defaultValue);
      params.push_back(p);
    }
    paramInfos_.push_back(std::move(params));
  }
  for (size_t i = 0; i < methods_.size(); ++i)
    methodInfos_.push_back({methods_[i].name, methods_[i].dispid, methods_[i].resultVt,
                            static_cast<uint32_t>(paramInfos_[i].size()), paramInfos_[i].data()});
  typeInfo_ = TF_TypeInfo{TF_ABI_VERSION,
                          identity_.libraryName,
                          identity_.className,
                          identity_.interfaceName,
                          identity_.progId,
                          identity_.fileName,
                          identity_.fileVersion,
                          "Apartment",
                          identity_.typelibId,
                          identity_.classId,
                          identity_.interfaceId,
                          1,
                          0,
                          static_cast<uint32_t>(methodInfos_.size()),
                          methodInfos_.data()};
}

TF_STATUS GetClassObject(const ClassDescription& d, const TF_GUID* clsid, const TF_GUID* iid,
                         void** object) {
  if (!clsid || !iid || !object) return TF_E_INVALID_ARG;
  *object = nullptr;
  if (!tf_guid_equal(clsid, &d.identity().classId)) return TF_E_CLASS_NOT_AVAILABLE;
  if (!tf_guid_equal(iid, &TF_IID_ClassFactory)) return TF_E_NO_INTERFACE;
  try {
    auto* f = new Factory{{&kFactoryVtbl}, {1}, &d};
    ++gObjects;
    *object = f;
    return TF_OK;
  } catch (...) {
    return TF_E_OUT_OF_MEMORY;
  }
}

TF_STATUS CanUnloadNow() {
  return gObjects == 0 && gLocks == 0 ? TF_OK : TF_FALSE;
}

TF_STATUS RegisterServer(const ClassDescription& d) {
  try {
    const Identity& id = d.identity();
    std::filesystem::path folder = RegistryFolder();
    // Folders this creates are 0755 and entries 0644 whatever the umask: a registry that
    // others could write would let them choose the library a host loads.
    std::filesystem::path missing;
    for (std::filesystem::path p = folder; !p.empty() && !std::filesystem::exists(p);
         p = p.parent_path()) {
      missing = p;
      if (p == p.parent_path()) break;
    }
    std::filesystem::create_directories(folder);
    if (!missing.empty())
      for (std::filesystem::path p = folder;; p = p.parent_path()) {
        std::filesystem::permissions(p, std::filesystem::perms(0755));
        if (p == missing || p == p.parent_path()) break;
      }
    std::filesystem::path file = folder / id.progId;
    std::filesystem::path temp =
        folder / (std::string(".") + id.progId + "." + std::to_string(::getpid()));
    {
      std::ofstream out(temp, std::ios::trunc);
      out << "ProgID=" << id.progId << "\n"
          << "CLSID=" << GuidText(id.classId) << "\n"
          << "Library=" << LibraryPath() << "\n"
          << "TypeLib=" << GuidText(id.typelibId) << "\n"
          << "TypeLibVersion=1.0\n"
          << "ThreadingModel=Apartment\n"
          << "Version=" << id.fileVersion << "\n"
          << "Name=" << id.libraryName << "." << id.className << "\n";
      if (!out.flush()) return TF_E_REGISTRY;
    }
    std::filesystem::permissions(temp, std::filesystem::perms(0644));
    std::filesystem::rename(temp, file);  // readers never see half an entry
    return TF_OK;
  } catch (...) {
    return TF_E_REGISTRY;
  }
}

TF_STATUS UnregisterServer(const ClassDescription& d) {
  try {
    std::filesystem::remove(RegistryFolder() / d.identity().progId);
    return TF_OK;
  } catch (...) {
    return TF_E_REGISTRY;
  }
}

int32_t LibraryMain(const ClassDescription& d, void*, uint32_t reason) {
  if (reason == 1) (void)d.typeInfo();  // build the description before the first call
  return 1;
}

}  // namespace frame
