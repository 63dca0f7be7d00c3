// trendhost: a command-line automation host for the trend libraries. It talks to them
// through nothing but the frame's C interface (trendframe.h).
//
// Exit status: 0 success, 1 a raised error (or a failure of the library), 2 a usage
// error.
#include <sys/stat.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "call.h"
#include "command.h"
#include "csv.h"
#include "data_source.h"
#include "error.h"
#include "history.h"
#include "invoke.h"
#include "load.h"
#include "method_docs.h"
#include "numeric.h"
#include "registry.h"
#include "report.h"
#include "thresholds.h"
#include "window_forecast.h"

std::string_view trend::ApplicationTitle() {
  return "trendhost";
}

namespace {

using namespace host;

// Each file in turn: those that hold classes are registered, the others named on
// standard error as skipped (a shared library without classes, as a glob over a library
// folder finds) or failed, and the run goes on. The status is the worst of the failures;
// skipped files fail the run only when nothing was registered.
int Register(const std::vector<std::string>& files, bool add, bool system) {
  int status = kExitOk;
  size_t done = 0, skipped = 0;
  for (const auto& f : files) {
    try {
      RegisterLibrary(f, add, system);
      std::cout << (add ? "registered " : "unregistered ") << f << " in "
                << (system ? SystemRegistryFolder() : RegistryFolder()) << "\n";
      ++done;
    } catch (const NotAClassLibrary& e) {
      std::cerr << "trendhost: skipped " << f << ": it holds no classes (" << e.what() << ")\n";
      ++skipped;
    } catch (const UsageError& e) {
      std::cerr << "trendhost: " << f << ": " << e.what() << "\n";
      status = std::max(status, kExitUsage);
    } catch (const std::exception& e) {
      std::cerr << "trendhost: " << f << ": " << e.what() << "\n";
      status = std::max(status, kExitFailed);
    }
  }
  if (skipped && !done) status = std::max(status, kExitUsage);
  return status;
}

int Classes() {
  std::vector<std::string> skipped;
  auto entries = RegistryEntries(&skipped);
  for (const auto& file : skipped)
    std::cerr << "trendhost: skipped the registry entry " << Visible(file)
              << ": its ProgID is not a Name.Name identifier\n";
  if (entries.empty()) {
    std::string folders;
    for (const auto& f : RegistrySearchPath()) folders += (folders.empty() ? "" : ", ") + f;
    std::cerr << "trendhost: no classes registered (looked in " << folders
              << "); register the libraries with: trendhost register FILE.so...\n";
    return kExitFailed;
  }
  for (auto& e : entries)
    std::cout << e["ProgID"] << "  " << e["Library"] << "  " << e["Version"]
              << (std::filesystem::exists(e["Library"]) ? "" : "  (library file missing)") << "\n";
  return kExitOk;
}

int Version() {
  std::cout << "trendhost " << TREND_VERSION << "\n";
  for (auto& e : RegistryEntries())
    std::cout << e["ProgID"] << " " << e["Version"] << " (" << e["Library"]
              << (std::filesystem::exists(e["Library"]) ? "" : ", missing") << ")\n";
  return kExitOk;
}

int Methods(const std::string& progId, const std::string& library) {
  auto c = LoadClass(progId, library);
  const TF_TypeInfo* t = c->info;
  std::cout << t->prog_id << " " << t->file_version << " (type library " << t->typelib_major << "."
            << t->typelib_minor << ", " << t->threading_model << ")\n";
  for (uint32_t i = 0; i < t->method_count; ++i) {
    char id[16];
    std::snprintf(id, sizeof id, "0x%08X", static_cast<unsigned>(t->methods[i].dispid));
    std::cout << id << " " << Signature(t->methods[i]) << "\n";
    if (auto about = MethodSummary(t->prog_id, t->methods[i].name); !about.empty())
      std::cout << "           " << about << "\n";
  }
  return kExitOk;
}

// The login options of a database command, and the password resolved from them once, when
// the command runs.
class LoginArguments {
 public:
  LoginArguments(CLI::App* command, DatabaseLogin& login) : login_(login) {
    command
        ->add_option("--dsn", login.dsn,
                     "ODBC data source name (the DataSource's Name; default: TRENDHOST_DSN)")
        ->envname("TRENDHOST_DSN");
    command->add_option("--user", login.user,
                        "login user (empty: the one the data source stores, if any)");
    passwordOption_ = command->add_option(
        "--password", login.password,
        "login password (never printed; visible to ps: prefer --password-file or "
        "TRENDHOST_PASSWORD)");
    command
        ->add_option("--password-file", passwordFile_,
                     "read the password from the first line of FILE (mode 0600 or stricter)")
        ->excludes(passwordOption_);
    command->add_option("--qualifier", login.qualifier, "table qualifier");
  }
  // --password, else --password-file, else TRENDHOST_PASSWORD; the run masks it from here on.
  void Resolve();

