"""The fleet report from Python: its rows as dicts or a pandas DataFrame, or the report's
text, in this process or with the series spread in chunks over Dask's distributed workers.

    python -m trendlib.fleet [--scheduler ADDRESS] --dsn NAME [the report's options]
    trendlib.fleet.report(dsn, user, password, ...)        the rows, as the JSON form's
    trendlib.fleet.report_frame(dsn, user, password, ...)  the rows as a DataFrame
    trendlib.fleet.run(client, dsn, user, password, ...)   (exit status, text) on a cluster

The steps are trendhost report's own code, in trendreport.so beside the class libraries:
the plan (one grouped query, the thresholds) runs here, each chunk of a few hundred series
is forecast by a worker process through the classes (one instance set and connection per
worker thread, kept for the worker's life), and the gathered results are sorted, given
their statuses and written here, in the report's formats and bytes. A worker that dies
loses nothing: the scheduler runs its chunks again elsewhere. The password travels inside
the task data, never in task names.
"""

import argparse
import concurrent.futures
import ctypes
import datetime
import inspect
import json
import os
import stat
import sys
import time
import types
import warnings

from . import _frame as F

CHUNK_SERIES = 200
ABI_VERSION = 1  # trendreport.so's trend_report_abi_version()


class FleetError(Exception):
    def __init__(self, message, usage=False):
        super().__init__(message)
        self.usage = usage


class OptionError(FleetError, ValueError):
    """An option of the wrong type or outside its range (a usage error)."""

    def __init__(self, message):
        super().__init__(message, usage=True)


def _report_library(library=None):
    """trendreport.so: beside the class libraries (TRENDLIB_REPORT_LIBRARY names it)."""
    path = os.environ.get("TRENDLIB_REPORT_LIBRARY")
    if not path:
        folder = os.path.dirname(library) if library else None
        if folder is None:
            entry = F.find_registration("OrreryFunctions.OrreryClass")
            if entry is None:
                raise FleetError("OrreryFunctions.OrreryClass is not registered "
                                 "(trendhost register FILE.so)", usage=True)
            folder = os.path.dirname(entry["Library"])
        path = os.path.join(folder, "trendreport.so")
    return path


class _Api:
    _loaded = {}

    def __init__(self, path):
        try:
            dll = ctypes.CDLL(path, mode=os.RTLD_NOW | os.RTLD_LOCAL)
        except OSError as e:
            raise FleetError("cannot load the report library %s: %s" % (path, e), usage=True) from None
        version = getattr(dll, "trend_report_abi_version", None)
        if version is None or version() != ABI_VERSION:
            raise FleetError("%s is not the report library this module was made for (interface "
                             "version %s, this module needs %d): install matching versions"
                             % (path, version() if version else "unknown", ABI_VERSION))
        self._calls = {}
        for name in ("plan", "chunk", "write"):
            f = getattr(dll, "trend_report_" + name)
            f.restype = ctypes.c_void_p
            f.argtypes = [ctypes.c_char_p]
            self._calls[name] = f
        self._free = dll.trend_report_free
        self._free.argtypes = [ctypes.c_void_p]
        self._cancel = getattr(dll, "trend_report_cancel", None)
        self._dll = dll

    def cancel(self):
        """Asks the chunks under way in this process to stop before their next series."""
        if self._cancel is not None:
            self._cancel()

    @classmethod
    def get(cls, path):
        if path not in cls._loaded:
            cls._loaded[path] = _Api(path)
        return cls._loaded[path]

    def __call__(self, name, request):
        p = self._calls[name](json.dumps(request).encode("utf-8"))
        try:
            answer = json.loads(ctypes.string_at(p).decode("utf-8"))
        finally:
            self._free(p)
        if "error" in answer:
            raise FleetError(answer["error"]["message"], usage=answer["error"]["usage"])
        return answer


class _Login:
    """The options with the login; the password never shows in a repr."""

    def __init__(self, options):
        self.options = options

    def __repr__(self):
        return "<login %s>" % self.options.get("dsn")


def _run_chunk(login, library_path, run, items):
    # In the worker: the classes are loaded and the connections kept by trendreport.so, per
    # worker thread, for the worker's life.
    return _Api.get(library_path)("chunk", {"options": login.options, "run": run, "items": items})["lines"]


