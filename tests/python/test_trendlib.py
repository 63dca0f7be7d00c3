"""trendlib against the real libraries and the backend's database, side by side with
trendhost for the same calls."""

import ctypes
import gc
import inspect
import json
import os
import subprocess
import tempfile
import threading

import pytest

import trendlib
from trendlib import _frame as F

from conftest import BACKEND, HOST, LIB_DIR, login, trendhost

KEY = ["web01", "avgcpubusy", "", "2001-05-02", "2001-06-30"]
ORRERY = "OrreryFunctions.OrreryClass"


def data_source():
    dsn, user, password = login()
    return trendlib.DataSource(dsn, user=user, password=password)


def host_json(prog_id, *calls):
    """trendhost's answers to a chain of calls, as JSON objects."""
    words = ["call", "--format", "json", "--keep-going", prog_id]
    for i, c in enumerate(calls):
        words += (["--"] if i else []) + [str(w) for w in c]
    r = trendhost(*words, check=False)
    return [json.loads(l) for l in r.stdout.splitlines()]


def test_structures_match_the_header():
    source = r'''
#include <stddef.h>
#include <stdio.h>
#include "trendframe.h"
#define S(t) printf(#t " %zu\n", sizeof(t));
#define O(t, f) printf(#t "." #f " %zu\n", offsetof(t, f));
int main(void) {
  S(TF_GUID) S(TF_VARIANT) S(TF_EXCEPINFO) S(TF_ParamInfo) S(TF_MethodInfo) S(TF_TypeInfo)
  S(TF_DispatchVtbl) S(TF_ClassFactoryVtbl) S(TF_HourlyGrid)
  O(TF_VARIANT, u) O(TF_EXCEPINFO, description) O(TF_ParamInfo, default_value)
  O(TF_MethodInfo, params) O(TF_TypeInfo, class_id) O(TF_TypeInfo, typelib_major)
  O(TF_TypeInfo, methods) O(TF_DispatchVtbl, Invoke) O(TF_DispatchVtbl, FreeMemory)
  O(TF_DispatchVtbl, GetHourlyGrid) O(TF_HourlyGrid, minimum)
  O(TF_ClassFactoryVtbl, GetTypeInfo)
  return 0;
}'''
    with tempfile.TemporaryDirectory() as d:
        c = os.path.join(d, "layout.c")
        with open(c, "w") as f:
            f.write(source)
        exe = os.path.join(d, "layout")
        subprocess.run(["cc", "-I", os.environ["TRENDFRAME_INCLUDE_DIR"], "-o", exe, c], check=True)
        out = subprocess.run([exe], capture_output=True, text=True, check=True).stdout
    mirror = {"TF_GUID": F.GUID, "TF_VARIANT": F.VARIANT, "TF_EXCEPINFO": F.EXCEPINFO,
              "TF_ParamInfo": F.ParamInfo, "TF_MethodInfo": F.MethodInfo, "TF_TypeInfo": F.TypeInfo,
              "TF_DispatchVtbl": F.DispatchVtbl, "TF_ClassFactoryVtbl": F.ClassFactoryVtbl,
              "TF_HourlyGrid": F.HourlyGrid}
    for line in out.splitlines():
        name, value = line.split()
        if "." in name:
            struct, field = name.split(".")
            assert getattr(mirror[struct], field).offset == int(value), name
        else:
            assert ctypes.sizeof(mirror[name]) == int(value), name


