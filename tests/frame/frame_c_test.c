/* The four libraries as a host written in C sees them: loaded with dlopen, used only
 * through trendframe.h. Arguments: the paths of Orrery.so, Vantor.so, Lanyard.so and
 * Tessel.so. Runs against the backend the test bed names. */
#include <dlfcn.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include "testbed_c.h"
#include "trendframe.h"

static int passed, failed;
#define CHECK(cond)                                                            \
  do {                                                                         \
    if (cond) {                                                                \
      ++passed;                                                                \
    } else {                                                                   \
      ++failed;                                                                \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
    }                                                                          \
  } while (0)

/* ---- The host's DataSource: an object with four text properties. ---- */
typedef struct HostDataSource {
  TF_Dispatch base;
  int refs;
  const char* values[4];
  int qualifier_fails; /* the Qualifier property raises an error of the host's own */
} HostDataSource;

static const char* const kProperties[4] = {"Name", "UserName", "Password", "Qualifier"};

static uint32_t DsAddRef(TF_Dispatch* d) {
  return (uint32_t)++((HostDataSource*)d)->refs;
}
static uint32_t DsRelease(TF_Dispatch* d) {
  return (uint32_t)--((HostDataSource*)d)->refs;
}
static TF_STATUS DsGetIDsOfNames(TF_Dispatch* d, const char* const* names, uint32_t count,
                                 int32_t* ids) {
  int i;
  (void)d;
  if (count != 1) return TF_E_UNKNOWN_NAME;
  for (i = 0; i < 4; ++i)
    if (strcasecmp(names[0], kProperties[i]) == 0) {
      ids[0] = i + 1;
      return TF_OK;
    }
  return TF_E_UNKNOWN_NAME;
}
static char* Dup(const char* s) {
  char* p = malloc(strlen(s) + 1);
  strcpy(p, s);
  return p;
}
static TF_STATUS DsInvoke(TF_Dispatch* d, int32_t id, uint16_t flags, TF_VARIANT* args, uint32_t n,
                          TF_VARIANT* result, TF_EXCEPINFO* excep) {
  HostDataSource* ds = (HostDataSource*)d;
  (void)args;
  if (!(flags & TF_DISPATCH_PROPERTYGET) || n != 0 || id < 1 || id > 4)
    return TF_E_MEMBER_NOT_FOUND;
  if (id == 4 && ds->qualifier_fails) {
    excep->number = 1234;
    excep->source = Dup("Host.DataSource.Qualifier:");
    excep->description = Dup("qualifier unavailable");
    return TF_E_EXCEPTION;
  }
  result->vt = TF_VT_TEXT;
  result->u.text = Dup(ds->values[id - 1]);
  return TF_OK;
}
static void* DsAlloc(TF_Dispatch* d, size_t n) {
  (void)d;
  return malloc(n);
}
static void DsFree(TF_Dispatch* d, void* p) {
  (void)d;
  free(p);
}
static const TF_DispatchVtbl kDsVtbl = {
    TF_ABI_VERSION, DsAddRef, DsRelease, DsGetIDsOfNames, DsInvoke, NULL, DsAlloc, DsFree, NULL};

static HostDataSource MakeDataSource(void) {
  HostDataSource ds;
  memset(&ds, 0, sizeof ds);
  ds.base.vtbl = &kDsVtbl;
  ds.values[0] = tb_dsn();
  ds.values[1] = tb_user();
  ds.values[2] = tb_password();
  ds.values[3] = "";
  return ds;
}

/* ---- Loading a library. ---- */
typedef struct Library {
  void* handle;
  TF_GetClassObjectFn get;
  TF_CanUnloadNowFn can_unload;
  TF_RegisterServerFn reg;
  TF_UnregisterServerFn unreg;
  TF_DllMainFn main;
  TF_ClassFactory* factory;
  const TF_TypeInfo* info;
} Library;

/* The class identifier is learnt from the library itself: any other identifier is
 * refused, so a probe with a wrong one must fail first. */