class _Option:
    """One option of the report: report()'s keyword, the key trendreport.so reads, the
    command-line flag, the default and the help. Read-only: every call sees the same."""

    __slots__ = ("name", "key", "default", "help", "flags", "kind", "argparse_extra")

    def __init__(self, name, key, default, help, kind, flag=None, **argparse_extra):
        flag = flag or "--" + name.replace("_", "-")
        for attribute, value in (("name", name), ("key", key), ("default", default), ("help", help),
                                 ("flags", flag if isinstance(flag, tuple) else (flag,)),
                                 ("kind", kind),
                                 ("argparse_extra", types.MappingProxyType(dict(argparse_extra)))):
            object.__setattr__(self, attribute, value)

    def __setattr__(self, name, value):
        raise AttributeError("the report's options are read-only")

    def __repr__(self):
        return "<option %s=%r>" % (self.name, self.default)


FORMATS = ("table", "csv", "json", "markdown", "html", "openmetrics")

# The statuses in the report's order of urgency (report_frame's ordered categories).
STATUSES = ("exceeded", "warning", "ok", "never", "acknowledged", "no threshold",
            "insufficient data", "stale", "error")


class _Options(tuple):
    """The report's options; printed, one line each: the name, its default and its help."""

    def __repr__(self):
        width = max(len(o.name) for o in self)
        return "\n".join("%-*s = %-14r %s" % (width, o.name, o.default, o.help) for o in self)

    __str__ = __repr__

# The report's options, declared once: report()'s keywords, the request to trendreport.so
# and the command line all come from this list. `kind` is what a value must be.
OPTIONS = _Options((
    _Option("qualifier", "qualifier", "", "schema (or catalog) of the metric tables", "text"),
    _Option("first", "first", "", "first day of the range, yyyy-mm-dd or a datetime.date "
            "(default: 729 days before the last)", "day"),
    _Option("last", "last", "", "last day of the range, yyyy-mm-dd or a datetime.date "
            "(default: the latest day up to today)", "day"),
    _Option("hosts", "host_patterns", (), "host name pattern (repeatable)", "texts", flag="--host",
            action="append"),
    _Option("probes", "probe_patterns", (), "probe pattern (repeatable)", "texts",
            flag="--probe", action="append"),
    _Option("thresholds", "thresholds", "", "thresholds file (CSV)", "text"),
    _Option("ack", "ack", "", "acknowledged series (CSV host,probe,arg,until,owner,note)", "text"),
    _Option("groups", "groups", "", "services planned together (CSV group,host,probe,arg,"
            "aggregate,capacity,spare,unit,label); report() returns their rows first", "text"),
    _Option("scenario", "scenario", "", "what-if scenarios (CSV scenario,target,event,value,"
            "from); their rows come beside the baseline's", "text"),
    _Option("until", "until", "", "what it takes to last until this day, yyyy-mm-dd or a "
            "datetime.date", "day"),
    _Option("oversized_below", "oversized_below", 50, "right-sizing: a busy hour's band under "
            "this percentage of the threshold is oversized", "percent", type=float),
    _Option("horizons", "horizons", (30, 90), "days ahead: DAYS[,DAYS] or FIRST-LAST", "days",
            flag="--horizon"),
    _Option("warn_days", "warn_days", 30, "a crossing within so many days is a warning", "days",
            type=int),
    _Option("stale_days", "stale_days", 7, "a series silent longer is stale", "days", type=int),
    _Option("model", "model", "auto", "auto, line, ets, theta, recent-rate, trend, seasonal-naive or "
            "mean7", "text"),
    _Option("format", "format", "table", "output format", "format", choices=list(FORMATS)),
    _Option("output", "output", "", "file to write (default: standard output)", "text"),
    _Option("charts", "charts", "", "folder for the charts' PNG files", "text"),
    _Option("quiet", "quiet", False, "no progress or notes", "flag", flag=("-q", "--quiet"),
            action="store_true"),
    _Option("record", "record", False, "keep the run's results in HX_FORECAST_HISTORY", "flag",
            action="store_true"),
    _Option("library", "library", "", "Orrery's library file (default: the registered one)",
            "text"),
))

