"""The trend libraries' classes from Python, through nothing but their C interface
(trendframe.h), as a late-bound dispatch object:

    import trendlib
    ds = trendlib.DataSource("perf", user="planner", password=secret)
    with trendlib.Dispatch("OrreryFunctions.OrreryClass") as orrery:
        orrery.TrendValue("web01", "avgcpubusy", "", "2026-06-02", "2026-11-30", 30, 0, 2, ds)

Methods are attributes, found by name without regard to letter case; keyword arguments
take the parameter names of the type information (fNumDays=30); trailing optional
arguments may be left out. A raised error becomes TrendError with number, source and
description.

Threads: an object belongs to the thread that created it (the classes' apartment model);
calling it from another thread raises WrongThreadError. Give each thread its own object,
for example through threading.local().
"""

import ctypes
import inspect
import math
import os
import tempfile
import threading

from . import _frame as F

__all__ = ["Dispatch", "DataSource", "TrendError", "WrongThreadError", "ParameterCountError",
           "UnknownNameError", "classes"]

_libc = ctypes.CDLL(None)
_libc.malloc.restype = ctypes.c_void_p
_libc.malloc.argtypes = [ctypes.c_size_t]
_libc.free.restype = None
_libc.free.argtypes = [ctypes.c_void_p]

_TYPE_NAMES = {F.VT_I2: "Integer", F.VT_I4: "Long", F.VT_R4: "Single", F.VT_R8: "Double",
               F.VT_DATE: "Date", F.VT_TEXT: "String", F.VT_DISPATCH: "Object",
               F.VT_BOOL: "Boolean", F.VT_VARIANT: "Variant", F.VT_VOID: "None"}
_INT_RANGE = {F.VT_I2: (-32768, 32767), F.VT_I4: (-2147483648, 2147483647)}
_FLOAT_MAX = 3.4028234663852886e38


class TrendError(Exception):
    """A raised error: the platform's number, its source and its description (lines end
    in newlines)."""

    def __init__(self, number, source, description):
        super().__init__(number, source, description)
        self.number = number
        self.source = source
        self.description = description

    def __str__(self):
        return "error %d: %s\n%s" % (self.number, self.source, self.description.rstrip("\n"))


class WrongThreadError(TrendError):
    """The object was called from a thread other than the one that created it."""


class ParameterCountError(TrendError, TypeError):
    """Too many or too few arguments for the method."""


class UnknownNameError(TrendError, AttributeError):
    """The class has no method of that name."""


def _lines(text):
    return text.replace("\r\n", "\n").replace("\r", "\n")


def _text(ptr):
    return ctypes.string_at(ptr).decode("utf-8", "replace") if ptr else ""


def _mask(text, passwords):
    for p in passwords:
        if len(p) >= 4:
            text = text.replace(p, "********")
    return text


def classes():
    """The registered classes: {programmatic identifier: registry entry}."""
    return F.registered_classes()


# ---- Libraries ----

class _Library:
    """A loaded library file, unloaded when nothing of it is in use and its
    DllCanUnloadNow agrees."""

    _loaded = {}
    _lock = threading.Lock()

    def __init__(self, path):
        self.path = path
        self.dll = ctypes.CDLL(path, mode=os.RTLD_NOW | os.RTLD_LOCAL)
        self.get_class_object = F.GetClassObjectFn(("DllGetClassObject", self.dll))
        self.can_unload = ctypes.CFUNCTYPE(ctypes.c_int32)(("DllCanUnloadNow", self.dll))
        self.register = ctypes.CFUNCTYPE(ctypes.c_int32)(("DllRegisterServer", self.dll))
        self.unregister = ctypes.CFUNCTYPE(ctypes.c_int32)(("DllUnregisterServer", self.dll))
        self.users = 0

    @classmethod
    def acquire(cls, path):
        path = os.path.realpath(path)
        with cls._lock:
            lib = cls._loaded.get(path)
            if lib is None:
                try:
                    lib = cls._loaded[path] = _Library(path)
                except OSError as e:
                    raise TrendError(429, "trendlib", "cannot load %s: %s" % (path, e)) from None
            lib.users += 1
            return lib

    def release(self):
        with self._lock:
            self.users -= 1
            if self.users == 0 and self.can_unload() == F.TF_OK:
                del self._loaded[self.path]
                import _ctypes
                _ctypes.dlclose(self.dll._handle)

    _entry_lock = threading.Lock()

    def own_entry(self):
        """The registry entry the library writes for itself, from a scratch registry of its
        own (never the user's): one library at a time in the process, since the library
        writes where TREND_REGISTRY points, and once per library."""
        with _Library._entry_lock:
            if getattr(self, "_entry", None) is None:
                self._entry = self._scratch_entry()
            return dict(self._entry)

    def _scratch_entry(self):
        previous = os.environ.get("TREND_REGISTRY")
        with tempfile.TemporaryDirectory(prefix="trendlib-") as scratch:
            os.environ["TREND_REGISTRY"] = scratch
            try:
                status = self.register()
                names = os.listdir(scratch)
                entry = F.read_entry(os.path.join(scratch, names[0])) if names else {}
                self.unregister()
            finally:
                if previous is None:
                    del os.environ["TREND_REGISTRY"]
                else:
                    os.environ["TREND_REGISTRY"] = previous
        if status != F.TF_OK or not entry:
            raise TrendError(429, "trendlib", self.path + " did not describe its class")
        return entry


