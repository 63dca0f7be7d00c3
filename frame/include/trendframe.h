/*
 * trendframe.h - the plain C interface through which each trend library (Orrery.so,
 * Vantor.so, Lanyard.so, Tessel.so) publishes its one class to a host.
 *
 * Usable from C, C++ or any language with a C foreign-function interface; it needs no C++
 * or ODBC header. All four libraries export the same five entry points and nothing else.
 *
 * THREADING. Apartment model: an instance belongs to the thread that created it, and a
 * call on it from any other thread is refused with TF_E_WRONG_THREAD (nothing changes).
 * Database connections are cached per thread and per library. The entry points and the
 * factory may be used from any thread.
 *
 * MEMORY. Strings are UTF-8. What a host passes into a call (argument strings, its own
 * objects) is only read and never freed by the library. What the library hands out (a
 * text result, the strings of an exception) belongs to the caller, who releases it with
 * the FreeMemory function of the object that handed it out (tf_variant_clear and
 * tf_excepinfo_clear below do that). A host object passed as an argument (a DataSource)
 * follows the same rule in the other direction: the library releases what the host's
 * object hands out with that object's own FreeMemory.
 *
 * REGISTRY. DllRegisterServer writes one file per class into the registry folder, named
 * by the programmatic identifier and holding "key=value" lines (ProgID, CLSID, Library,
 * TypeLib, TypeLibVersion, ThreadingModel, Version, Name); DllUnregisterServer removes it.
 * Both are idempotent. The folder is $TREND_REGISTRY when that is set, otherwise
 * $XDG_DATA_HOME/trend-registry, otherwise $HOME/.local/share/trend-registry (the
 * passwd entry's home without HOME; none when that is missing too). Hosts look
 * for a class in that folder first, then in trend-registry under each folder of
 * $XDG_DATA_DIRS (default /usr/local/share:/usr/share), the system registry where
 * installed libraries are registered for every user (tf_registry_search_folder).
 *
 * A TYPICAL CALL SEQUENCE
 *   lib = dlopen("Orrery.so", RTLD_NOW | RTLD_LOCAL);
 *   get = (TF_GetClassObjectFn)dlsym(lib, "DllGetClassObject");
 *   get(&clsid, &TF_IID_ClassFactory, (void**)&factory);      clsid from the registry
 *   factory->vtbl->CreateInstance(factory, &TF_IID_Dispatch, (void**)&obj);
 *   factory->vtbl->Release(factory);
 *   obj->vtbl->GetIDsOfNames(obj, &name, 1, &dispid);          names ignore letter case
 *   obj->vtbl->Invoke(obj, dispid, TF_DISPATCH_METHOD, args, nargs, &result, &excep);
 *   ... tf_variant_clear(obj, &result); obj->vtbl->Release(obj);
 *   if (((TF_CanUnloadNowFn)dlsym(lib, "DllCanUnloadNow"))() == TF_OK) dlclose(lib);
 */
#ifndef TRENDFRAME_H
#define TRENDFRAME_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <pwd.h>
#include <sys/types.h>
#include <unistd.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Version 2 added GetHourlyGrid at the end of the dispatch table; a host reads that slot
 * only from a table whose abi_version is 2 or more. */
#define TF_ABI_VERSION 2u

/* Status of every call. Negative values are failures. */
typedef int32_t TF_STATUS;
#define TF_OK 0                       /* success; DllCanUnloadNow: the library may be unloaded */
#define TF_FALSE 1                    /* DllCanUnloadNow: instances or locks remain */
#define TF_E_EXCEPTION (-1)           /* the method raised an error: see the TF_EXCEPINFO */
#define TF_E_UNKNOWN_NAME (-2)        /* GetIDsOfNames: no member or parameter of that name */
#define TF_E_MEMBER_NOT_FOUND (-3)    /* Invoke: no published member with that identifier */
#define TF_E_BAD_PARAM_COUNT (-4)     /* too many or too few arguments (exception info filled) */
#define TF_E_NO_INTERFACE (-5)        /* the object does not offer the interface asked for */
#define TF_E_CLASS_NOT_AVAILABLE (-6) /* DllGetClassObject: not this library's class */
#define TF_E_INVALID_ARG (-7)         /* a null pointer, an unknown flag, a by-ref chain */
#define TF_E_WRONG_THREAD                                                                    \
  (-8)                     /* the instance belongs to another thread (exception info filled) \
                            */