MOST_DAYS = 3650


def _text(name, value):
    if not isinstance(value, str):
        raise OptionError("%s must be a text, not %s" % (name, type(value).__name__))
    if "\0" in value:
        raise OptionError("%s holds a NUL character" % name)
    return value


def _days(name, value):
    # bool is an int to Python, but never a number of days.
    if isinstance(value, bool) or not isinstance(value, int):
        raise OptionError("%s must be a whole number of days, not %r" % (name, value))
    if not 0 <= value <= MOST_DAYS:
        raise OptionError("%s must lie between 0 and %d days, not %d" % (name, MOST_DAYS, value))
    return value


def _horizons(text):
    """The horizons of the command's syntax: "7,30,90", ranges "1-90", mixed."""
    horizons = []
    for item in text.split(","):
        first, _, last = item.strip().partition("-")
        if not first.isdigit() or (last and not last.isdigit()):
            raise ValueError(item)
        horizons += list(range(int(first), int(last) + 1)) if last else [int(first)]
    return horizons


def _checked(option, value):
    """The value of an option as trendreport.so takes it, or OptionError."""
    if option.kind == "text":
        return _text(option.name, value)
    if option.kind == "day":
        # A date or a datetime is its day; a text is checked by the report (yyyy-mm-dd).
        if isinstance(value, datetime.datetime):
            value = value.date()
        if isinstance(value, datetime.date):
            return value.isoformat()
        return _text(option.name, value)
    if option.kind == "format":
        if value not in FORMATS:
            raise OptionError("format must be one of %s, not %r" % (", ".join(FORMATS), value))
        return value
    if option.kind == "flag":
        if not isinstance(value, bool):
            raise OptionError("%s must be True or False, not %r" % (option.name, value))
        return value
    if option.kind == "texts":
        if isinstance(value, str):
            value = [value]
        return [_text(option.name, v) for v in value]
    if option.kind == "percent":
        if isinstance(value, bool) or not isinstance(value, (int, float)) or not 0 < value <= 100:
            raise OptionError("%s must be a percentage above 0, at most 100, not %r"
                              % (option.name, value))
        return float(value)
    if option.name == "horizons":
        if isinstance(value, str):
            try:
                value = _horizons(value)
            except ValueError:
                raise OptionError("horizons %r is not DAYS[,DAYS] or FIRST-LAST" % value) from None
        if isinstance(value, int):
            value = [value]
        return [_days("horizons", h) for h in value]
    return _days(option.name, value)


def _request_options(dsn, user, password, given):
    unknown = set(given) - {o.name for o in OPTIONS}
    if unknown:
        raise TypeError("report() got unknown options: %s" % ", ".join(sorted(unknown)))
    options = {"dsn": _text("dsn", dsn), "user": _text("user", user),
               "password": _text("password", password)}
    for o in OPTIONS:
        options[o.key] = _checked(o, given.get(o.name, o.default))
    return options


def _execute(dsn, user, password, given, chunk_series, report_library, forecaster,
             timings=None):
    """The report's steps: the plan here, the chunks' forecasts by the forecast function
    `forecaster(api)` makes (`forecast(path, login, run, chunks)`: a list of each chunk's
    lines, in order), the writing here; the answer of the writing step ({"status",
    "text"})."""
    clock = time.perf_counter()
    options = _request_options(dsn, user, password, given)
    path = report_library or _report_library(options["library"] or None)
    api = _Api.get(path)
    forecast = forecaster(api)
    plan = api("plan", {"options": options})
    run, series, limits = plan["run"], plan["series"], plan["thresholds"]
    items = [{"index": i, "series": s, "threshold": t} for i, (s, t) in enumerate(zip(series, limits))]
    chunk_series = max(1, int(chunk_series))
    chunks = [items[i:i + chunk_series] for i in range(0, len(items), chunk_series)]
    # By reference from the package (also when this file runs as __main__), so that Dask's
    # workers import it rather than receive a pickled copy.
    from trendlib import fleet as module
    login = module._Login(options)
    start = time.perf_counter()
    lines = [line for chunk in forecast(path, login, run, chunks) for line in chunk]
    run = dict(run, seconds=time.perf_counter() - start)
    done = time.perf_counter()
    answer = api("write", {"options": options, "run": run, "series": series, "thresholds": limits,
                           "lines": lines})
    if timings is not None:
        timings.update(plan=start - clock, forecast=done - start, write=time.perf_counter() - done,
                       series=len(series), chunks=len(chunks))
    return answer