# ---- The host's DataSource ----

class DataSource:
    """A data source for the methods that read the database: the ODBC data source name, the
    login (empty: the one the data source stores) and the table qualifier. It implements the
    dispatch interface with callbacks, which stay alive as long as the library holds a
    reference. The password never appears in its repr."""

    _held = set()  # objects the library holds references to

    def __init__(self, name, user="", password="", qualifier=""):
        # None is "not given" (the login the data source stores), never the text "None".
        props = {"name": name, "username": user, "password": password, "qualifier": qualifier}
        for key, value in props.items():
            if value is None:
                props[key] = ""
            elif not isinstance(value, str):
                raise TypeError("DataSource %s must be a str, not %s" % (key, type(value).__name__))
            elif "\0" in value:
                raise ValueError("DataSource %s holds a NUL character" % key)
        self._props = props
        self._order = ["name", "username", "password", "qualifier"]
        self._refs = 0
        self._vtbl = F.DispatchVtbl(
            F.TF_ABI_VERSION, F.AddRefFn(self._add_ref), F.ReleaseFn(self._release),
            F.GetIDsOfNamesFn(self._get_ids), F.InvokeFn(self._invoke), F.GetTypeInfoFn(),
            F.AllocMemoryFn(lambda d, n: _libc.malloc(n)), F.FreeMemoryFn(lambda d, p: _libc.free(p)))
        self._dispatch = F.Dispatch(ctypes.pointer(self._vtbl))

    name = property(lambda self: self._props["name"])
    user = property(lambda self: self._props["username"])
    qualifier = property(lambda self: self._props["qualifier"])

    def __repr__(self):
        return "DataSource(%r, user=%r, qualifier=%r)" % (self.name, self.user, self.qualifier)

    def _pointer(self):
        return ctypes.pointer(self._dispatch)

    def _add_ref(self, d):
        self._refs += 1
        DataSource._held.add(self)
        return self._refs

    def _release(self, d):
        self._refs -= 1
        if self._refs <= 0:
            self._refs = 0
            DataSource._held.discard(self)
        return self._refs

    def _get_ids(self, d, names, count, ids):
        if count != 1 or not names[0]:
            return F.TF_E_UNKNOWN_NAME
        key = names[0].decode("utf-8", "replace").lower()
        if key not in self._props:
            return F.TF_E_UNKNOWN_NAME
        ids[0] = self._order.index(key) + 1
        return F.TF_OK

    def _invoke(self, d, dispid, flags, args, count, result, excep):
        if not (flags & F.DISPATCH_PROPERTYGET) or count != 0 or not 1 <= dispid <= 4 or not result:
            return F.TF_E_MEMBER_NOT_FOUND
        raw = str(self._props[self._order[dispid - 1]]).encode("utf-8")
        copy = _libc.malloc(len(raw) + 1)
        if not copy:
            return F.TF_E_OUT_OF_MEMORY
        ctypes.memmove(copy, raw + b"\0", len(raw) + 1)
        result[0].vt = F.VT_TEXT
        result[0].u.text = copy
        return F.TF_OK