static Library Load(const char* path, const TF_GUID* clsid) {
  Library lib;
  TF_GUID wrong = {0, 0, 0, {0}};
  void* object = NULL;
  memset(&lib, 0, sizeof lib);
  lib.handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  if (!lib.handle) {
    fprintf(stderr, "dlopen %s: %s\n", path, dlerror());
    exit(1);
  }
  *(void**)&lib.get = dlsym(lib.handle, "DllGetClassObject");
  *(void**)&lib.can_unload = dlsym(lib.handle, "DllCanUnloadNow");
  *(void**)&lib.reg = dlsym(lib.handle, "DllRegisterServer");
  *(void**)&lib.unreg = dlsym(lib.handle, "DllUnregisterServer");
  *(void**)&lib.main = dlsym(lib.handle, "DllMain");
  CHECK(lib.get && lib.can_unload && lib.reg && lib.unreg && lib.main);
  CHECK(dlsym(lib.handle, "QuoteSQL") == NULL);
  CHECK(lib.get(&wrong, &TF_IID_ClassFactory, &object) == TF_E_CLASS_NOT_AVAILABLE &&
        object == NULL);
  CHECK(lib.get(clsid, &TF_IID_ClassFactory, (void**)&lib.factory) == TF_OK);
  lib.info = lib.factory->vtbl->GetTypeInfo(lib.factory);
  CHECK(lib.info->abi_version == TF_ABI_VERSION && lib.info->typelib_major == 1 &&
        lib.info->typelib_minor == 0);
  CHECK(strcmp(lib.info->threading_model, "Apartment") == 0);
  return lib;
}

static TF_Dispatch* Create(Library* lib) {
  TF_Dispatch* obj = NULL;
  CHECK(lib->factory->vtbl->CreateInstance(lib->factory, &TF_IID_Dispatch, (void**)&obj) == TF_OK);
  return obj;
}

static int32_t Id(TF_Dispatch* obj, const char* name) {
  int32_t id = -1;
  obj->vtbl->GetIDsOfNames(obj, &name, 1, &id);
  return id;
}

/* By-reference argument constructors. */
static TF_VARIANT RefText(const char** p) {
  TF_VARIANT v;
  v.vt = TF_VT_BYREF | TF_VT_TEXT;
  v.u.p_text = p;
  return v;
}
static TF_VARIANT RefR4(float* p) {
  TF_VARIANT v;
  v.vt = TF_VT_BYREF | TF_VT_R4;
  v.u.p_r4 = p;
  return v;
}
static TF_VARIANT RefI2(int16_t* p) {
  TF_VARIANT v;
  v.vt = TF_VT_BYREF | TF_VT_I2;
  v.u.p_i2 = p;
  return v;
}
static TF_VARIANT RefObject(TF_Dispatch** p) {
  TF_VARIANT v;
  v.vt = TF_VT_BYREF | TF_VT_DISPATCH;
  v.u.p_dispatch = p;
  return v;
}

/* The host's variables of a TrendValue call. */
typedef struct TrendArgs {
  const char *host, *probe, *arg, *first, *last;
  float days, accelerator;
  int16_t style, counter;
  TF_Dispatch* ds;
  TF_VARIANT v[10];
} TrendArgs;

static void Bind(TrendArgs* a) {
  a->v[0] = RefText(&a->host);
  a->v[1] = RefText(&a->probe);
  a->v[2] = RefText(&a->arg);
  a->v[3] = RefText(&a->first);
  a->v[4] = RefText(&a->last);
  a->v[5] = RefR4(&a->days);
  a->v[6] = RefR4(&a->accelerator);
  a->v[7] = RefI2(&a->style);
  a->v[8] = RefObject(&a->ds);
  a->v[9] = RefI2(&a->counter);
}