def _on_cluster(client, quiet, api):
    def forecast(path, login, run, chunks):
        from trendlib import fleet as module
        futures = [client.submit(module._run_chunk, login, path, run, chunk,
                                 key="trend-report-chunk-%d" % n, retries=3, pure=False)
                   for n, chunk in enumerate(chunks)]
        try:
            if futures and not quiet and sys.stderr.isatty():
                from distributed import progress
                progress(futures)
            return client.gather(futures)
        except BaseException:
            # Interrupted (Ctrl-C) or failed: the queued chunks are dropped, not run on.
            client.cancel(futures)
            raise
    return forecast


def _in_process(jobs, quiet, api):
    def forecast(path, login, run, chunks):
        # trendreport.so keeps one set of instances and a connection per thread; its calls
        # release the interpreter, so the threads forecast side by side.
        total, done = sum(len(c) for c in chunks), 0
        pool = concurrent.futures.ThreadPoolExecutor(max_workers=max(1, jobs or os.cpu_count() or 1))
        try:
            results = [pool.submit(_run_chunk, login, path, run, chunk) for chunk in chunks]
            for future in concurrent.futures.as_completed(results):
                done += len(future.result())
                if not quiet and sys.stderr.isatty():
                    sys.stderr.write("\rtrendlib.fleet: %d of %d series" % (done, total))
            if chunks and not quiet and sys.stderr.isatty():
                sys.stderr.write("\n")
            return [f.result() for f in results]
        except BaseException:
            # Interrupted (Ctrl-C) or failed: queued chunks are dropped, and the chunks under
            # way stop before their next series.
            api.cancel()
            pool.shutdown(wait=False, cancel_futures=True)
            raise
        finally:
            pool.shutdown(wait=True)
    return forecast


def run(client, dsn, user="", password="", chunk_series=CHUNK_SERIES, report_library=None,
        timings=None, **given):
    """Runs the fleet report on the cluster of `client`; returns (exit status, text), the
    text empty when `output` names a file. The other keywords are the names of OPTIONS.
    `timings`, a dict, receives the seconds of the plan, the forecasts on the cluster and
    the writing."""
    answer = _execute(dsn, user, password, given, chunk_series, report_library,
                      lambda api: _on_cluster(client, given.get("quiet", False), api), timings)
    return answer["status"], answer["text"]


def report(*args, **kwargs):
    """report(dsn, user="", password="", client=None, jobs=None, **options): the report's
    rows, a list of dicts with the keys and values of its JSON form (the series in the
    report's order; days as "yyyy-mm-dd" texts, None for no value). Forecast on the Dask
    cluster of `client` when one is given, else in this process by `jobs` threads (default:
    one per core). The options are the names of OPTIONS, but for format and output: the
    rows are the answer (run() writes the report's forms)."""
    if args and not isinstance(args[0], str) and hasattr(args[0], "submit"):
        # The earlier form, report(client, dsn, ...) answering (status, text), is run().
        warnings.warn("report(client, dsn, ...) is now run(client, dsn, ...); report() returns "
                      "the rows", DeprecationWarning, stacklevel=2)
        return run(*args, **kwargs)
    return _rows(*args, **kwargs)


def _rows(dsn, user="", password="", client=None, jobs=None, chunk_series=CHUNK_SERIES,
          report_library=None, **given):
    return _table(dsn, user, password, client, jobs, chunk_series, report_library, **given)[0]