# ---- Instances ----

class _Method:
    """A method of a class, bound to one instance."""

    def __init__(self, owner, info):
        self._owner = owner
        self._info = info
        self.__name__ = info.name.decode()
        self.params = []
        for i in range(info.param_count):
            p = info.params[i]
            self.params.append((p.name.decode(), p.vt, bool(p.by_ref), bool(p.optional),
                                _from_variant(p.default_value, None) if p.optional else None))
        parameters = [inspect.Parameter(n, inspect.Parameter.POSITIONAL_OR_KEYWORD,
                                        default=(default if optional else inspect.Parameter.empty),
                                        annotation=_TYPE_NAMES.get(vt, str(vt)))
                      for n, vt, _, optional, default in self.params]
        self.__signature__ = inspect.Signature(
            parameters, return_annotation=_TYPE_NAMES.get(info.result_vt, str(info.result_vt)))
        self.__doc__ = "%s%s (dispatch identifier 0x%08X)" % (
            self.__name__, self.__signature__, info.dispid & 0xFFFFFFFF)

    def __repr__(self):
        return "<method %s of %s>" % (self.__name__, self._owner._prog_id)

    def __call__(self, *args, **kwargs):
        if not kwargs and len(args) == len(self.params):
            return self._owner._invoke(self, args)
        given = list(args)
        if len(given) > len(self.params):
            raise ParameterCountError(450, "trendlib", "%s takes at most %d arguments, %d given"
                                      % (self.__name__, len(self.params), len(given)))
        values = given + [_MISSING] * (len(self.params) - len(given))
        positions = {n.lower(): i for i, (n, *_rest) in enumerate(self.params)}
        for key, value in kwargs.items():
            i = positions.get(key.lower())
            if i is None:
                raise TypeError("%s() got an unexpected keyword argument %r" % (self.__name__, key))
            if values[i] is not _MISSING:
                raise TypeError("%s() got multiple values for argument %r" % (self.__name__, key))
            values[i] = value
        count = len(values)
        while count and values[count - 1] is _MISSING and self.params[count - 1][3]:
            count -= 1  # trailing optional arguments are left out
        for i in range(count):
            if values[i] is _MISSING and not self.params[i][3]:
                raise TypeError("%s() missing argument %r" % (self.__name__, self.params[i][0]))
        return self._owner._invoke(self, values[:count])


class _Missing:
    def __repr__(self):
        return "<missing>"


_MISSING = _Missing()


def _from_variant(v, free):
    vt = v.vt
    if vt in (F.VT_EMPTY, F.VT_NULL, F.VT_VOID):
        return None
    if vt == F.VT_I2:
        return v.u.i2
    if vt == F.VT_I4:
        return v.u.i4
    if vt == F.VT_R4:
        return float(v.u.r4)
    if vt in (F.VT_R8, F.VT_DATE):
        return v.u.r8
    if vt == F.VT_BOOL:
        return v.u.boolean != 0
    if vt == F.VT_TEXT:
        text = _text(v.u.text)
        if free and v.u.text:
            free(v.u.text)
        return text
    return None