def test_every_method_answers_as_trendhost_does(tmp_path):
    ds = data_source()
    o = trendlib.Dispatch(ORRERY)
    calls = [("TrendValue", KEY + [30, 0, 2]), ("TrendValue", KEY + [90, 300, 3]),
             ("DaysToValue", KEY + [80, 0, 2]), ("BestThreshold", KEY), ("StandardDeviation", KEY),
             ("GrowthRate", KEY + [30]), ("TimesExceeded", KEY + [50])]
    expected = host_json(ORRERY, *[[m] + a for m, a in calls])
    for (method, args), e in zip(calls, expected):
        got = getattr(o, method)(*args, ds)
        if isinstance(got, float):  # a Single is the same Single, whatever digits show it
            assert ctypes.c_float(got).value == ctypes.c_float(e["result"]).value, method
            if o.type_info and method in ("BestThreshold", "StandardDeviation", "GrowthRate"):
                assert got == ctypes.c_float(e["result"]).value, method
            else:
                assert got == e["result"], method
        else:
            assert got == e["result"], method
    mail = ["mail01", "Mail.Delivered", "", "2001-06-01", "2001-06-30", 30, 0, 2]
    lanyard = trendlib.Dispatch("LanyardFunctions.LanyardClass")
    e = host_json("LanyardFunctions.LanyardClass", ["TrendValue"] + mail + [1])
    assert lanyard.TrendValue(*mail, ds, 1) == e[0]["result"]
    v = trendlib.Dispatch("VantorFunctions.VantorClass")
    e = host_json("VantorFunctions.VantorClass", ["FirstDay", "2001-06-01", "2001-06-30"],
                  ["LastDay", "2001-06-01", "2001-06-30"])
    assert [v.FirstDay("2001-06-01", "2001-06-30", ds), v.LastDay("2001-06-01", "2001-06-30", ds)] == \
        [e[0]["result"], e[1]["result"]] == ["2001-06-20", "2001-06-27"]
    # The same file, byte for byte.
    ours, theirs = str(tmp_path / "py.csv"), str(tmp_path / "host.csv")
    printing = ["web01", "web01", "avgcpubusy", "", "2001-05-02", "2001-06-30", 0, "CPU", 3, 2]
    o.InitializeFile(ours)
    assert o.PrintForecast(*printing, ds) is None
    host_json(ORRERY, ["InitializeFile", theirs], ["PrintForecast"] + printing)
    assert open(ours, "rb").read() == open(theirs, "rb").read()
    assert len(open(ours, "rb").read().splitlines()) > 1 + 2 * 24  # measured hours and two days ahead
    for x in (o, lanyard, v):
        x.close()


def test_raised_errors_carry_the_triple():
    ds = data_source()
    bad = ["web01", "avgcpubusy", "", "2001-05-02", "2001-02-30"]
    with trendlib.Dispatch(ORRERY) as o:
        with pytest.raises(trendlib.TrendError) as raised:
            o.TrendValue(*bad, 30, 0, 2, ds)
    e = host_json(ORRERY, ["TrendValue"] + bad + [30, 0, 2])[0]["error"]
    assert (raised.value.number, raised.value.source, raised.value.description) == \
        (e["number"], e["source"], e["description"]) == \
        (13, "OrreryFunctions.OrreryClass.CalculateRegression:Orrery",
         "Error calculating HX Trends:\nType mismatch\nType mismatch\n")
    # A failure to open the connection reaches the caller unchanged; no password shows.
    with trendlib.Dispatch(ORRERY) as o:
        nowhere = trendlib.DataSource("no_such_source", password="very-secret")
        with pytest.raises(trendlib.TrendError) as raised:
            o.StandardDeviation(*KEY, nowhere)
    assert raised.value.number == 40000 and raised.value.source == "ODBC"
    assert "IM002" in raised.value.description
    assert "very-secret" not in repr(nowhere) + str(raised.value)