static TF_STATUS Call(TF_Dispatch* obj, int32_t id, TF_VARIANT* args, uint32_t n,
                      TF_VARIANT* result, TF_EXCEPINFO* excep) {
  memset(result, 0, sizeof *result);
  memset(excep, 0, sizeof *excep);
  return obj->vtbl->Invoke(obj, id, TF_DISPATCH_METHOD, args, n, result, excep);
}

typedef struct ThreadCall {
  TF_Dispatch* obj;
  TrendArgs* args;
  TF_STATUS status, grid_status;
  TF_EXCEPINFO excep;
} ThreadCall;

static void* CallFromAnotherThread(void* p) {
  ThreadCall* c = p;
  TF_VARIANT r;
  c->excep.source = c->excep.description = NULL;
  c->status = Call(c->obj, 0x60030000, c->args->v, 9, &r, &c->excep);
  {
    const char* request[5] = {c->args->host, c->args->probe, c->args->arg, c->args->first,
                              c->args->last};
    TF_HourlyGrid g;
    c->grid_status = c->obj->vtbl->GetHourlyGrid(c->obj, request, 5, &g);
  }
  return NULL;
}

static void TestOrrery(Library* lib, HostDataSource* ds) {
  static const struct {
    const char* name;
    int32_t id;
  } kTable[] = {{"TrendValue", 0x60030000},         {"DaysToValue", 0x60030001},
                {"BestThreshold", 0x60030002},      {"StandardDeviation", 0x60030003},
                {"GrowthRate", 0x60030004},         {"TimesExceeded", 0x60030005},
                {"PrintForecast", 0x60030006},      {"InitializeFile", 0x60030007},
                {"GetRanges", 0x60030008},          {"CalculateRank", 0x60030009},
                {"UpdateSystemSummary", 0x6003000C}};
  TF_Dispatch *a = Create(lib), *b = Create(lib);
  TF_VARIANT r;
  TF_EXCEPINFO e = {0, NULL, NULL};
  TrendArgs t = {"web01", "avgcpubusy", "",   "2001-06-01", "2001-06-30", 30.0f, 0.0f, 2,
                 0,       NULL,         {{0}}};
  const char* host_before = t.host;
  size_t i;
  ThreadCall tc;
  pthread_t thread;

  t.ds = &ds->base;
  Bind(&t);
  CHECK(lib->info->method_count == 11);
  for (i = 0; i < sizeof kTable / sizeof kTable[0]; ++i) {
    CHECK(Id(a, kTable[i].name) == kTable[i].id);
    CHECK(lib->info->methods[i].dispid == kTable[i].id &&
          strcmp(lib->info->methods[i].name, kTable[i].name) == 0);
  }
  CHECK(Id(a, "TRENDVALUE") == 0x60030000 && Id(a, "trendvalue") == 0x60030000);
  CHECK(Id(a, "CalculateRegression") == -1);
  CHECK(Call(a, 0x6003000A, NULL, 0, &r, &e) == TF_E_MEMBER_NOT_FOUND);
  CHECK(Call(a, 0x6003000B, NULL, 0, &r, &e) == TF_E_MEMBER_NOT_FOUND);

  /* Two days, 9.5 and 8.5: slope 2 and intercept 10, so 30 days on gives 70. */
  CHECK(Call(a, 0x60030000, t.v, 9, &r, &e) == TF_OK);
  CHECK(r.vt == TF_VT_R8 && r.u.r8 == 70.0);
  CHECK(t.host == host_before && strcmp(t.host, "web01") == 0 && t.days == 30.0f && t.style == 2 &&
        t.ds == &ds->base);

  /* A text where a number is declared converts when it reads as one. */
  {
    TF_VARIANT args[9];
    memcpy(args, t.v, sizeof args);
    args[5].vt = TF_VT_TEXT;
    args[5].u.text = "30";
    CHECK(Call(a, 0x60030000, args, 9, &r, &e) == TF_OK && r.u.r8 == 70.0);
    args[5].u.text = "thirty";
    CHECK(Call(a, 0x60030000, args, 9, &r, &e) == TF_E_EXCEPTION && e.number == 13);
    tf_excepinfo_clear(a, &e);
  }
  /* A by-reference variant is followed one level only: one that points at itself, at
   * another by-reference variant or nowhere is refused, and nothing runs. */
  {
    TF_VARIANT args[9], self, inner, outer;
    memcpy(args, t.v, sizeof args);
    self.vt = TF_VT_BYREF | TF_VT_VARIANT;
    self.u.p_variant = &self;
    args[5] = self;
    CHECK(Call(a, 0x60030000, args, 9, &r, &e) == TF_E_INVALID_ARG && r.vt == TF_VT_EMPTY);
    inner.vt = TF_VT_R4;
    inner.u.r4 = 30.0f;
    outer.vt = TF_VT_BYREF | TF_VT_VARIANT;
    outer.u.p_variant = &inner;
    args[5].u.p_variant = &outer;
    CHECK(Call(a, 0x60030000, args, 9, &r, &e) == TF_E_INVALID_ARG);
    args[5].u.p_variant = NULL;
    CHECK(Call(a, 0x60030000, args, 9, &r, &e) == TF_E_INVALID_ARG);
    args[5].u.p_variant = &inner; /* one level: fine */
    CHECK(Call(a, 0x60030000, args, 9, &r, &e) == TF_OK && r.u.r8 == 70.0);
  }
  CHECK(Call(a, 0x60030000, t.v, 3, &r, &e) == TF_E_BAD_PARAM_COUNT && e.number == 450);
  tf_excepinfo_clear(a, &e);
  CHECK(Call(a, 0x60030000, t.v, 10, &r, &e) == TF_E_BAD_PARAM_COUNT);
  tf_excepinfo_clear(a, &e);

  /* The rows of the last fit are handed out for the request that fit answered only:
   * the last day first, a day without a row marked missing in every hour. */
  {
    const char* request[5] = {"web01", "avgcpubusy", "", "2001-06-01", "2001-06-30"};
    const char* other[5] = {"web01", "avgcpubusy", "", "2001-06-01", "2001-06-29"};
    const char* empty[5] = {"", "", "", "", ""};
    TF_HourlyGrid g;
    CHECK(a->vtbl->abi_version >= 2 && a->vtbl->GetHourlyGrid != NULL);
    CHECK(a->vtbl->GetHourlyGrid(a, request, 5, &g) == TF_OK && g.days == 182);
    CHECK(g.average[0] == 9.5 && g.minimum[23] == 9.5 && g.average[24] == 8.5 &&
          g.average[24 + 23] == 8.5);
    CHECK(g.average[48] == -1.0 && g.minimum[48] == 1e9 && g.average[181 * 24 + 23] == -1.0);
    CHECK(a->vtbl->GetHourlyGrid(a, other, 5, &g) == TF_FALSE && g.days == 0);
    CHECK(a->vtbl->GetHourlyGrid(a, request, 4, &g) == TF_FALSE);
    CHECK(a->vtbl->GetHourlyGrid(a, NULL, 5, &g) == TF_E_INVALID_ARG);
    /* A new instance has fitted nothing, not even the empty request it starts with. */
    CHECK(b->vtbl->GetHourlyGrid(b, empty, 5, &g) == TF_FALSE);
    CHECK(ds->base.vtbl->GetHourlyGrid == NULL);
  }

  /* A second instance keeps its own model. */
  {
    TrendArgs u = t;
    u.host = "web02";
    Bind(&u);
    CHECK(Call(b, 0x60030000, u.v, 9, &r, &e) == TF_OK && r.u.r8 == 0.0);
    CHECK(Call(a, 0x60030000, t.v, 9, &r, &e) == TF_OK && r.u.r8 == 70.0);
  }

  /* A call from another thread is refused and changes nothing. */
  tc.obj = a;
  tc.args = &t;
  memset(&tc.excep, 0, sizeof tc.excep);
  pthread_create(&thread, NULL, CallFromAnotherThread, &tc);
  pthread_join(thread, NULL);
  CHECK(tc.status == TF_E_WRONG_THREAD && tc.excep.description != NULL &&
        tc.grid_status == TF_E_WRONG_THREAD);
  tf_excepinfo_clear(a, &tc.excep);
  CHECK(Call(a, 0x60030000, t.v, 9, &r, &e) == TF_OK && r.u.r8 == 70.0);

  /* A failure through two handlers: the host's DataSource raises (its source holds ":"),
   * the regression puts its prefix in front and keeps the description. */
  {
    TrendArgs u = t;
    u.host = "web03";
    Bind(&u);
    ds->qualifier_fails = 1;
    CHECK(Call(a, 0x60030000, u.v, 9, &r, &e) == TF_E_EXCEPTION);
    CHECK(e.number == 1234);
    CHECK(e.source &&
          strcmp(e.source,
                 "OrreryFunctions.OrreryClass.CalculateRegression:Host.DataSource.Qualifier:") ==
              0);
    CHECK(e.description && strcmp(e.description, "qualifier unavailable") == 0);
    tf_excepinfo_clear(a, &e);
    ds->qualifier_fails = 0;
    /* A failed fit hands out no rows, neither its own nor the earlier series'. */
    {
      const char* refused[5] = {"web03", "avgcpubusy", "", "2001-06-01", "2001-06-30"};
      const char* earlier[5] = {"web01", "avgcpubusy", "", "2001-06-01", "2001-06-30"};
      TF_HourlyGrid g;
      CHECK(a->vtbl->GetHourlyGrid(a, refused, 5, &g) == TF_FALSE);
      CHECK(a->vtbl->GetHourlyGrid(a, earlier, 5, &g) == TF_FALSE);
    }
  }

  /* UpdateSystemSummary answers an empty variant. */
  {
    const char *first = "2001-06-01", *last = "2001-06-30";
    TF_Dispatch* dsp = &ds->base;
    TF_VARIANT args[3];
    args[0] = RefText(&first);
    args[1] = RefText(&last);
    args[2] = RefObject(&dsp);
    CHECK(Call(a, 0x6003000C, args, 3, &r, &e) == TF_OK && r.vt == TF_VT_EMPTY);
  }
  CHECK(lib->can_unload() == TF_FALSE);
  tf_excepinfo_clear(a, &e);
  a->vtbl->Release(a);
  b->vtbl->Release(b);
}

