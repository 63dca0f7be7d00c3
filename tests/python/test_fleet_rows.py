"""The fleet report's rows from Python, in this process (every backend): the same rows as
trendhost report's JSON, and as a pandas DataFrame with its days as dates."""

import datetime
import inspect
import json
import re
import os
import sys
import warnings

import pytest

from conftest import login, trendhost
from trendlib import fleet


def expected_rows(*extra):
    return json.loads(trendhost("report", "--format", "json", "--quiet", *extra).stdout)["series"]


def test_rows_are_the_reports_json_rows():
    dsn, user, password = login()
    rows = fleet.report(dsn, user, password, quiet=True, jobs=2, chunk_series=2)
    assert rows == expected_rows()
    assert len(rows) == 9 and {"host", "status", "crossing_date", "backtest_mase"} <= set(rows[0])
    # The command's options, by the same names as the other forms of the report.
    rows = fleet.report(dsn, user, password, quiet=True, hosts=["web0*"], horizons=[7, 14])
    assert rows == expected_rows("--host", "web0*", "--horizon", "7,14")
    assert {r["host"] for r in rows} == {"web01", "web02"} and "forecast_14d" in rows[0]


def test_the_options_take_what_the_command_takes():
    dsn, user, password = login()
    # The command's horizon syntax, and days as datetime.date or datetime.
    rows = fleet.report(dsn, user, password, quiet=True, horizons="7,14", hosts="web01")
    assert rows == expected_rows("--host", "web01", "--horizon", "7,14")
    last = rows[0]["last_day"]
    day = datetime.date.fromisoformat(last)
    assert fleet.report(dsn, user, password, quiet=True, hosts="web01", horizons="1-3",
                        last=day) == expected_rows("--host", "web01", "--horizon", "1-3",
                                                   "--last", last)
    assert fleet.report(dsn, user, password, quiet=True, hosts="web01",
                        last=datetime.datetime.combine(day, datetime.time(13, 5))) == \
        expected_rows("--host", "web01", "--last", last)
    with pytest.raises(fleet.OptionError, match="DAYS\\[,DAYS\\] or FIRST-LAST"):
        fleet.report(dsn, user, password, horizons="30;90")
    # help() and IDEs see the options; OPTIONS prints a line each.
    parameters = inspect.signature(fleet.report).parameters
    assert {"dsn", "hosts", "horizons", "warn_days", "last", "client", "jobs"} <= set(parameters)
    assert parameters["horizons"].default == (30, 90) and "format" not in parameters
    assert re.search(r"^warn_days += 30 ", repr(fleet.OPTIONS), re.M)
    assert len(str(fleet.OPTIONS).splitlines()) == len(fleet.OPTIONS)


def test_acknowledged_rows_as_the_command_gives_them(tmp_path):
    dsn, user, password = login()
    capacity = [r for r in expected_rows() if r["status"] in ("exceeded", "warning", "ok", "never")]
    assert capacity
    first = capacity[0]
    ack = tmp_path / "ack.csv"
    ack.write_text("host,probe,arg,until,owner,note\n%s,%s,%s,%s,ops,disks ordered\n" % (
        first["host"], first["probe"], first["arg"], first["last_day"]))
    rows = fleet.report(dsn, user, password, quiet=True, ack=str(ack))
    assert rows == expected_rows("--ack", str(ack))
    acked = [r for r in rows if r["ack_owner"] == "ops"]
    assert [(r["host"], r["status"], r["ack_note"]) for r in acked] == \
        [(first["host"], "acknowledged", "disks ordered")]