def test_keywords_optional_arguments_and_refused_conversions():
    ds = data_source()
    with trendlib.Dispatch(ORRERY) as o, trendlib.Dispatch("LanyardFunctions.LanyardClass") as m:
        plain = o.TrendValue(*KEY, 30, 0, 2, ds)
        assert o.trendvalue(*KEY, fnumdays=30, fAccelerator=0, iTrendStyle=2, DataSource=ds) == plain
        assert o.TrendValue(sHostname="web01", sProbe="avgcpubusy", sProbeArg="", sFirstDay=KEY[3],
                            sLastDay=KEY[4], fNumDays=30.0, fAccelerator=0, iTrendStyle=2, DataSource=ds) == plain
        mail = ["mail01", "Mail.Delivered", "", "2001-06-01", "2001-06-30", 30, 0, 2, ds]
        assert m.TrendValue(*mail) == m.TrendValue(*mail, 0)  # the flag left out is 0
        sig = inspect.signature(m.TrendValue)
        assert list(sig.parameters)[-1] == "iCounterFlag"
        assert sig.parameters["iCounterFlag"].default == 0
        assert sig.parameters["fNumDays"].annotation == "Single" and sig.return_annotation == "Double"
        assert "TrendValue(sHostname" in m.TrendValue.__doc__
        with pytest.raises(TypeError, match="iTrendStyle of TrendValue expects an Integer, not float"):
            o.TrendValue(*KEY, 30, 0, 2.7, ds)
        with pytest.raises(OverflowError, match="out of the range of an Integer"):
            o.GrowthRate(*KEY, 40000, ds)
        with pytest.raises(OverflowError, match="Single"):
            o.TrendValue(*KEY, 1e39, 0, 2, ds)
        with pytest.raises(TypeError, match="expects a str"):
            o.TrendValue(42, *KEY[1:], 30, 0, 2, ds)
        with pytest.raises(TypeError, match="expects a DataSource"):
            o.StandardDeviation(*KEY, "dsn")
        with pytest.raises(TypeError, match="missing argument 'DataSource'"):
            o.StandardDeviation(*KEY)
        with pytest.raises(trendlib.UnknownNameError):
            o.TrendValu
        assert not hasattr(o, "NoSuchMethod")


def test_data_sources_collected_between_calls_do_no_harm():
    with trendlib.Dispatch(ORRERY) as o:
        first = None
        for i in range(200):
            ds = data_source()
            # Alternate the first day's text so every call refits through a new DataSource.
            key = KEY[:3] + [["2001-05-02", "2001-5-2"][i % 2]] + KEY[4:]
            value = o.TrendValue(*key, 30, 0, 2, ds)
            first = first if first is not None else value
            assert value == first
            del ds
            gc.collect()
        assert not trendlib.DataSource._held