static void TestMail(Library* lib, HostDataSource* ds, const char* table_probe) {
  TF_Dispatch* obj = Create(lib);
  TF_VARIANT r;
  TF_EXCEPINFO e = {0, NULL, NULL};
  TrendArgs t = {"mail01", table_probe, "", "2001-06-01", "2001-06-30", 30.0f,
                 0.0f,     2,           0,  NULL,         {{0}}};
  t.ds = &ds->base;
  Bind(&t);
  CHECK(lib->info->method_count == 1 && lib->info->methods[0].param_count == 10);
  CHECK(lib->info->methods[0].params[9].optional == 1 &&
        lib->info->methods[0].params[9].default_value.vt == TF_VT_I2 &&
        lib->info->methods[0].params[9].default_value.u.i2 == 0);
  CHECK(Call(obj, Id(obj, "TrendValue"), t.v, 9, &r, &e) == TF_OK &&
        r.u.r8 == 70.0); /* iCounterFlag left out */
  t.counter = 1;
  {
    /* The flag is part of the request: the answer is a new instance's with that flag. */
    TF_Dispatch* fresh = Create(lib);
    TF_VARIANT own;
    CHECK(Call(fresh, 0x60030000, t.v, 10, &own, &e) == TF_OK);
    CHECK(Call(obj, 0x60030000, t.v, 10, &r, &e) == TF_OK && r.u.r8 == own.u.r8);
    tf_excepinfo_clear(fresh, &e);
    fresh->vtbl->Release(fresh);
  }
  t.v[9].vt = TF_VT_MISSING;
  CHECK(Call(obj, 0x60030000, t.v, 10, &r, &e) == TF_OK);
  tf_excepinfo_clear(obj, &e);
  obj->vtbl->Release(obj);
}

