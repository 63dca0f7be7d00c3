"""The fleet report's rows from Python, in this process (every backend): the same rows as
trendhost report's JSON, and as a pandas DataFrame with its days as dates."""

import json
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


def test_the_frame_without_pandas_says_what_to_install(monkeypatch):
    monkeypatch.setitem(sys.modules, "pandas", None)  # import pandas fails
    dsn, user, password = login()
    with pytest.raises(fleet.FleetError, match="python3-pandas"):
        fleet.report_frame(dsn, user, password, quiet=True)