def test_threads_each_with_their_own_object():
    series = [("web01", "avgcpubusy"), ("web02", "avgcpubusy"), ("db01", "runqjobs"), ("web01", "netinrate")]
    local = threading.local()

    def forecast(host, probe):
        if not hasattr(local, "orrery"):
            local.orrery = trendlib.Dispatch(ORRERY)
            local.ds = data_source()
        return [local.orrery.TrendValue(host, probe, "", KEY[3], KEY[4], days, 0, 2, local.ds)
                for days in (0, 30, 90)]

    single = [forecast(h, p) for h, p in series]
    results = [None] * 4

    def work(i):
        results[i] = forecast(*series[i])
        local.orrery.close()

    threads = [threading.Thread(target=work, args=(i,)) for i in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert results == single


def test_an_object_is_refused_on_a_foreign_thread():
    ds = data_source()
    with trendlib.Dispatch(ORRERY) as o:
        o.StandardDeviation(*KEY, ds)
        caught = []

        def foreign():
            try:
                o.StandardDeviation(*KEY, ds)
            except trendlib.WrongThreadError as e:
                caught.append(e)

        t = threading.Thread(target=foreign)
        t.start()
        t.join()
        assert len(caught) == 1 and caught[0].number == 32769
        assert o.StandardDeviation(*KEY, ds) > 0  # still fine on its own thread


def test_library_file_and_registry_lookup():
    with trendlib.Dispatch("TesselFunctions.TesselClass", library=os.path.join(LIB_DIR, "Tessel.so")) as t:
        assert t.TrendValue("nobody", "p", "", "2001-06-01", "2001-06-30", 30, 3000, 1, data_source()) == 30
    with pytest.raises(trendlib.TrendError, match="unknown class Nope.Class"):
        trendlib.Dispatch("Nope.Class")
    assert ORRERY in trendlib.classes()


def test_the_registry_of_the_install_prefix_is_found(tmp_path):
    # A package installed under PREFIX/lib/python3/dist-packages finds PREFIX's registry
    # without XDG_DATA_DIRS naming it, as trendhost finds its own.
    import shutil
    packages = tmp_path / "prefix" / "lib" / "python3" / "dist-packages"
    shutil.copytree(os.path.dirname(trendlib.__file__), packages / "trendlib")
    registry = tmp_path / "prefix" / "share" / "trend-registry"
    registry.mkdir(parents=True)
    env = dict(os.environ, PYTHONPATH=str(packages), XDG_DATA_DIRS=str(tmp_path / "none"))
    out = subprocess.run(["/usr/bin/python3", "-c", "from trendlib import _frame as F; "
                          "print(F.registry_search_path()[-1])"], env=env, capture_output=True,
                         text=True, check=True).stdout.strip()
    assert out == str(registry)


def rss_kib():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def test_no_leak_across_ten_thousand_calls():
    ds = data_source()
    with trendlib.Dispatch(ORRERY) as o:
        for _ in range(2000):
            o.TrendValue(*KEY, 30, 0, 2, ds)
        before = rss_kib()
        for i in range(10000):
            o.TrendValue(*KEY, i % 90, 0, 2, ds)
            if i % 1000 == 0:
                o.BestThreshold(*KEY, ds)
        assert rss_kib() - before < 4096, "resident memory grew by %d KiB" % (rss_kib() - before)


def test_texts_with_a_nul_and_a_password_of_none():
    with trendlib.Dispatch(ORRERY) as o:
        with pytest.raises(ValueError, match="NUL"):
            o.StandardDeviation("web01\0a", *KEY[1:], data_source())
    with pytest.raises(ValueError, match="NUL"):
        trendlib.DataSource("dsn\0x")
    ds = trendlib.DataSource("some_dsn", user=None, password=None)
    assert ds.user == "" and ds._props["password"] == ""  # not the text "None"


def test_close_from_another_thread_waits_for_the_call():
    ds = data_source()
    o = trendlib.Dispatch(ORRERY)
    o.StandardDeviation(*KEY, ds)
    errors, done = [], threading.Event()
    # The method is looked up before the closer starts: on a busy machine the close may
    # come before the first call, and a closed object has no methods to look up.
    trend_value = o.TrendValue
    # The calls run on the creating thread's object only: run them here, close there.
    closer = threading.Thread(target=lambda: (done.wait(0.05), o.close()))
    closer.start()
    try:
        for i in range(300):
            trend_value(KEY[0], KEY[1], KEY[2], KEY[3], "2001-06-%02d" % (1 + i % 29), 1, 0, 2, ds)
    except trendlib.TrendError as e:
        errors.append(e)
    closer.join()
    assert o._ptr is None
    assert all("closed" in e.description for e in errors)


def test_private_libraries_from_two_threads_leave_the_registry_alone():
    before = os.environ.get("TREND_REGISTRY")
    entries = sorted(os.listdir(before)) if before and os.path.isdir(before) else None
    failures = []

    def make():
        try:
            for _ in range(20):
                with trendlib.Dispatch("TesselFunctions.TesselClass",
                                       library=os.path.join(LIB_DIR, "Tessel.so")):
                    pass
        except Exception as e:  # noqa: BLE001 - any failure fails the test
            failures.append(e)

    threads = [threading.Thread(target=make) for _ in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not failures
    assert os.environ.get("TREND_REGISTRY") == before
    if entries is not None:
        assert sorted(os.listdir(before)) == entries


def test_the_fleet_command_hides_its_password_from_ps():
    code = ("from trendlib import fleet; fleet._hide_password_argument(); "
            "print(open('/proc/self/cmdline', 'rb').read())")
    out = subprocess.run([os.path.realpath("/usr/bin/python3"), "-c", code, "--password", "s3cret-word",
                          "--password=other-word"], capture_output=True, text=True, check=True,
                         env=dict(os.environ)).stdout
    assert "--password" in out and "s3cret-word" not in out and "other-word" not in out
