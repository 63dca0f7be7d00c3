"""The test bed of the Python module: the backend's test database (the DSN variables of
scripts/testdb.sh, TREND_TEST_BACKEND naming the backend), a registry of the build's
libraries, and data loaded with trendhost itself."""

import os
import subprocess
import tempfile

import pytest

BACKEND = os.environ.get("TREND_TEST_BACKEND", "sqlite")
HOST = os.environ["TREND_HOST"]
LIB_DIR = os.environ["TRENDLIB_LIB_DIR"]
SCHEMA = os.environ["TREND_SCHEMA_FILE"]


def login():
    if BACKEND == "postgres":
        return os.environ["TREND_PG_DSN"], os.environ["TREND_PG_USER"], os.environ["TREND_PG_PASSWORD"]
    if BACKEND == "mariadb":
        return os.environ["TREND_MARIA_DSN"], os.environ["TREND_MARIA_USER"], os.environ["TREND_MARIA_PASSWORD"]
    return os.environ["TREND_SQLITE_DSN"], "", ""


def trendhost(*args, check=True):
    dsn, user, password = login()
    words = list(args)
    if words and words[0] in ("call", "load", "report"):
        words[1:1] = ["--dsn", dsn, "--user", user, "--password", password]
    r = subprocess.run([HOST] + words, capture_output=True, text=True)
    if check and r.returncode != 0:
        raise AssertionError("trendhost %s: %s" % (" ".join(args), r.stderr))
    return r


def sql(statements):
    """Runs statements through unixODBC's isql (one statement a line)."""
    dsn, user, password = login()
    text = "\n".join(" ".join(s.split()) for s in statements) + "\n"
    r = subprocess.run(["isql", "-b", dsn] + ([user, password] if user else []), input=text,
                       capture_output=True, text=True)
    if r.returncode != 0:
        raise AssertionError("isql: " + r.stdout + r.stderr)


def schema_statements():
    with open(SCHEMA) as f:
        text = "\n".join(l for l in f.read().splitlines() if not l.startswith("--"))
    return [s.strip() for s in text.split(";") if s.strip()]


@pytest.fixture(scope="session", autouse=True)
def database():
    registry = tempfile.mkdtemp(prefix="trendlib-registry-")
    os.environ["TREND_REGISTRY"] = registry
    trendhost("register", *(os.path.join(LIB_DIR, n) for n in ("Orrery.so", "Vantor.so", "Lanyard.so", "Tessel.so")))
    statements = []
    for s in schema_statements():
        if s.startswith("CREATE TABLE"):
            statements.append("DROP TABLE IF EXISTS " + s.split()[2])
        statements.append(s)
    sql(statements)
    rows = ["time,host,probe,arg,value"]
    for d in range(60):
        day = 1 + d  # 2001-05-02 .. 2001-06-30
        import datetime
        date = datetime.date(2001, 5, 1) + datetime.timedelta(days=day)
        for h in range(0, 24, 3):
            for host, base, growth in (("web01", 40, 0.3), ("web02", 20, 0.05), ("db01", 60, -0.1)):
                for probe, scale in (("avgcpubusy", 1), ("runqjobs", 0.05), ("netinrate", 50)):
                    value = (base + growth * d + (5 if 9 <= h <= 17 else 0) + (d * 7 + h) % 3) * scale
                    rows.append("%sT%02d:00:00Z,%s,%s,,%.3f" % (date.isoformat(), h, host, probe, value))
    path = os.path.join(registry, "samples.csv")
    with open(path, "w") as f:
        f.write("\n".join(rows) + "\n")
    trendhost("load", path)
    mail = ["time,host,probe,arg,value"]
    for d in range(30):
        import datetime
        date = datetime.date(2001, 6, 1) + datetime.timedelta(days=d)
        for h in range(24):
            mail.append("%sT%02d:30:00Z,mail01,Mail.Delivered,,%d" % (date.isoformat(), h, 1000 * d + 40 * h + 7 * (d % 3)))
    path = os.path.join(registry, "mail.csv")
    with open(path, "w") as f:
        f.write("\n".join(mail) + "\n")
    trendhost("load", "--table", "DOMINO_METRICS", path)
    sql(["INSERT INTO HOSTS VALUES (1, 'host1')", "INSERT INTO USERS VALUES (1, 'user1')",
         "INSERT INTO APPLICATIONS VALUES (1, 'app1')", "INSERT INTO TRANSACTIONS VALUES (1, 'tx1')",
         "INSERT INTO ID_INFO VALUES (10, 1, 1, 1, 1)",
         "INSERT INTO METRICDATA VALUES (300, '2001-06-20', 10, 'resp', 0)",
         "INSERT INTO METRICDATA VALUES (301, '2001-06-27', 10, 'resp', 0)"])
    yield registry
