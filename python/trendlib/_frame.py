"""ctypes mirror of trendframe.h: the structures, the function tables and the registry
folders, exactly as the header defines them (a test compares sizes and offsets with a C
program compiled from the header)."""

import ctypes
import os

TF_ABI_VERSION = 2

TF_OK = 0
TF_FALSE = 1
TF_E_EXCEPTION = -1
TF_E_UNKNOWN_NAME = -2
TF_E_MEMBER_NOT_FOUND = -3
TF_E_BAD_PARAM_COUNT = -4
TF_E_NO_INTERFACE = -5
TF_E_CLASS_NOT_AVAILABLE = -6
TF_E_INVALID_ARG = -7
TF_E_WRONG_THREAD = -8
TF_E_REGISTRY = -9
TF_E_OUT_OF_MEMORY = -10

VT_EMPTY, VT_NULL, VT_I2, VT_I4, VT_R4, VT_R8 = 0, 1, 2, 3, 4, 5
VT_DATE, VT_TEXT, VT_DISPATCH, VT_MISSING, VT_BOOL, VT_VARIANT = 7, 8, 9, 10, 11, 12
VT_VOID = 24
VT_BYREF = 0x4000

DISPATCH_METHOD = 1
DISPATCH_PROPERTYGET = 2


class GUID(ctypes.Structure):
    _fields_ = [("data1", ctypes.c_uint32), ("data2", ctypes.c_uint16),
                ("data3", ctypes.c_uint16), ("data4", ctypes.c_uint8 * 8)]

    @classmethod
    def parse(cls, text):
        """From the registry's form {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}."""
        hexdigits = text.strip().strip("{}").replace("-", "")
        if len(hexdigits) != 32:
            raise ValueError("malformed class identifier: " + text)
        raw = bytes.fromhex(hexdigits)
        g = cls()
        g.data1 = int.from_bytes(raw[0:4], "big")
        g.data2 = int.from_bytes(raw[4:6], "big")
        g.data3 = int.from_bytes(raw[6:8], "big")
        for i in range(8):
            g.data4[i] = raw[8 + i]
        return g


IID_Dispatch = GUID(0xB58F2434, 0x3066, 0x4AC1,
                    (ctypes.c_uint8 * 8)(0xB2, 0x38, 0x16, 0x9F, 0x81, 0xF1, 0x56, 0xDB))
IID_ClassFactory = GUID(0x80B43C65, 0xA7FB, 0x40FD,
                        (ctypes.c_uint8 * 8)(0xA0, 0x57, 0xE7, 0xA4, 0xE4, 0x4B, 0x6C, 0x71))


class Dispatch(ctypes.Structure):
    pass


class VARIANT(ctypes.Structure):
    pass


class _Value(ctypes.Union):
    _fields_ = [("i2", ctypes.c_int16), ("i4", ctypes.c_int32), ("r4", ctypes.c_float),
                ("r8", ctypes.c_double), ("date", ctypes.c_double),
                ("text", ctypes.c_void_p), ("dispatch", ctypes.c_void_p),
                ("boolean", ctypes.c_int16), ("p_variant", ctypes.c_void_p)]
    # Pointers are plain addresses here: setting one from ctypes.addressof is cheap.


VARIANT._fields_ = [("vt", ctypes.c_uint16), ("u", _Value)]


class EXCEPINFO(ctypes.Structure):
    _fields_ = [("number", ctypes.c_int32), ("source", ctypes.c_void_p),
                ("description", ctypes.c_void_p)]


class ParamInfo(ctypes.Structure):
    _fields_ = [("name", ctypes.c_char_p), ("vt", ctypes.c_uint16), ("by_ref", ctypes.c_uint8),
                ("optional", ctypes.c_uint8), ("default_value", VARIANT)]


class MethodInfo(ctypes.Structure):
    _fields_ = [("name", ctypes.c_char_p), ("dispid", ctypes.c_int32),
                ("result_vt", ctypes.c_uint16), ("param_count", ctypes.c_uint32),
                ("params", ctypes.POINTER(ParamInfo))]


class TypeInfo(ctypes.Structure):
    _fields_ = [("abi_version", ctypes.c_uint32), ("library_name", ctypes.c_char_p),
                ("class_name", ctypes.c_char_p), ("interface_name", ctypes.c_char_p),
                ("prog_id", ctypes.c_char_p), ("file_name", ctypes.c_char_p),
                ("file_version", ctypes.c_char_p), ("threading_model", ctypes.c_char_p),
                ("typelib_id", GUID), ("class_id", GUID), ("interface_id", GUID),
                ("typelib_major", ctypes.c_uint16), ("typelib_minor", ctypes.c_uint16),
                ("method_count", ctypes.c_uint32), ("methods", ctypes.POINTER(MethodInfo))]


PDispatch = ctypes.POINTER(Dispatch)
AddRefFn = ctypes.CFUNCTYPE(ctypes.c_uint32, PDispatch)
ReleaseFn = ctypes.CFUNCTYPE(ctypes.c_uint32, PDispatch)
GetIDsOfNamesFn = ctypes.CFUNCTYPE(ctypes.c_int32, PDispatch, ctypes.POINTER(ctypes.c_char_p),
                                   ctypes.c_uint32, ctypes.POINTER(ctypes.c_int32))