static void TestVantor(Library* lib, HostDataSource* ds) {
  TF_Dispatch* obj = Create(lib);
  TF_VARIANT r, args[3];
  TF_EXCEPINFO e = {0, NULL, NULL};
  const char *first = "2001-06-01", *last = "2001-06-30";
  TF_Dispatch* dsp = &ds->base;
  CHECK(Id(obj, "HourlyQuery") == 0x60030001 && Id(obj, "PrintTrendFile") == 0x60030005);
  CHECK(lib->info->methods[1].params[0].by_ref == 0 && lib->info->methods[2].params[0].by_ref == 0);
  CHECK(Call(obj, 0x60030003, NULL, 0, &r, &e) == TF_E_MEMBER_NOT_FOUND);
  args[0] = RefText(&first);
  args[1] = RefText(&last);
  args[2] = RefObject(&dsp);
  CHECK(Call(obj, Id(obj, "FirstDay"), args, 3, &r, &e) == TF_OK);
  CHECK(r.vt == TF_VT_TEXT && strcmp(r.u.text, "2001-06-07") == 0);
  if (r.vt == TF_VT_TEXT) tf_variant_clear(obj, &r);
  /* The DataSource by value. */
  args[0].vt = TF_VT_DISPATCH;
  args[0].u.dispatch = &ds->base;
  CHECK(Call(obj, 0x60030001, args, 1, &r, &e) ==
        TF_E_EXCEPTION); /* no request loaded: refused data id */
  CHECK(e.number == 13 && strncmp(e.source, "QuillFunctions.QuillClass.HourlyQuery:", 38) == 0);
  tf_excepinfo_clear(obj, &e);
  {
    /* A class that keeps no hourly grid of Orrery's kind hands out none. */
    const char* request[5] = {"web01", "avgcpubusy", "", "2001-06-01", "2001-06-30"};
    TF_HourlyGrid g;
    CHECK(obj->vtbl->GetHourlyGrid(obj, request, 5, &g) == TF_FALSE);
  }
  obj->vtbl->Release(obj);
}