def test_groups_come_first_as_the_command_gives_them(tmp_path):
    dsn, user, password = login()
    web = [r for r in expected_rows() if r["host"].startswith("web0")]
    probe = web[0]["probe"]
    until = datetime.date.fromisoformat(web[0]["last_day"]) + datetime.timedelta(30)
    groups = tmp_path / "groups.csv"
    groups.write_text("group,host,probe,aggregate,capacity,spare\nweb,web0*,%s,sum,1e6,1\n" % probe)
    rows = fleet.report(dsn, user, password, quiet=True, groups=str(groups), until=until)
    document = json.loads(trendhost("report", "--format", "json", "--quiet", "--groups",
                                    str(groups), "--until", until.isoformat()).stdout)
    assert rows[0]["kind"] == "group" and rows[1]["kind"] == "series"
    assert {k: v for k, v in rows[0].items() if k != "kind"} == document["groups"][0]
    assert rows[0]["members"] == len({r["host"] for r in web if r["probe"] == probe})
    assert rows[0]["members_needed_until"] is not None
    # A what-if on the group: its row beside the baseline's, as the command gives it.
    scenario = tmp_path / "scenario.csv"
    scenario.write_text("scenario,target,event,value,from\nmore,web,step,+10%%,%s\n" % until)
    rows = fleet.report(dsn, user, password, quiet=True, groups=str(groups), scenario=str(scenario))
    document = json.loads(trendhost("report", "--format", "json", "--quiet", "--groups",
                                    str(groups), "--scenario", str(scenario)).stdout)
    assert [r["scenario"] for r in rows[:2]] == ["baseline", "more"]
    assert [dict(r, kind=None) for r in rows[:2]] == \
        [dict(g, kind=None) for g in document["groups"]]
    frame = fleet.report_frame(dsn, user, password, quiet=True, groups=str(groups))
    assert list(frame["kind"][:2]) == ["group", "series"] and "headroom" in frame.columns
    with pytest.raises(fleet.OptionError, match="oversized_below"):
        fleet.report(dsn, user, password, oversized_below=0)


def test_rows_refuse_a_format_and_unknown_options():
    dsn, user, password = login()
    with pytest.raises(TypeError, match="format"):
        fleet.report(dsn, user, password, format="csv")
    with pytest.raises(TypeError, match="warn_dayz"):
        fleet.report(dsn, user, password, warn_dayz=3)
    with pytest.raises(fleet.FleetError):
        fleet.report("no_such_source", quiet=True)


def test_the_frame_has_dates_as_dates():
    pandas = pytest.importorskip("pandas")
    dsn, user, password = login()
    frame = fleet.report_frame(dsn, user, password, quiet=True)
    rows = expected_rows()
    assert list(frame["host"]) == [r["host"] for r in rows]
    assert str(frame["last_day"].dtype).startswith("datetime64")
    assert frame["last_day"].iloc[0] == pandas.Timestamp(rows[0]["last_day"])
    never = [i for i, r in enumerate(rows) if r["crossing_date"] is None]
    assert all(pandas.isna(frame["crossing_date"].iloc[i]) for i in never)
    assert frame["level"].dtype.kind == "f"
    # The status sorts by urgency; whole numbers stay whole, <NA> for none.
    assert frame["status"].cat.ordered and list(frame["status"].cat.categories)[:2] == \
        ["exceeded", "warning"]
    assert list(frame.sort_values("status", kind="stable")["status"]) == [r["status"] for r in rows]
    assert str(frame["crossing_shift_days"].dtype) == "Int64"
    assert str(frame["days"].dtype) == "Int64"
    # Every day column, as the report library names them, even where no row holds a day.
    for name in ("first_day", "crossing_date", "crossing_earliest", "crossing_latest",
                 "previous_crossing", "last_seen"):
        assert str(frame[name].dtype).startswith("datetime64"), name


def test_the_frame_without_pandas_says_what_to_install(monkeypatch):
    monkeypatch.setitem(sys.modules, "pandas", None)  # import pandas fails
    dsn, user, password = login()
    with pytest.raises(fleet.FleetError, match="python3-pandas"):
        fleet.report_frame(dsn, user, password, quiet=True)