def _set_variant(out, method, name, vt, value, keep):
    """Writes the value as the declared type into `out`, or raises TypeError/OverflowError
    before any call."""
    if vt == F.VT_TEXT:
        if value.__class__ is not str:
            raise TypeError("argument %s of %s expects a str, not %s %r"
                            % (name, method, type(value).__name__, value))
        cached = _encoded.get(value)
        if cached is None:
            if "\0" in value:
                raise ValueError("argument %s of %s holds a NUL character, which would cut the "
                                 "text there" % (name, method))
            buf = ctypes.create_string_buffer(value.encode("utf-8"))
            cached = (buf, ctypes.addressof(buf))
            if len(_encoded) < 4096:
                _encoded[value] = cached
        keep.append(cached)
        out.vt = F.VT_TEXT
        out.u.text = cached[1]
        return
    if value is _MISSING:
        out.vt = F.VT_MISSING
        return
    if vt in _INT_RANGE:
        if isinstance(value, bool) or not isinstance(value, int):
            raise TypeError("argument %s of %s expects %s %s, not %s %r" % (
                name, method, "an" if vt == F.VT_I2 else "a", _TYPE_NAMES[vt],
                type(value).__name__, value))
        low, high = _INT_RANGE[vt]
        if not low <= value <= high:
            raise OverflowError("argument %s of %s: %d is out of the range of %s %s (%d to %d)" % (
                name, method, value, "an" if vt == F.VT_I2 else "a", _TYPE_NAMES[vt], low, high))
        out.vt = vt
        if vt == F.VT_I2:
            out.u.i2 = value
        else:
            out.u.i4 = value
    elif vt in (F.VT_R4, F.VT_R8):
        if isinstance(value, bool) or not isinstance(value, (int, float)):
            raise TypeError("argument %s of %s expects a %s, not %s %r"
                            % (name, method, _TYPE_NAMES[vt], type(value).__name__, value))
        value = float(value)
        if vt == F.VT_R4 and abs(value) > _FLOAT_MAX and math.isfinite(value):
            raise OverflowError("argument %s of %s: %r is out of the range of a Single"
                                % (name, method, value))
        out.vt = vt
        if vt == F.VT_R4:
            out.u.r4 = value
        else:
            out.u.r8 = value
    elif vt == F.VT_DISPATCH:
        if isinstance(value, DataSource):
            address = ctypes.addressof(value._dispatch)
        elif isinstance(value, Dispatch):
            address = ctypes.cast(value._ptr, ctypes.c_void_p).value
        else:
            raise TypeError("argument %s of %s expects a DataSource, not %s"
                            % (name, method, type(value).__name__))
        keep.append(value)
        out.vt = F.VT_DISPATCH
        out.u.dispatch = address
    else:
        raise TypeError("argument %s of %s: parameters of type %s cannot be passed" % (name, method, vt))


_ARRAYS = [F.VARIANT * max(n, 1) for n in range(64)]
_VARIANT_SIZE = ctypes.sizeof(F.VARIANT)
_BYREF_VARIANT = F.VT_BYREF | F.VT_VARIANT
_encoded = {}  # recent argument texts as C strings (never written by the library)