#define TF_E_REGISTRY (-9) /* the registry folder or file could not be written */
#define TF_E_OUT_OF_MEMORY (-10)

typedef struct TF_GUID {
  uint32_t data1;
  uint16_t data2, data3;
  uint8_t data4[8];
} TF_GUID;

/* Interface identifiers common to all libraries; each library's class also answers to
 * its own interface identifier (see its TF_TypeInfo). */
static const TF_GUID TF_IID_Dispatch = {
    0xb58f2434, 0x3066, 0x4ac1, {0xb2, 0x38, 0x16, 0x9f, 0x81, 0xf1, 0x56, 0xdb}};
static const TF_GUID TF_IID_ClassFactory = {
    0x80b43c65, 0xa7fb, 0x40fd, {0xa0, 0x57, 0xe7, 0xa4, 0xe4, 0x4b, 0x6c, 0x71}};

/* Variant types: the automation types of the method tables. */
typedef uint16_t TF_VARTYPE;
#define TF_VT_EMPTY 0
#define TF_VT_NULL 1
#define TF_VT_I2 2       /* int16_t */
#define TF_VT_I4 3       /* int32_t */
#define TF_VT_R4 4       /* float */
#define TF_VT_R8 5       /* double */
#define TF_VT_DATE 7     /* double: days since 1899-12-30, time as fraction */
#define TF_VT_TEXT 8     /* UTF-8 text */
#define TF_VT_DISPATCH 9 /* an object: TF_Dispatch* */
#define TF_VT_MISSING 10 /* an omitted optional argument */
#define TF_VT_BOOL 11    /* int16_t: -1 true, 0 false */
/* TF_VT_VARIANT: only with TF_VT_BYREF, a pointer to a TF_VARIANT that holds its value by
 * value (one level only: a target that is itself TF_VT_BYREF, or a null pointer, makes
 * Invoke answer TF_E_INVALID_ARG); as a result type: any. */
#define TF_VT_VARIANT 12
#define TF_VT_VOID 24      /* result type of a method without a result */
#define TF_VT_BYREF 0x4000 /* flag: the value is a pointer to the host's own variable */

typedef struct TF_Dispatch TF_Dispatch;

typedef struct TF_VARIANT {
  TF_VARTYPE vt;
  union {
    int16_t i2;
    int32_t i4;
    float r4;
    double r8;
    double date;
    const char* text; /* in an argument: the host's string; in a result: owned by the caller */
    TF_Dispatch* dispatch;
    int16_t boolean;
    /* TF_VT_BYREF | type: pointers to the host's variables */
    int16_t* p_i2;
    int32_t* p_i4;
    float* p_r4;
    double* p_r8;
    const char** p_text;
    TF_Dispatch** p_dispatch;
    struct TF_VARIANT* p_variant;
  } u;
} TF_VARIANT;

/* A raised error: the platform's error number, its source and its description. */
typedef struct TF_EXCEPINFO {
  int32_t number;
  char* source;      /* owned by the caller; released with the raising object's FreeMemory */
  char* description; /* lines end in CR LF; database details in CR alone */
} TF_EXCEPINFO;

/* Invoke flags. */
#define TF_DISPATCH_METHOD 1
#define TF_DISPATCH_PROPERTYGET 2

/* Type information: the method table of the class. */
typedef struct TF_ParamInfo {
  const char* name;
  TF_VARTYPE vt;
  uint8_t by_ref;           /* 1: pass TF_VT_BYREF | vt (or a by-ref variant); 0: by value */
  uint8_t optional;         /* may be omitted (trailing) or passed as TF_VT_MISSING */
  TF_VARIANT default_value; /* for an optional parameter */
} TF_ParamInfo;

typedef struct TF_MethodInfo {
  const char* name;
  int32_t dispid;
  TF_VARTYPE result_vt; /* TF_VT_VOID for none, TF_VT_VARIANT for a variant result */
  uint32_t param_count;
  const TF_ParamInfo* params; /* in declaration order */
} TF_MethodInfo;