InvokeFn = ctypes.CFUNCTYPE(ctypes.c_int32, PDispatch, ctypes.c_int32, ctypes.c_uint16,
                            ctypes.POINTER(VARIANT), ctypes.c_uint32, ctypes.POINTER(VARIANT),
                            ctypes.POINTER(EXCEPINFO))
GetTypeInfoFn = ctypes.CFUNCTYPE(ctypes.POINTER(TypeInfo), PDispatch)
AllocMemoryFn = ctypes.CFUNCTYPE(ctypes.c_void_p, PDispatch, ctypes.c_size_t)
FreeMemoryFn = ctypes.CFUNCTYPE(None, PDispatch, ctypes.c_void_p)


class HourlyGrid(ctypes.Structure):
    _fields_ = [("days", ctypes.c_uint32), ("average", ctypes.POINTER(ctypes.c_double)),
                ("minimum", ctypes.POINTER(ctypes.c_double))]


GetHourlyGridFn = ctypes.CFUNCTYPE(ctypes.c_int32, PDispatch, ctypes.POINTER(ctypes.c_char_p),
                                   ctypes.c_uint32, ctypes.POINTER(HourlyGrid))


class DispatchVtbl(ctypes.Structure):
    _fields_ = [("abi_version", ctypes.c_uint32), ("AddRef", AddRefFn), ("Release", ReleaseFn),
                ("GetIDsOfNames", GetIDsOfNamesFn), ("Invoke", InvokeFn),
                ("GetTypeInfo", GetTypeInfoFn), ("AllocMemory", AllocMemoryFn),
                ("FreeMemory", FreeMemoryFn), ("GetHourlyGrid", GetHourlyGridFn)]


Dispatch._fields_ = [("vtbl", ctypes.POINTER(DispatchVtbl))]


class ClassFactory(ctypes.Structure):
    pass


PFactory = ctypes.POINTER(ClassFactory)


class ClassFactoryVtbl(ctypes.Structure):
    _fields_ = [("abi_version", ctypes.c_uint32),
                ("AddRef", ctypes.CFUNCTYPE(ctypes.c_uint32, PFactory)),
                ("Release", ctypes.CFUNCTYPE(ctypes.c_uint32, PFactory)),
                ("CreateInstance", ctypes.CFUNCTYPE(ctypes.c_int32, PFactory, ctypes.POINTER(GUID),
                                                    ctypes.POINTER(ctypes.c_void_p))),
                ("LockServer", ctypes.CFUNCTYPE(ctypes.c_int32, PFactory, ctypes.c_int32)),
                ("GetTypeInfo", ctypes.CFUNCTYPE(ctypes.POINTER(TypeInfo), PFactory))]


ClassFactory._fields_ = [("vtbl", ctypes.POINTER(ClassFactoryVtbl))]

GetClassObjectFn = ctypes.CFUNCTYPE(ctypes.c_int32, ctypes.POINTER(GUID), ctypes.POINTER(GUID),
                                    ctypes.POINTER(ctypes.c_void_p))


def registry_folder():
    """The folder registrations are written to (tf_registry_folder)."""
    r = os.environ.get("TREND_REGISTRY")
    if r:
        return r
    x = os.environ.get("XDG_DATA_HOME")
    if x:
        return os.path.join(x, "trend-registry")
    return os.path.join(os.environ.get("HOME") or ".", ".local/share/trend-registry")


def _own_registry():
    """The registry of the prefix this package is installed in (PREFIX/lib/python3*/
    dist-packages/trendlib: PREFIX/share/trend-registry), as trendhost finds its own; None
    for a package that does not lie under such a prefix."""
    here = os.path.dirname(os.path.abspath(__file__))
    packages = os.path.dirname(here)
    python = os.path.dirname(packages)
    lib = os.path.dirname(python)
    if (os.path.basename(packages) not in ("dist-packages", "site-packages")
            or not os.path.basename(python).startswith("python3")
            or os.path.basename(lib) != "lib"):
        return None
    return os.path.join(os.path.dirname(lib), "share", "trend-registry")


def registry_search_path():
    """The folders a host looks in for a class, in order (tf_registry_search_folder), then
    the registry of the prefix this package is installed in."""
    dirs = os.environ.get("XDG_DATA_DIRS") or "/usr/local/share:/usr/share"
    folders = [registry_folder()] + [d + "/trend-registry" for d in dirs.split(":") if d]
    own = _own_registry()
    if own and own not in folders and os.path.isdir(own):
        folders.append(own)
    return folders


def read_entry(path):
    entry = {}
    with open(path, encoding="utf-8") as f:
        for line in f:
            key, sep, value = line.rstrip("\n").partition("=")
            if sep:
                entry[key] = value
    return entry


def find_registration(prog_id):
    """The registry entry of a class (the first folder that has it), or None."""
    if not prog_id or "/" in prog_id or prog_id.startswith("."):
        return None
    for folder in registry_search_path():
        path = os.path.join(folder, prog_id)
        if os.path.isfile(path):
            return read_entry(path)
    return None


def registered_classes():
    found = {}
    for folder in registry_search_path():
        if os.path.isdir(folder):
            for name in sorted(os.listdir(folder)):
                if not name.startswith("."):
                    found.setdefault(name, read_entry(os.path.join(folder, name)))
    return found