def _table(dsn, user="", password="", client=None, jobs=None, chunk_series=CHUNK_SERIES,
           report_library=None, **given):
    # The rows and the report library's list of their columns ({"name", "type"}).
    for name in ("format", "output"):
        if name in given:
            raise TypeError("report() returns the rows and takes no %s: use run() or trendhost "
                            "report for the report's files" % name)
    quiet = given.get("quiet", False)

    def forecaster(api):
        return _on_cluster(client, quiet, api) if client is not None else _in_process(jobs, quiet, api)
    answer = _execute(dsn, user, password, dict(given, format="json", output=""), chunk_series,
                      report_library, forecaster)
    document = json.loads(answer["text"])
    rows, columns = document["series"], answer.get("columns", [])
    if "groups" in document:
        # The services first, each row saying which kind it is.
        rows = [dict(g, kind="group") for g in document["groups"]] + \
            [dict(r, kind="series") for r in rows]
        columns = [{"name": "kind", "type": "text"}] + columns
    return rows, columns


def report_frame(dsn, user="", password="", **options):
    """report()'s rows as a pandas DataFrame, one row per series, the day columns as
    datetime64 (NaT for none), whole numbers as Int64 (<NA> for none) and the status as an
    ordered categorical that sorts by urgency. Needs pandas (Debian: python3-pandas)."""
    try:
        import pandas
    except ImportError:
        raise FleetError("report_frame() needs pandas, which is not installed (Debian: apt "
                         "install python3-pandas; or pip install pandas); report() gives the "
                         "same rows as dicts") from None
    rows, columns = _table(dsn, user, password, **options)
    names = [c["name"] for c in columns]
    # A group's own columns (group, members, headroom, ...) come after the series'.
    names += sorted({k for r in rows for k in r} - set(names))
    frame = pandas.DataFrame.from_records(rows, columns=names or None)
    for column in columns:
        if column["type"] == "day":
            frame[column["name"]] = pandas.to_datetime(frame[column["name"]], format="%Y-%m-%d")
        elif column["type"] == "integer":
            frame[column["name"]] = frame[column["name"]].astype("Int64")  # None stays <NA>
    if "status" in frame.columns:
        frame["status"] = pandas.Categorical(frame["status"], categories=STATUSES, ordered=True)
    return frame


def _arguments(argv):
    p = argparse.ArgumentParser(prog="python -m trendlib.fleet",
                                description="The fleet capacity report on a Dask cluster.")
    p.add_argument("--scheduler", help="address of a Dask scheduler (default: a LocalCluster "
                   "of worker processes on this machine)")
    p.add_argument("--workers", type=int, default=None, help="processes of the LocalCluster")
    p.add_argument("--dsn", required=True)
    p.add_argument("--user", default="")
    p.add_argument("--password", default=None,
                   help="login password (overwritten in the command line once read, but visible "
                        "to ps before that: prefer --password-file or TRENDHOST_PASSWORD)")
    p.add_argument("--password-file")
    for o in OPTIONS:
        default = o.default
        if o.name == "horizons":
            default = ",".join(str(h) for h in o.default)
        elif isinstance(default, tuple):
            default = list(default)
        p.add_argument(*o.flags, dest=o.name, default=default, help=o.help, **o.argparse_extra)
    p.add_argument("--chunk-series", type=int, default=CHUNK_SERIES)
    return p.parse_args(argv)


def _password(a):
    if a.password is not None:
        return a.password
    if a.password_file:
        # As trendhost reads one: the caller's own regular file that nobody else may read,
        # its first line only.
        try:
            fd = os.open(a.password_file, os.O_RDONLY | os.O_NONBLOCK)
        except OSError as e:
            raise FleetError("cannot read the password file %s: %s" % (a.password_file, e.strerror),
                             usage=True) from None
        with os.fdopen(fd, "rb") as f:
            st = os.fstat(f.fileno())
            if not stat.S_ISREG(st.st_mode):
                raise FleetError("the password file %s is not a regular file" % a.password_file,
                                 usage=True)
            if st.st_uid != os.geteuid():
                raise FleetError("the password file %s belongs to another user; it must be your "
                                 "own" % a.password_file, usage=True)
            if st.st_mode & 0o077:
                raise FleetError("the password file %s has group or world access; permissions "
                                 "should be u=rw (0600) or less" % a.password_file, usage=True)
            line = f.readline(65536)
        return line.decode("utf-8", "replace").rstrip("\r\n")
    return os.environ.get("TRENDHOST_PASSWORD", "")