@pytest.mark.parametrize("options", [
    {"horizons": [1.5]}, {"horizons": [10 ** 20]}, {"horizons": [-1]}, {"horizons": [True]},
    {"warn_days": 10 ** 30}, {"warn_days": "30"}, {"stale_days": -2}, {"quiet": "no"},
    {"hosts": ["web\0evil"]}, {"model": 7},
])
def test_options_of_the_wrong_type_or_range_are_refused(options):
    dsn, user, password = login()
    with pytest.raises(fleet.OptionError):
        fleet.report(dsn, user, password, **options)


def test_nul_in_a_login_text_and_an_unknown_format_are_refused():
    dsn, user, password = login()
    with pytest.raises(fleet.OptionError):
        fleet.report(dsn, user + "\0x", password)
    with pytest.raises(fleet.OptionError):
        fleet.report(dsn, user, password + "\0x")
    with pytest.raises(fleet.OptionError):
        fleet._request_options(dsn, user, password, {"format": "pdf"})
    # trendreport.so checks the same on its own, for any caller.
    api = fleet._Api.get(fleet._report_library())
    for bad in ({"format": "pdf"}, {"horizons": [1.5]}, {"horizons": [10 ** 20]},
                {"warn_days": -1}, {"password": password + "\0x"}, {"user": 7}):
        options = dict(fleet._request_options(dsn, user, password, {}), **bad)
        with pytest.raises(fleet.FleetError) as e:
            api("plan", {"options": options})
        assert e.value.usage, bad


def test_the_options_are_read_only_and_alike_for_every_call():
    with pytest.raises(AttributeError):
        fleet.OPTIONS[0].default = "changed"
    with pytest.raises(TypeError):
        fleet.OPTIONS[3].argparse_extra["action"] = "store"
    first = fleet._request_options("d", "", "", {})
    first["host_patterns"].append("x")
    assert fleet._request_options("d", "", "", {})["host_patterns"] == []


def test_an_interrupt_stops_the_rest_of_the_fleet(monkeypatch):
    """Ctrl-C during report(): the queued chunks are dropped and the ones under way stop
    between series; KeyboardInterrupt reaches the caller at once."""
    import threading
    import time
    dsn, user, password = login()
    started = threading.Event()
    real = fleet._run_chunk

    def slow_chunk(*args):
        started.set()
        time.sleep(1)  # nine chunks, one at a time: nine seconds unless they are dropped
        return real(*args)
    monkeypatch.setattr(fleet, "_run_chunk", slow_chunk)
    timer = threading.Timer(0.5, lambda: __import__("_thread").interrupt_main())
    start = time.monotonic()
    timer.start()
    with pytest.raises(KeyboardInterrupt):
        fleet.report(dsn, user, password, quiet=True, jobs=1, chunk_series=1,
                     horizons=list(range(1, 367)))
    assert time.monotonic() - start < 4
    assert started.is_set()


def test_the_command_line_says_what_went_wrong_without_a_traceback(tmp_path):
    import subprocess
    dsn, user, password = login()
    env = dict(os.environ)
    r = subprocess.run([sys.executable, "-m", "trendlib.fleet", "--dsn", dsn, "--library",
                        str(tmp_path / "none.so")], capture_output=True, text=True, env=env)
    assert r.returncode in (1, 2), r.stderr
    assert "Traceback" not in r.stderr and "trendlib.fleet:" in r.stderr
    # A password file that is not the caller's own kind of private file is refused.
    secret = tmp_path / "pw"
    secret.write_text("x" * 1000 + "\n" + "y" * 10_000_000)
    secret.chmod(0o644)
    r = subprocess.run([sys.executable, "-m", "trendlib.fleet", "--dsn", dsn, "--password-file",
                        str(secret)], capture_output=True, text=True, env=env)
    assert r.returncode == 2 and "group or world access" in r.stderr, r.stderr
    assert "Traceback" not in r.stderr