 private:
  DatabaseLogin& login_;
  std::string passwordFile_;
  CLI::Option* passwordOption_ = nullptr;
};

constexpr const char* kPasswordOrder =
    "The password is taken from --password, else --password-file, else the environment\n"
    "variable TRENDHOST_PASSWORD; with none, the data source's stored login applies.\n"
    "--password is overwritten in the program's arguments once read, but other users may\n"
    "see it in ps before that: --password-file and TRENDHOST_PASSWORD avoid the exposure.";

// The first line of a password file that only its owner may read.
std::string ReadPasswordFile(const std::string& path) {
  auto lines = ReadPrivateLines(path, "the password file", 1);
  if (lines.empty()) throw UsageError("the password file " + Visible(path) + " is empty");
  return std::move(lines[0]);
}

void LoginArguments::Resolve() {
  if (!passwordFile_.empty()) {
    login_.password = ReadPasswordFile(passwordFile_);
  } else if (passwordOption_->count() == 0) {
    if (const char* env = std::getenv("TRENDHOST_PASSWORD")) login_.password = env;
  }
  SetPassword(login_.password);
}

// "7,30,90" or ranges "1-90", mixed: the horizons in the order given.
std::vector<int> Horizons(const std::string& text) {
  std::vector<int> out;
  std::string item;
  std::istringstream in(text);
  auto number = [&](const std::string& t) {
    size_t used = 0;
    const int v = std::stoi(t, &used);
    if (used != t.size() || t.empty() || t[0] == '-' || t[0] == '+') throw std::invalid_argument(t);
    return v;
  };
  while (std::getline(in, item, ',')) {
    try {
      const size_t dash = item.find('-', 1);
      if (dash == std::string::npos) {
        out.push_back(number(item));
        continue;
      }
      const int from = number(item.substr(0, dash)), to = number(item.substr(dash + 1));
      if (from > to || to - from >= 366) throw std::invalid_argument(item);
      for (int h = from; h <= to; ++h) out.push_back(h);
    } catch (const std::exception&) {
      throw UsageError("--horizon \"" + text + "\" is not DAYS[,DAYS] or FIRST-LAST (at most 366)");
    }
  }
  return out;
}

}  // namespace

// Overwrites the secrets of the process's own arguments once they have been read, so that
// other users do not see them in ps (as database clients do): the value of --password,
// the value of each --header after its name, and the user and password of a --prometheus
// URL. Files and environment variables never show.
void HidePasswordArguments(int argc, char** argv) {
  auto valueOf = [&](int& i, const char* option) -> char* {
    const size_t n = std::strlen(option);
    if (std::strcmp(argv[i], option) == 0 && i + 1 < argc) return argv[++i];
    if (std::strncmp(argv[i], option, n) == 0 && argv[i][n] == '=') return argv[i] + n + 1;
    return nullptr;
  };
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--") == 0) break;
    if (char* value = valueOf(i, "--password")) {
      std::memset(value, 'x', std::strlen(value));
    } else if (char* header = valueOf(i, "--header")) {
      if (char* colon = std::strchr(header, ':'))
        std::memset(colon + 1, 'x', std::strlen(colon + 1));
    } else if (char* url = valueOf(i, "--prometheus")) {
      char* rest = std::strstr(url, "://");
      rest = rest ? rest + 3 : url;
      const size_t authority = std::strcspn(rest, "/?#");
      for (size_t at = authority; at-- > 0;)
        if (rest[at] == '@') {
          std::memset(rest, 'x', at);
          break;
        }
    }
  }
}