static int FileHas(const char* path, const char* text) {
  char buf[4096];
  size_t n;
  FILE* f = fopen(path, "r");
  if (!f) return 0;
  n = fread(buf, 1, sizeof buf - 1, f);
  fclose(f);
  buf[n] = 0;
  return strstr(buf, text) != NULL;
}

static void TestRegistry(Library* lib) {
  char dir[] = "/tmp/trend-registry-XXXXXX", path[512];
  struct stat st;
  CHECK(mkdtemp(dir) != NULL);
  setenv("TREND_REGISTRY", dir, 1);
  snprintf(path, sizeof path, "%s/%s", dir, lib->info->prog_id);
  CHECK(lib->reg() == TF_OK && lib->reg() == TF_OK);
  CHECK(FileHas(path, "ThreadingModel=Apartment") && FileHas(path, "TypeLibVersion=1.0"));
  {
    char line[256];
    snprintf(line, sizeof line, "ProgID=%s\n", lib->info->prog_id);
    CHECK(FileHas(path, line));
    snprintf(line, sizeof line, "/%s\n", lib->info->file_name);
    CHECK(FileHas(path, "Library=/") && FileHas(path, line));
  }
  CHECK(lib->unreg() == TF_OK && stat(path, &st) != 0 && lib->unreg() == TF_OK);
  rmdir(dir);
  unsetenv("TREND_REGISTRY");
}