def _hide_password_argument():
    """Overwrites the value of --password in this process's own command line, which other
    users can read in ps, once it has been parsed (as database clients do)."""
    try:
        with open("/proc/self/stat", "rb") as f:
            fields = f.read().rsplit(b")", 1)[1].split()
        start, end = int(fields[45]), int(fields[46])  # arg_start, arg_end
        with open("/proc/self/mem", "r+b", buffering=0) as mem:
            mem.seek(start)
            args = mem.read(end - start)
            words, offset = args.split(b"\0"), 0
            for i, w in enumerate(words):
                value = None
                if w == b"--password" and i + 1 < len(words):
                    value = (offset + len(w) + 1, len(words[i + 1]))
                elif w.startswith(b"--password="):
                    value = (offset + 11, len(w) - 11)
                if value and value[1]:
                    mem.seek(start + value[0])
                    mem.write(b"x" * value[1])
                offset += len(w) + 1
    except (OSError, ValueError, IndexError):
        pass  # not Linux, or the memory is not ours to write: the option stays visible


def main(argv=None):
    a = _arguments(argv)
    if argv is None and a.password is not None:
        _hide_password_argument()
    try:
        horizons = _horizons(a.horizons)
    except ValueError:
        print("trendlib.fleet: --horizon %r is not DAYS[,DAYS] or FIRST-LAST" % a.horizons,
              file=sys.stderr)
        return 2
    try:
        from distributed import Client, LocalCluster
    except ImportError:
        print("trendlib.fleet: the distributed run needs Dask's distributed package, which is not "
              "installed (Debian: apt install python3-distributed)", file=sys.stderr)
        return 1
    cluster = None
    try:
        password = _password(a)
        # The report library first: a missing one is said before any cluster starts.
        _Api.get(_report_library(a.library or None))
        if a.scheduler:
            try:
                client = Client(a.scheduler, timeout="5s")
            except (OSError, TimeoutError) as e:
                print("trendlib.fleet: cannot reach the Dask scheduler at %s: %s" % (a.scheduler, e),
                      file=sys.stderr)
                return 1
        else:
            cluster = LocalCluster(n_workers=a.workers or os.cpu_count() or 1, threads_per_worker=1,
                                   processes=True, dashboard_address=None)
            client = Client(cluster)
        with client:
            given = {o.name: getattr(a, o.name) for o in OPTIONS}
            given["horizons"] = horizons
            given["hosts"] = given["hosts"] or ()
            given["probes"] = given["probes"] or ()
            answer = _execute(a.dsn, a.user, password, given, a.chunk_series, None,
                              lambda api: _on_cluster(client, a.quiet, api))
        sys.stdout.write(answer["text"])
        sys.stdout.flush()
        if "record_error" in answer:
            print("trendlib.fleet: the report is written, but the run is not recorded: %s"
                  % answer["record_error"], file=sys.stderr)
        return answer["status"]
    except FleetError as e:
        print("trendlib.fleet: %s" % e, file=sys.stderr)
        return 2 if e.usage else 1
    except KeyboardInterrupt:
        print("trendlib.fleet: interrupted; the report was not written", file=sys.stderr)
        return 130
    finally:
        if cluster is not None:
            cluster.close()


if __name__ == "__main__":
    sys.exit(main())


def _signature():
    """report()'s signature as IDEs and help() show it: the login, where to forecast, and
    every option of OPTIONS but the form and the file, with its default."""
    P = inspect.Parameter
    parameters = [P("dsn", P.POSITIONAL_OR_KEYWORD),
                  P("user", P.POSITIONAL_OR_KEYWORD, default=""),
                  P("password", P.POSITIONAL_OR_KEYWORD, default=""),
                  P("client", P.KEYWORD_ONLY, default=None),
                  P("jobs", P.KEYWORD_ONLY, default=None)]
    parameters += [P(o.name, P.KEYWORD_ONLY, default=o.default)
                   for o in OPTIONS if o.name not in ("format", "output")]
    return inspect.Signature(parameters)


report.__signature__ = _signature()
report_frame.__signature__ = _signature()