typedef struct TF_TypeInfo {
  uint32_t abi_version;        /* TF_ABI_VERSION */
  const char* library_name;    /* "OrreryFunctions" */
  const char* class_name;      /* "OrreryClass" */
  const char* interface_name;  /* "_OrreryClass" */
  const char* prog_id;         /* "OrreryFunctions.OrreryClass" */
  const char* file_name;       /* "Orrery.so" */
  const char* file_version;    /* "1.0.0.2" */
  const char* threading_model; /* "Apartment" */
  TF_GUID typelib_id, class_id, interface_id;
  uint16_t typelib_major, typelib_minor; /* 1.0 */
  uint32_t method_count;
  const TF_MethodInfo* methods; /* the published methods, in interface order */
} TF_TypeInfo;

/* The hourly values of the series an instance fitted last (see GetHourlyGrid): `days`
 * rows of 24 hours each, the last day of the request's range first. An hour without
 * samples, and every hour of a day without a row, holds the missing mark: an average of
 * -1 and a minimum of 1e9. */
typedef struct TF_HourlyGrid {
  uint32_t days;
  const double* average; /* days * 24 hourly averages, row by row */
  const double* minimum; /* days * 24 hourly minima */
} TF_HourlyGrid;

/* The dispatch interface, implemented by the library's instances and by host objects
 * such as the DataSource (which need offer only GetIDsOfNames, Invoke with
 * TF_DISPATCH_PROPERTYGET, AddRef, Release and FreeMemory). Tables only grow at the end. */
typedef struct TF_DispatchVtbl {
  uint32_t abi_version;
  uint32_t (*AddRef)(TF_Dispatch* self);
  uint32_t (*Release)(TF_Dispatch* self);
  /* names[0] is a member name, names[1..count-1] its parameter names; ids receives the
   * member's dispatch identifier and the parameters' positions (0-based). */
  TF_STATUS(*GetIDsOfNames)
  (TF_Dispatch* self, const char* const* names, uint32_t count, int32_t* ids);
  /* args in declaration order (not reversed); trailing optional arguments may be left
   * out. result (may be null) receives the result; excep (may be null) a raised error. */
  TF_STATUS(*Invoke)
  (TF_Dispatch* self, int32_t dispid, uint16_t flags, TF_VARIANT* args, uint32_t arg_count,
   TF_VARIANT* result, TF_EXCEPINFO* excep);
  /* The class's type information, owned by the library (null for host objects). */
  const TF_TypeInfo* (*GetTypeInfo)(TF_Dispatch* self);
  void* (*AllocMemory)(TF_Dispatch* self, size_t size);
  void (*FreeMemory)(TF_Dispatch* self, void* memory);
  /* Since version 2; null for host objects. The rows the instance's last fit read, for a
   * host that models the same series on its own without reading them again: TF_OK with
   * `grid` filled when `request` (count texts: for Orrery's class the host, probe, probe
   * argument, first and last day, exactly as passed) is the request the instance last
   * fitted successfully; TF_FALSE when it is not (no fit yet, another series, a failed
   * fit, a class that keeps no such grid). The pointers stay valid until the next call on
   * the instance. TF_E_WRONG_THREAD from another thread than the owner's. */
  TF_STATUS(*GetHourlyGrid)
  (TF_Dispatch* self, const char* const* request, uint32_t count, TF_HourlyGrid* grid);
} TF_DispatchVtbl;

struct TF_Dispatch {
  const TF_DispatchVtbl* vtbl;
};

typedef struct TF_ClassFactory TF_ClassFactory;
typedef struct TF_ClassFactoryVtbl {
  uint32_t abi_version;
  uint32_t (*AddRef)(TF_ClassFactory* self);
  uint32_t (*Release)(TF_ClassFactory* self);
  /* iid: TF_IID_Dispatch or the class's own interface identifier. */
  TF_STATUS (*CreateInstance)(TF_ClassFactory* self, const TF_GUID* iid, void** instance);
  /* lock != 0 keeps the library loaded (DllCanUnloadNow answers TF_FALSE) until unlocked. */
  TF_STATUS (*LockServer)(TF_ClassFactory* self, int32_t lock);
  /* The class's type information without creating an instance. */
  const TF_TypeInfo* (*GetTypeInfo)(TF_ClassFactory* self);
} TF_ClassFactoryVtbl;

struct TF_ClassFactory {
  const TF_ClassFactoryVtbl* vtbl;
};