namespace {

// One command: its parser, what runs when the command line chose it, and the login of a
// command that reads the database (for the hint on a data source that is not defined).
struct Command {
  CLI::App* parser;
  std::function<int()> run;
  const DatabaseLogin* login = nullptr;
};

// A command that reads the database: its parser with the login options, and its options
// (a struct that holds a `DatabaseLogin login`), kept alive by the command's run.
template <class Options>
class DatabaseCommand {
 public:
  DatabaseCommand(CLI::App& app, const char* name, const std::string& description)
      : parser(app.add_subcommand(name, description)),
        options(std::make_shared<Options>()),
        login_(std::make_shared<LoginArguments>(parser, options->login)) {}
  // The command: `run` on the options, the password resolved first.
  template <class Run>
  Command Runs(Run run) const {
    return {parser,
            [o = options, l = login_, run] {
              l->Resolve();
              return run(*o);
            },
            &options->login};
  }
  CLI::App* const parser;
  const std::shared_ptr<Options> options;

 private:
  std::shared_ptr<LoginArguments> login_;
};

// register and unregister.
std::vector<Command> RegistryCommands(CLI::App& app) {
  std::vector<Command> commands;
  for (const bool add : {true, false}) {
    struct Options {
      std::vector<std::string> files;
      bool system = false;
    };
    auto o = std::make_shared<Options>();
    auto* c = app.add_subcommand(add ? "register" : "unregister",
                                 add ? "Register libraries (their own DllRegisterServer)"
                                     : "Unregister libraries (their own DllUnregisterServer)");
    c->add_option("FILE", o->files, "library files")->required();
    c->add_flag("--system", o->system,
                add ? "in the system registry (trend-registry under the first folder of "
                      "XDG_DATA_DIRS)"
                    : "from the system registry");
    commands.push_back({c, [o, add] { return Register(o->files, add, o->system); }});
  }
  return commands;
}

Command ClassesCommand(CLI::App& app) {
  return {app.add_subcommand("classes",
                             "List the registered classes: programmatic identifier, library, "
                             "version"),
          [] { return Classes(); }};
}

Command MethodsCommand(CLI::App& app) {
  struct Options {
    std::string progId, library;
  };
  auto o = std::make_shared<Options>();
  auto* c = app.add_subcommand("methods", "Show a class's methods from its type information");
  c->add_option("PROGID", o->progId, "programmatic identifier")->required();
  c->add_option("--library", o->library, "load the class from this file instead of the registry");
  return {c, [o] { return Methods(o->progId, o->library); }};
}

Command CallCommand(CLI::App& app) {
  const DatabaseCommand<CallOptions> command(
      app, "call",
      "Create one instance of a class and run methods on it in order:\n"
      "  trendhost call [OPTIONS] PROGID METHOD [ARG...] [-- METHOD [ARG...]]...\n"
      "A DataSource built from the options is passed wherever a method takes an object.");
  CLI::App* c = command.parser;
  CallOptions& o = *command.options;
  c->add_option("--library", o.library, "load the class from this file instead of the registry");
  c->add_flag("-v,--verbose", o.verbose,
              "print each call, its converted arguments and its time on standard error");
  c->add_flag("--keep-going", o.keepGoing,
              "after a failing call print its error, an empty result line, and go on "
              "(exit status 1 if any call failed)");
  c->add_option("--format", o.format,
                "output: text (one line per call) or json (one object per "
                "call)")
      ->check(CLI::IsMember({"text", "json"}));
  c->footer(std::string(kPasswordOrder) +
            "\n\nExample:\n"
            "  trendhost call --dsn perf OrreryFunctions.OrreryClass TrendValue web01 avgcpubusy "
            "\"\" \\\n"
            "      2026-06-02 2026-11-30 30 0 2 -- GrowthRate web01 avgcpubusy \"\" 2026-06-02 "
            "2026-11-30 30");
  c->prefix_command();  // from PROGID on, every word is the host's, negative numbers included
  // The words that may not follow PROGID: the names of the options above.
  for (const CLI::Option* option : c->get_options()) {
    for (const auto& name : option->get_lnames()) o.optionNames.push_back("--" + name);
    for (const auto& name : option->get_snames()) o.optionNames.push_back("-" + name);
  }
  return command.Runs([c](const CallOptions& options) { return Call(options, c->remaining()); });
}

Command ReportCommand(CLI::App& app) {
  const DatabaseCommand<ReportOptions> command(
      app, "report",
      "Forecast every series of HX_METRICS and report which cross their thresholds, and when");
  CLI::App* c = command.parser;
  ReportOptions& o = *command.options;
  auto horizons = std::make_shared<std::string>("30,90");
  c->add_option("--first", o.first,
                "first day of the range, yyyy-mm-dd (default: 729 days before --last)");
  c->add_option("--last", o.last,
                "last day of the range, yyyy-mm-dd (default: the latest COLLECTION_DATE)");
  c->add_option("--host", o.hostPatterns, "only hosts matching PATTERN (shell style; repeatable)");
  c->add_option("--probe", o.probePatterns, "only probes matching PATTERN (repeatable)");
  c->add_option("--thresholds", o.thresholdsFile,
                "CSV file with a header of probe,arg,threshold,unit,label[,direction,basis,host] "
                "over the built-in defaults");
  c->add_option("--groups", o.groupsFile,
                "services planned together: CSV group,host,probe,arg,aggregate,capacity,spare,"
                "unit,label (host and arg shell patterns); each group forecast against its "
                "usable capacity with spare members lost (N+k)");
  c->add_option("--scenario", o.scenarioFile,
                "what-if scenarios: CSV scenario,target,event,value,from (events growth +20%, "
                "step +500 or -30%, capacity +2, threshold 120; a target is a group or "
                "host/probe[/arg] patterns); each scenario's rows beside the baseline's");
  c->add_flag("--groups-only", o.groupsOnly,
              "with --groups and --format csv: the groups' rows alone");
  c->add_option("--until", o.untilDay,
                "yyyy-mm-dd: per series the threshold that would last until that day "
                "(needed_until), per group the members it needs until then");
  c->add_option("--oversized-below", o.oversizedBelow,
                "right-sizing: a series whose busy hour's upper band stays under this percentage "
                "of its threshold through the longest horizon is oversized")
      ->check(CLI::Range(0.001, 100.0))
      ->capture_default_str();
  c->add_option("--ack", o.ackFile,
                "acknowledged series: CSV host,probe,arg,until,owner,note (shell patterns); a "
                "series with a capacity status gets acknowledged until that day");
  c->add_option(
       "--model", o.model,
       "forecasting model: auto (ets, with theta, trend and recent-rate where their backtest "
       "comes within 10 % of the best) or one of " +
           ModelNames() + " (line: the class's line)")
      ->capture_default_str();
  c->add_option("--horizon", *horizons, "forecast horizons in days: 7,30,90 or 1-90")
      ->capture_default_str();
  c->add_option("--warn-days", o.warnDays, "crossing within this many days is a warning")
      ->capture_default_str();
  c->add_option("--stale-days", o.staleDays,
                "a series without rows in its last N days before --last is stale")
      ->capture_default_str();
  c->add_option("--jobs", o.jobs, "worker processes (default: one per core)");
  c->add_option("--worker-timeout", o.workerTimeout,
                "stop a worker that sends nothing for this many seconds (its series become "
                "errors)")
      ->capture_default_str();
  c->add_option("--format", o.format,
                "table, csv, json, markdown, html or openmetrics (for node_exporter's textfile "
                "collector)")
      ->capture_default_str()
      ->check(CLI::IsMember({"table", "csv", "json", "markdown", "html", "openmetrics"}));
  c->add_option("--output", o.output, "write the report to FILE (default: standard output)");
  c->add_option("--charts", o.charts, "also write the charts as PNG files into DIR");
  c->add_option("--library", o.library, "load Orrery from this file instead of the registry");
  c->add_flag("--csv-raw", o.csvRaw,
              "CSV text cells as stored (by default a cell starting with =, +, - or @ gets a "
              "leading ' so that spreadsheets do not run it)");
  c->add_flag("--record", o.record,
              "keep the run's results in HX_FORECAST_HISTORY; every run shows how far each "
              "crossing moved since the latest recorded one");
  c->add_flag("-q,--quiet", o.quiet, "no progress or notes on standard error");
  c->footer(
      std::string(kPasswordOrder) +
      "\n\nStatuses, most urgent first: exceeded, warning, ok, never, acknowledged, no "
      "threshold, insufficient data, stale, error.\nExit status: 0 done, 1 the report could not "
      "start, 2 usage error, 3 some series failed (listed as error), 4 the report is "
      "written but --record could not record the run.");
  return command.Runs([horizons](ReportOptions& options) {
    options.horizons = Horizons(*horizons);
    return Report(options);
  });
}

Command LoadCommand(CLI::App& app) {
  const DatabaseCommand<LoadOptions> command(
      app, "load", "Turn raw metric samples into day rows of a metric table (one transaction)");
  CLI::App* c = command.parser;
  LoadOptions& o = *command.options;
  c->add_option("--table", o.table, "the metric table")
      ->check(CLI::IsMember({"HX_METRICS", "DOMINO_METRICS", "EXCHANGE_METRICS"}))
      ->capture_default_str();
  c->add_option("--format", o.format,
                "samples (CSV time,host,probe,arg,value), sadf (sadf -d output) or sa (sysstat's "
                "daily files, read through sadf)")
      ->check(CLI::IsMember({"samples", "sadf", "sa"}))
      ->capture_default_str();
  c->add_option("--timezone", o.timezone, "zone of naive times and of the table's days and hours")
      ->capture_default_str();
  c->add_flag("--dry-run", o.dryRun, "check and aggregate, print what would be written");
  auto& prom = o.prometheus;
  c->add_option("--prometheus", prom.url,
                "read samples from this Prometheus server (http://host:9090) instead of FILEs");
  // One value an occurrence: the FILEs after them are not theirs.
  c->add_option("--query", prom.queries, "a PromQL query (repeatable; each with --probe)")
      ->allow_extra_args(false);
  c->add_option("--probe", prom.probes, "the probe the --query of the same place fills")
      ->allow_extra_args(false);
  c->add_option("--prometheus-map", prom.map,
                "CSV file probe,query[,arg_label]: the queries and their probes");
  c->add_option("--host-label", prom.hostLabel, "the label that names the host (its :port removed)")
      ->capture_default_str();
  c->add_option("--arg-label", prom.argLabel, "the label that gives the argument");
  c->add_option("--start", prom.start, "first day, yyyy-mm-dd (default: the last seven days)");
  c->add_option("--end", prom.end, "last day, yyyy-mm-dd (default: now)");
  c->add_option("--step", prom.step, "seconds between points (30s, 5m, 1h)")->capture_default_str();
  c->add_option("--header", prom.headers,
                "an HTTP header 'Name: value' (repeatable; its value is overwritten in the "
                "program's arguments once read: prefer --header-file or "
                "TRENDHOST_PROMETHEUS_HEADERS for secrets)")
      ->allow_extra_args(false);
  auto headerFile = std::make_shared<std::string>();
  c->add_option("--header-file", *headerFile,
                "HTTP headers 'Name: value', one a line, from FILE (your own, mode 0600 or "
                "stricter)");
  c->add_option("--max-answer-mb", prom.maxAnswerMb,
                "largest answer of the server, in MB as inflated")
      ->capture_default_str();
  c->add_option("--timeout", prom.timeout, "seconds an answer may take")->capture_default_str();
  c->add_flag("--allow-empty", prom.allowEmpty,
              "a query that matches no series is no error (by default it is, naming the query)");
  c->add_option("--points-per-query", prom.pointsPerQuery,
                "points of a series in one answer (the server allows 11000)")
      ->capture_default_str();
  c->add_option("--exclude-arg", o.excludeArgs,
                "skip arguments matching PATTERN (shell style, repeatable: lo, veth*)")
      ->allow_extra_args(false);
  c->add_flag("--replace-days", o.replaceDays,
              "replace the stored rows of the run's days whole (by default the hours the run has "
              "samples for replace those hours, the others stay)");
  c->add_flag("-q,--quiet", o.quiet,
              "no progress on standard error and no summary line on success");
  c->add_option("FILE", o.files, "input files (\"-\" is standard input)");
  c->footer(std::string(kPasswordOrder) +
            "\n\nThe hours a run has samples for replace those hours of the stored row of the "
            "same host, probe, argument and day (its other hours stay, the daily columns are "
            "recomputed); every other row stays.\nA malformed line stops the run (exit status "
            "2) and nothing is written.");
  return command.Runs([headerFile](LoadOptions& options) {
    // Headers from the file and from the environment (lines of Name: value) come after
    // those of --header.
    auto& headers = options.prometheus.headers;
    auto add = [&](const std::vector<std::string>& lines) {
      for (const auto& line : lines)
        if (line.find_first_not_of(" \t") != std::string::npos) headers.push_back(line);
    };
    if (!headerFile->empty()) add(ReadPrivateLines(*headerFile, "the header file", 64));
    if (const char* env = std::getenv("TRENDHOST_PROMETHEUS_HEADERS")) {
      std::vector<std::string> lines;
      std::istringstream in(env);
      for (std::string line; std::getline(in, line);) lines.push_back(line);
      add(lines);
    }
    return Load(options);
  });
}

Command SummarizeCommand(CLI::App& app) {
  const DatabaseCommand<SummarizeOptions> command(
      app, "summarize", "Rebuild HX_METRIC_SUMMARY (the ranks' population bands) from HX_METRICS");
  SummarizeOptions& o = *command.options;
  command.parser->add_option("--first", o.first,
                             "first day, yyyy-mm-dd (default: 29 days before --last)");
  command.parser->add_option("--last", o.last,
                             "last day, yyyy-mm-dd (default: the latest COLLECTION_DATE)");
  return command.Runs([](const SummarizeOptions& options) { return Summarize(options); });
}

// history: a series' recorded runs.
Command HistoryCommand(CLI::App& app) {
  const DatabaseCommand<HistoryOptions> command(
      app, "history",
      "Print a series' recorded report runs (trendhost report --record) as CSV, oldest first");
  SeriesKey& key = command.options->key;
  command.parser->add_option("--host", key.host, "the series' host")->required();
  command.parser->add_option("--probe", key.probe, "the series' probe")->required();
  command.parser->add_option("--arg", key.arg, "the series' argument (default: none)");
  return command.Runs([](const HistoryOptions& options) { return PrintHistory(options); });
}

// check-thresholds FILE: the file checked as the report reads it, and the thresholds the
// report would apply (the built-in defaults with the file's entries over them) as CSV;
// with --host, those a host's series get, and which line gives each.
Command CheckThresholdsCommand(CLI::App& app) {
  struct Options {
    std::string file, host, probe, arg;
  };
  auto o = std::make_shared<Options>();
  auto* c = app.add_subcommand("check-thresholds",
                               "Check a thresholds file and print the thresholds the report "
                               "would apply with it");
  c->add_option("FILE", o->file, "thresholds file (CSV)")->required();
  c->add_option("--host", o->host,
                "only the thresholds this host's series get: for each probe and argument of "
                "the entries, the one in force");
  c->add_option("--probe", o->probe, "only this probe's thresholds");
  c->add_option("--arg", o->arg, "with --host and --probe: the threshold of this argument");
  c->footer(
      "The most specific entry wins: a host name over a pattern, a pattern fixing more "
      "characters over one fixing fewer, then an entry with the argument over one without, "
      "then the earlier line. source is file (line: its line) or default.\n"
      "Exit status: 0 the file is valid, 2 it is not (the line and the fault on standard "
      "error).");
  return {c, [o] {
            if (!o->arg.empty() && (o->host.empty() || o->probe.empty()))
              throw UsageError("--arg goes with --host and --probe");
            Thresholds thresholds;
            thresholds.Load(o->file);
            std::vector<std::pair<std::string, const Thresholds::Entry*>> shown;  // arg asked
            size_t fromFile = 0;
            const auto all = thresholds.entries();
            for (const auto* e : all) fromFile += e->line != 0;
            if (o->host.empty()) {
              for (const auto* e : all)
                if (o->probe.empty() || e->probe == o->probe) shown.emplace_back(e->arg, e);
            } else {
              // The host's threshold for each probe and argument the entries name.
              std::set<std::pair<std::string, std::string>> asked;
              for (const auto* e : all)
                if (o->probe.empty() || e->probe == o->probe) asked.emplace(e->probe, e->arg);
              if (!o->arg.empty()) asked = {{o->probe, o->arg}};
              for (const auto& [probe, arg] : asked)
                if (const auto* e = thresholds.Find(o->host, probe, arg))
                  shown.emplace_back(arg, e);
            }
            std::cout << "probe,arg,threshold,unit,label,direction,basis,source,line,host\n";
            for (const auto& [arg, e] : shown) {
              const Threshold& t = e->threshold;
              // The value in force, every digit; texts as a terminal may show them.
              char value[32];
              const auto end = std::to_chars(value, value + sizeof value, t.value).ptr;
              std::cout << CsvField(Visible(e->probe)) << "," << CsvField(Visible(arg)) << ","
                        << std::string_view(value, static_cast<size_t>(end - value)) << ","
                        << CsvField(Visible(t.unit)) << "," << CsvField(Visible(t.label)) << ","
                        << DirectionName(t.direction) << "," << BasisName(t.basis) << ","
                        << (e->line ? "file," + std::to_string(e->line) : std::string("default,"))
                        << "," << CsvField(Visible(e->host)) << "\n";
            }
            std::cerr << Visible(o->file) << ": valid, " << fromFile << " entr"
                      << (fromFile == 1 ? "y" : "ies") << " (" << all.size()
                      << " thresholds in force with the built-in defaults)\n";
            return kExitOk;
          }};
}

// "did you mean" for a first word that is no command (trendhost repot).
std::optional<int> UnknownCommand(CLI::App& app, int argc, char** argv) {
  if (argc < 2 || argv[1][0] == '-') return std::nullopt;
  const std::string word = argv[1];
  std::vector<std::string> names;
  for (const CLI::App* c : app.get_subcommands({})) names.push_back(c->get_name());
  if (std::find(names.begin(), names.end(), word) != names.end()) return std::nullopt;
  std::cerr << "trendhost: unknown command \"" << Visible(word) << "\"";
  if (const std::string near = Closest(word, names); !near.empty())
    std::cerr << "; did you mean " << near << "?";
  std::cerr << " (trendhost --help lists the commands)\n";
  return kExitUsage;
}

// "did you mean" for an option the command does not have (trendhost report --thresold).
std::optional<int> UnknownOption(CLI::App& app, int argc, char** argv) {
  if (argc < 3 || argv[1][0] == '-') return std::nullopt;
  CLI::App* command = nullptr;
  try {
    command = app.get_subcommand(argv[1]);
  } catch (const CLI::OptionNotFound&) {
    return std::nullopt;
  }
  std::vector<std::string> names;
  for (const CLI::Option* option : command->get_options())
    for (const auto& name : option->get_lnames()) names.push_back("--" + name);
  for (int i = 2; i < argc; ++i) {
    const std::string word = argv[i];
    if (word == "--") break;
    if (word.rfind("--", 0) != 0) continue;
    const std::string name = word.substr(0, word.find('='));
    if (std::find(names.begin(), names.end(), name) != names.end()) continue;
    std::cerr << "trendhost: " << argv[1] << " has no option " << Visible(name);
    if (const std::string near = Closest(name, names); !near.empty())
      std::cerr << "; did you mean " << near << "?";
    std::cerr << " (trendhost " << argv[1] << " --help lists its options)\n";
    return kExitUsage;
  }
  return std::nullopt;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"trendhost: call the methods of the trend libraries from the command line"};
  app.require_subcommand(0, 1);
  bool version = false;
  app.add_flag("--version", version, "print the version of trendhost and of each registered class");
  std::vector<Command> commands = RegistryCommands(app);
  for (auto* setup : {ClassesCommand, MethodsCommand, CallCommand, ReportCommand, LoadCommand,
                      SummarizeCommand, HistoryCommand, CheckThresholdsCommand})
    commands.push_back(setup(app));
  if (auto status = UnknownCommand(app, argc, argv)) return *status;

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    if (auto status = UnknownOption(app, argc, argv)) return *status;
    app.exit(e);
    return kExitUsage;
  }
  HidePasswordArguments(argc, argv);
  const Command* chosen = nullptr;
  for (const auto& command : commands)
    if (*command.parser) chosen = &command;
  const int status = [&]() -> int {
    try {
      if (chosen) return chosen->run();
      if (version) return Version();
    } catch (const UsageError& e) {
      // Names from files and texts from servers reach the terminal as visible escapes.
      std::cerr << "trendhost: " << VisibleLines(Masked(e.what())) << "\n";
      return kExitUsage;
    } catch (const std::exception& e) {
      std::cerr << "trendhost: " << VisibleLines(Masked(e.what())) << "\n";
      if (chosen && chosen->login)
        if (auto hint = ConnectionHint(e.what(), chosen->login->dsn); !hint.empty())
          std::cerr << Masked(hint) << "\n";
      if (auto hint = SchemaHint(e.what()); !hint.empty()) std::cerr << hint << "\n";
      return kExitFailed;
    }
    std::cerr << app.help();
    return kExitUsage;
  }();
  // A full disk or a closed pipe is a failure, not a success with lost output.
  std::cout.flush();
  if (!std::cout || std::fflush(stdout) != 0 || std::ferror(stdout)) {
    std::cerr << "trendhost: cannot write the standard output: "
              << (errno ? std::strerror(errno) : "write error") << "\n";
    return kExitFailed;
  }
  return status;
}