class Dispatch:
    """An instance of a registered class, created by its programmatic identifier (or from
    a library file with library=PATH). It is released by close(), at the end of a with
    block, or when collected."""

    def __init__(self, prog_id, library=None):
        self._ptr = None
        self._lib = None
        self._call_lock = threading.RLock()  # close() waits for a call in progress
        self._prog_id = prog_id
        if library is not None:
            self._lib = _Library.acquire(library)
            entry = self._lib.own_entry()
            if entry.get("ProgID") != prog_id:
                self._release_library()
                raise TrendError(429, "trendlib", "%s publishes %s, not %s"
                                 % (library, entry.get("ProgID"), prog_id))
        else:
            entry = F.find_registration(prog_id)
            if entry is None:
                folders = ", ".join(F.registry_search_path())
                if not classes():
                    # Nothing registered at all: typically the package alone, from pip.
                    raise TrendError(429, "trendlib", "unknown class %s: no class is registered "
                                     "(looked in %s). This package is the Python side only: "
                                     "install the libraries (the Debian package, or cmake "
                                     "--install) and register them with: trendhost register "
                                     "FILE.so; or name a library file: Dispatch(%r, "
                                     "library=PATH)" % (prog_id, folders, prog_id))
                raise TrendError(429, "trendlib", "unknown class %s (not in the registry: %s); "
                                 "register a library with: trendhost register FILE.so"
                                 % (prog_id, folders))
            if not os.path.exists(entry.get("Library", "")):
                raise TrendError(429, "trendlib", "the library of %s, %s, is missing"
                                 % (prog_id, entry.get("Library")))
            self._lib = _Library.acquire(entry["Library"])
        clsid = F.GUID.parse(entry.get("CLSID", ""))
        factory = ctypes.c_void_p()
        status = self._lib.get_class_object(ctypes.byref(clsid), ctypes.byref(F.IID_ClassFactory),
                                            ctypes.byref(factory))
        if status != F.TF_OK:
            self._release_library()
            raise TrendError(429, "trendlib", "the library does not offer the class " + prog_id)
        f = ctypes.cast(factory, F.PFactory)
        instance = ctypes.c_void_p()
        status = f.contents.vtbl.contents.CreateInstance(f, ctypes.byref(F.IID_Dispatch),
                                                         ctypes.byref(instance))
        f.contents.vtbl.contents.Release(f)
        if status != F.TF_OK:
            self._release_library()
            raise TrendError(429, "trendlib", "cannot create an instance of " + prog_id)
        self._ptr = ctypes.cast(instance, F.PDispatch)
        self._vtbl = self._ptr.contents.vtbl.contents
        self._info = self._vtbl.GetTypeInfo(self._ptr).contents
        self._methods = {}

    def _release_library(self):
        if self._lib is not None:
            self._lib.release()
            self._lib = None

    def close(self):
        """Releases the instance (and the library, when nothing else uses it). From another
        thread it waits until a call in progress has returned."""
        lock = self.__dict__.get("_call_lock")
        if lock is None:
            return
        with lock:
            if self._ptr is not None:
                self._vtbl.Release(self._ptr)
                self._ptr = None
            self._release_library()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def __del__(self):
        try:
            self.close()
        except Exception:
            pass

    def __repr__(self):
        return "<trendlib.Dispatch %s>" % self._prog_id

    def __dir__(self):
        return sorted(set(super().__dir__()) | {self._info.methods[i].name.decode()
                                                for i in range(self._info.method_count)})

    @property
    def type_info(self):
        return self._info

    def __getattr__(self, name):
        if name.startswith("_") or self.__dict__.get("_ptr") is None:
            raise AttributeError(name)
        method = self._methods.get(name.lower())
        if method is not None:
            return method
        dispid = ctypes.c_int32(-1)
        names = (ctypes.c_char_p * 1)(name.encode("utf-8"))
        status = self._vtbl.GetIDsOfNames(self._ptr, names, 1, ctypes.byref(dispid))
        info = None
        if status == F.TF_OK:
            for i in range(self._info.method_count):
                if self._info.methods[i].dispid == dispid.value:
                    info = self._info.methods[i]
        if info is None:
            raise UnknownNameError(438, "trendlib", "%s has no method %s" % (self._prog_id, name))
        method = self._methods[name.lower()] = _Method(self, info)
        return method

    def _invoke(self, method, values):
        with self._call_lock:
            return self._invoke_locked(method, values)

    def _invoke_locked(self, method, values):
        if self._ptr is None:
            raise TrendError(91, "trendlib", "the object is closed")
        keep = []
        n = len(values)
        array = _ARRAYS[n]
        held, passed = array(), array()
        base = ctypes.addressof(held)
        name = method.__name__
        passwords = ()
        for i, value in enumerate(values):
            pname, vt, by_ref, _, _ = method.params[i]
            cell = held[i]
            _set_variant(cell, name, pname, vt, value, keep)
            if by_ref and value is not _MISSING:
                p = passed[i]
                p.vt = _BYREF_VARIANT
                p.u.p_variant = base + i * _VARIANT_SIZE
            else:
                passed[i] = cell
            if vt == F.VT_DISPATCH and value.__class__ is DataSource:
                passwords += (value._props["password"],)
        result = F.VARIANT()
        excep = F.EXCEPINFO()
        status = self._vtbl.Invoke(self._ptr, method._info.dispid, F.DISPATCH_METHOD, passed, n,
                                   ctypes.byref(result), ctypes.byref(excep))
        free = lambda p: self._vtbl.FreeMemory(self._ptr, p)
        if status == F.TF_OK:
            return _from_variant(result, free)
        number, source = excep.number, _text(excep.source)
        description = _lines(_text(excep.description))
        for p in (excep.source, excep.description):
            if p:
                free(p)
        source, description = _mask(source, passwords), _mask(description, passwords)
        if status == F.TF_E_WRONG_THREAD:
            raise WrongThreadError(number, source, description)
        if status == F.TF_E_BAD_PARAM_COUNT:
            raise ParameterCountError(number, source, description)
        if status == F.TF_E_EXCEPTION:
            raise TrendError(number, source, description)
        raise TrendError(5, "trendlib", "%s failed with status %d" % (method.__name__, status))