/* The library entry points (look them up with dlsym). */
typedef TF_STATUS (*TF_GetClassObjectFn)(const TF_GUID* clsid, const TF_GUID* iid, void** object);
typedef TF_STATUS (*TF_CanUnloadNowFn)(void);
typedef TF_STATUS (*TF_RegisterServerFn)(void);
typedef TF_STATUS (*TF_UnregisterServerFn)(void);
/* Load and unload entry, also run by the loader: reason 1 attach, 0 detach. */
typedef int32_t (*TF_DllMainFn)(void* module, uint32_t reason, void* reserved);

/* Releases what a result variant holds (a text, an object reference) and empties it. */
static inline void tf_variant_clear(TF_Dispatch* owner, TF_VARIANT* v) {
  if (v->vt == TF_VT_TEXT && v->u.text) owner->vtbl->FreeMemory(owner, (void*)v->u.text);
  if (v->vt == TF_VT_DISPATCH && v->u.dispatch) v->u.dispatch->vtbl->Release(v->u.dispatch);
  v->vt = TF_VT_EMPTY;
}

/* Releases the strings of an exception and empties it. */
static inline void tf_excepinfo_clear(TF_Dispatch* owner, TF_EXCEPINFO* e) {
  if (e->source) owner->vtbl->FreeMemory(owner, e->source);
  if (e->description) owner->vtbl->FreeMemory(owner, e->description);
  e->source = e->description = NULL;
  e->number = 0;
}

/* The registry folder (see REGISTRY above) into buf; 0 when it does not fit, or when
 * there is no per-user folder: without HOME and XDG_DATA_HOME the home directory comes
 * from the passwd entry, and with none the system registry alone is searched. A registry
 * is never resolved relative to the working folder. */
static inline int tf_registry_folder(char* buf, size_t size) {
  const char* r = getenv("TREND_REGISTRY");
  const char* x = getenv("XDG_DATA_HOME");
  const char* h = getenv("HOME");
  int n;
  if (r && *r)
    n = snprintf(buf, size, "%s", r);
  else if (x && *x == '/')
    n = snprintf(buf, size, "%s/trend-registry", x);
  else if (h && *h == '/')
    n = snprintf(buf, size, "%s/.local/share/trend-registry", h);
  else {
    struct passwd entry, *found = NULL;
    char text[4096];
    if (getpwuid_r(getuid(), &entry, text, sizeof text, &found) != 0 || !found ||
        !found->pw_dir || found->pw_dir[0] != '/')
      return 0;
    n = snprintf(buf, size, "%s/.local/share/trend-registry", found->pw_dir);
  }
  return n > 0 && (size_t)n < size;
}

/* The folders of $XDG_DATA_DIRS (default /usr/local/share:/usr/share), each with
 * "/trend-registry" appended: the index-th into buf; 0 when there is none or it does not
 * fit. Index 0 is the system registry that `trendhost register --system` writes. */
static inline int tf_registry_system_folder(unsigned index, char* buf, size_t size) {
  const char* dirs = getenv("XDG_DATA_DIRS");
  const char* p;
  unsigned i = 0;
  if (!dirs || !*dirs) dirs = "/usr/local/share:/usr/share";
  for (p = dirs;;) {
    const char* end = p;
    while (*end && *end != ':') ++end;
    if (end > p) { /* empty entries are skipped */
      if (i == index) {
        int n = snprintf(buf, size, "%.*s/trend-registry", (int)(end - p), p);
        return n > 0 && (size_t)n < size;
      }
      ++i;
    }
    if (!*end) return 0;
    p = end + 1;
  }
}

/* The index-th folder in which a host looks for a class: 0 is tf_registry_folder, then
 * the system folders in order. 0 when there is none or it does not fit. */
static inline int tf_registry_search_folder(unsigned index, char* buf, size_t size) {
  if (!tf_registry_folder(buf, size)) return tf_registry_system_folder(index, buf, size);
  if (index == 0) return 1;
  return tf_registry_system_folder(index - 1, buf, size);
}

static inline int tf_guid_equal(const TF_GUID* a, const TF_GUID* b) {
  int i;
  if (a->data1 != b->data1 || a->data2 != b->data2 || a->data3 != b->data3) return 0;
  for (i = 0; i < 8; ++i)
    if (a->data4[i] != b->data4[i]) return 0;
  return 1;
}

#ifdef __cplusplus
}
#endif

#endif /* TRENDFRAME_H */
