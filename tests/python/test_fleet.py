"""The fleet report on a Dask cluster (PostgreSQL: the workers share one server), against
trendhost report for the same inputs."""

import os
import signal
import subprocess
import threading
import time

import pytest

from conftest import BACKEND, HOST, login

pytestmark = pytest.mark.skipif(BACKEND != "postgres", reason="the distributed run uses the PostgreSQL backend")

distributed = pytest.importorskip("distributed")

from trendlib import fleet  # noqa: E402


@pytest.fixture(scope="module")
def client():
    cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                       dashboard_address=None)
    with distributed.Client(cluster) as c:
        yield c
    cluster.close()


def run_fleet(client, **extra):
    dsn, user, password = login()
    return fleet.run(client, dsn, user, password, format="csv", quiet=True, **extra)


def expected_csv():
    dsn, user, password = login()
    r = subprocess.run([HOST, "report", "--dsn", dsn, "--user", user, "--password", password,
                        "--format", "csv", "--quiet"], capture_output=True)  # bytes: CR LF kept
    return r.stdout.decode("utf-8")


def test_the_same_report_as_trendhost(client):
    status, text = run_fleet(client, chunk_series=2)
    assert status == 0
    assert text == expected_csv()
    assert len(text.splitlines()) == 1 + 9


def test_a_killed_worker_loses_nothing(client):
    pids = client.run(os.getpid)  # worker address -> process
    outcome = {}
    runner = threading.Thread(target=lambda: outcome.setdefault("report", run_fleet(client, chunk_series=1)))
    runner.start()
    killed = None
    deadline = time.time() + 30
    while killed is None and runner.is_alive() and time.time() < deadline:
        for address, tasks in client.processing().items():
            if tasks and address in pids:
                os.kill(pids[address], signal.SIGKILL)
                killed = address
                break
        time.sleep(0.002)
    runner.join(120)
    assert killed is not None, "no task was seen running"
    status, text = outcome["report"]
    assert status == 0 and text == expected_csv()
    client.wait_for_workers(2, timeout=60)  # the nanny starts another


def test_credentials_stay_out_of_task_names(client):
    _, _, password = login()
    seen = []
    original = client.submit

    def spy(*args, **kwargs):
        seen.append((kwargs.get("key"), repr(args)))
        return original(*args, **kwargs)

    client.submit = spy
    try:
        run_fleet(client)
    finally:
        client.submit = original
    assert seen and all(key.startswith("trend-report-chunk-") for key, _ in seen)
    assert all(password not in key + text for key, text in seen)


def test_an_unreachable_scheduler_is_a_clear_error():
    dsn, user, password = login()
    r = subprocess.run(["/usr/bin/python3", "-m", "trendlib.fleet", "--scheduler", "tcp://127.0.0.1:9",
                        "--dsn", dsn, "--user", user, "--password", password, "--quiet"],
                       capture_output=True, text=True, timeout=60)
    assert r.returncode == 1
    assert "cannot reach the Dask scheduler at tcp://127.0.0.1:9" in r.stderr
    assert password not in r.stderr


def test_options_come_from_one_list(client):
    # The keywords of report() are the declared options: a misspelt one is refused before
    # anything runs, and the command line knows every declared one.
    with pytest.raises(TypeError, match="warn_dayz"):
        run_fleet(client, warn_dayz=3)
    arguments = fleet._arguments(["--dsn", "x", "--horizon", "7-9", "--host", "a", "--host", "b",
                                  "-q", "--warn-days", "5"])
    assert {o.name for o in fleet.OPTIONS} <= set(vars(arguments))
    assert (arguments.hosts, arguments.quiet, arguments.warn_days) == (["a", "b"], True, 5)
    status, text = run_fleet(client, warn_days=5, horizons=range(7, 9))
    assert status == 0 and "level,forecast_7d,forecast_8d,peak_7d" in text.splitlines()[0]


def test_the_earlier_form_of_report_still_answers_the_text(client):
    dsn, user, password = login()
    with pytest.warns(DeprecationWarning, match="run"):
        status, text = fleet.report(client, dsn, user, password, format="csv", quiet=True)
    assert status == 0 and text == expected_csv()
    # The rows, forecast on the cluster.
    rows = fleet.report(dsn, user, password, client=client, quiet=True)
    assert [r["host"] for r in rows] == [line.split(",")[0] for line in expected_csv().splitlines()[1:]]


def test_a_report_library_of_another_interface_is_refused(tmp_path):
    source = tmp_path / "old.c"
    source.write_text("int trend_report_abi_version(void) { return 0; }\n")
    library = tmp_path / "old.so"
    subprocess.run(["cc", "-shared", "-fPIC", "-o", str(library), str(source)], check=True)
    with pytest.raises(fleet.FleetError, match="interface version 0"):
        fleet._Api(str(library))