int main(int argc, char** argv) {
  static const char* const kProgIds[4] = {
      "OrreryFunctions.OrreryClass", "VantorFunctions.VantorClass", "LanyardFunctions.LanyardClass",
      "TesselFunctions.TesselClass"};
  static const char* const kVersions[4] = {"1.0.0.2", "1.0.0.1", "1.0.0.2", "1.0.0.2"};
  /* Each library's class identifier, as fixed in its source. */
  static const TF_GUID kClsids[4] = {
      {0x0e84b337, 0x572b, 0x4932, {0x8e, 0x48, 0x1d, 0xc8, 0x33, 0x4d, 0x12, 0xc4}},
      {0x7dd35670, 0x2575, 0x49c8, {0xab, 0x00, 0xf8, 0x6a, 0xae, 0x36, 0x34, 0x4d}},
      {0x8d69f660, 0x99d3, 0x4179, {0x8c, 0x69, 0x9d, 0x22, 0x07, 0xdc, 0x83, 0xae}},
      {0x03ea5121, 0x887b, 0x4809, {0x94, 0xc2, 0xb0, 0x80, 0x1c, 0xcd, 0x61, 0xc7}}};
  Library libs[4];
  HostDataSource ds = MakeDataSource();
  int i, j;
  if (argc != 5) {
    fprintf(stderr, "usage: frame_c_test Orrery.so Vantor.so Lanyard.so Tessel.so\n");
    return 2;
  }
  if (tb_reset_schema() != 0) return 1;
  tb_hourly_row("HX_METRICS", "web01", "avgcpubusy", "2001-06-30", 9.5);
  tb_hourly_row("HX_METRICS", "web01", "avgcpubusy", "2001-06-29", 8.5);
  tb_hourly_row("DOMINO_METRICS", "mail01", "Mail.Delivered", "2001-06-30", 9.5);
  tb_hourly_row("DOMINO_METRICS", "mail01", "Mail.Delivered", "2001-06-29", 8.5);
  tb_hourly_row("EXCHANGE_METRICS", "mail01", "Mail.Sent", "2001-06-30", 9.5);
  tb_hourly_row("EXCHANGE_METRICS", "mail01", "Mail.Sent", "2001-06-29", 8.5);
  tb_exec("INSERT INTO METRICDATA VALUES (1, '2001-06-07', 10, 'resp', 0)");

  for (i = 0; i < 4; ++i) {
    libs[i] = Load(argv[i + 1], &kClsids[i]);
    CHECK(strcmp(libs[i].info->prog_id, kProgIds[i]) == 0);
    CHECK(strcmp(libs[i].info->file_version, kVersions[i]) == 0);
  }
  for (i = 0; i < 4; ++i)
    for (j = 0; j < 4; ++j)
      if (i != j)
        CHECK(!tf_guid_equal(&libs[i].info->class_id, &libs[j].info->class_id) &&
              !tf_guid_equal(&libs[i].info->typelib_id, &libs[j].info->typelib_id) &&
              !tf_guid_equal(&libs[i].info->interface_id, &libs[j].info->interface_id));

  TestOrrery(&libs[0], &ds);
  TestVantor(&libs[1], &ds);
  TestMail(&libs[2], &ds, "Mail.Delivered");
  TestMail(&libs[3], &ds, "Mail.Sent");
  for (i = 0; i < 4; ++i) TestRegistry(&libs[i]);

  for (i = 0; i < 4; ++i) {
    CHECK(libs[i].can_unload() == TF_FALSE); /* the factory is still held */
    CHECK(libs[i].factory->vtbl->LockServer(libs[i].factory, 1) == TF_OK);
    libs[i].factory->vtbl->Release(libs[i].factory);
    CHECK(libs[i].can_unload() == TF_FALSE); /* locked */
    {
      TF_ClassFactory* f = NULL;
      CHECK(libs[i].get(&libs[i].info->class_id, &TF_IID_ClassFactory, (void**)&f) == TF_OK);
      f->vtbl->LockServer(f, 0);
      f->vtbl->Release(f);
    }
    CHECK(libs[i].can_unload() == TF_OK);
    dlclose(libs[i].handle);
  }
  CHECK(ds.refs == 0); /* every reference the libraries took was released */
  printf("%d passed, %d failed\n", passed, failed);
  return failed == 0 ? 0 : 1;
}
