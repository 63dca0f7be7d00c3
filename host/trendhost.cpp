// trendhost: a command-line automation host for the trend libraries. It talks to them
// through nothing but the frame's C interface (trendframe.h).
//
// Exit status: 0 success, 1 a raised error (or a failure of the library), 2 a usage
// error.
#include <sys/stat.h>

#include <CLI/CLI.hpp>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "call.h"
#include "error.h"
#include "command.h"
#include "data_source.h"
#include "invoke.h"
#include "registry.h"
#include "load.h"
#include "method_docs.h"
#include "report.h"

std::string_view trend::ApplicationTitle() {
  return "trendhost";
}

namespace {

using namespace host;

int Register(const std::vector<std::string>& files, bool add, bool system) {
  for (const auto& f : files) {
    RegisterLibrary(f, add, system);
    std::cout << (add ? "registered " : "unregistered ") << f << " in "
              << (system ? SystemRegistryFolder() : RegistryFolder()) << "\n";
  }
  return kExitOk;
}

int Classes() {
  auto entries = RegistryEntries();
  if (entries.empty()) {
    std::cerr << "trendhost: no classes registered in " << RegistryFolder()
              << "; register the libraries with: trendhost register FILE.so...\n";
    return kExitOk;
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

// The login options that call and report share.
struct LoginOptions {
  std::string dsn, user, password, passwordFile, qualifier;
  CLI::Option* passwordOption = nullptr;
};

void AddLoginOptions(CLI::App* command, LoginOptions& login) {
  command->add_option("--dsn", login.dsn, "ODBC data source name (the DataSource's Name)");
  command->add_option("--user", login.user,
                      "login user (empty: the one the data source stores, if any)");
  login.passwordOption =
      command->add_option("--password", login.password,
                          "login password (never printed; visible to ps: prefer --password-file or "
                          "TRENDHOST_PASSWORD)");
  command
      ->add_option("--password-file", login.passwordFile,
                   "read the password from the first line of FILE (mode 0600 or stricter)")
      ->excludes(login.passwordOption);
  command->add_option("--qualifier", login.qualifier, "table qualifier");
}

constexpr const char* kPasswordOrder =
    "The password is taken from --password, else --password-file, else the environment\n"
    "variable TRENDHOST_PASSWORD; with none, the data source's stored login applies.\n"
    "--password is overwritten in the program's arguments once read, but other users may\n"
    "see it in ps before that: --password-file and TRENDHOST_PASSWORD avoid the exposure.";

// The first line of a password file that only its owner may read.
std::string ReadPasswordFile(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) throw UsageError("cannot read the password file " + path);
  if (st.st_mode & (S_IRWXG | S_IRWXO))
    throw UsageError("the password file " + path +
                     " has group or world access; permissions should be u=rw (0600) or less");
  std::ifstream in(path);
  std::string line;
  if (!in || !std::getline(in, line)) throw UsageError("cannot read the password file " + path);
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

// --password, else --password-file, else TRENDHOST_PASSWORD.
std::string ResolvePassword(const LoginOptions& login) {
  if (!login.passwordFile.empty()) return ReadPasswordFile(login.passwordFile);
  if (login.passwordOption->count() == 0)
    if (const char* env = std::getenv("TRENDHOST_PASSWORD")) return env;
  return login.password;
}

// "30,90" as numbers of days.
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

// Overwrites the value of --password in the process's own arguments once it has been read,
// so that other users do not see it in ps (as database clients do). The file and the
// environment variable never show.
void HidePasswordArguments(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    char* value = nullptr;
    if (std::strcmp(argv[i], "--password") == 0 && i + 1 < argc)
      value = argv[++i];
    else if (std::strncmp(argv[i], "--password=", 11) == 0)
      value = argv[i] + 11;
    if (value) std::memset(value, 'x', std::strlen(value));
  }
}

int main(int argc, char** argv) {
  CLI::App app{"trendhost: call the methods of the trend libraries from the command line"};
  app.require_subcommand(0, 1);

  std::vector<std::string> files;
  bool system = false, version = false;
  app.add_flag("--version", version, "print the version of trendhost and of each registered class");
  auto* reg = app.add_subcommand("register", "Register libraries (their own DllRegisterServer)");
  reg->add_option("FILE", files, "library files")->required();
  reg->add_flag("--system", system,
                "in the system registry (trend-registry under the first folder of XDG_DATA_DIRS)");
  auto* unreg =
      app.add_subcommand("unregister", "Unregister libraries (their own DllUnregisterServer)");
  unreg->add_option("FILE", files, "library files")->required();
  unreg->add_flag("--system", system, "from the system registry");
  app.add_subcommand("classes",
                     "List the registered classes: programmatic identifier, library, version");

  std::string progId;
  CallOptions options;
  auto* methods = app.add_subcommand("methods", "Show a class's methods from its type information");
  methods->add_option("PROGID", progId, "programmatic identifier")->required();
  methods->add_option("--library", options.library,
                      "load the class from this file instead of the registry");

  LoginOptions callLogin;
  auto* call = app.add_subcommand(
      "call",
      "Create one instance of a class and run methods on it in order:\n"
      "  trendhost call [OPTIONS] PROGID METHOD [ARG...] [-- METHOD [ARG...]]...\n"
      "A DataSource built from the options is passed wherever a method takes an object.");
  AddLoginOptions(call, callLogin);
  call->add_option("--library", options.library,
                   "load the class from this file instead of the registry");
  call->add_flag("-v,--verbose", options.verbose,
                 "print each call, its converted arguments and its time on standard error");
  call->add_flag("--keep-going", options.keepGoing,
                 "after a failing call print its error, an empty result line, and go on "
                 "(exit status 1 if any call failed)");
  call->add_option("--format", options.format,
                   "output: text (one line per call) or json "
                   "(one object per call)")
      ->check(CLI::IsMember({"text", "json"}));
  call->footer(
      std::string(kPasswordOrder) +
      "\n\nExample:\n"
      "  trendhost call --dsn perf OrreryFunctions.OrreryClass TrendValue web01 avgcpubusy \"\" "
      "\\\n"
      "      2026-06-02 2026-11-30 30 0 2 -- GrowthRate web01 avgcpubusy \"\" 2026-06-02 "
      "2026-11-30 30");
  call->prefix_command();  // from PROGID on, every word is the host's, negative numbers included

  LoginOptions reportLogin;
  ReportOptions report;
  std::string horizons = "30,90";
  auto* reportCommand = app.add_subcommand(
      "report",
      "Forecast every series of HX_METRICS and report which cross their thresholds, and when");
  AddLoginOptions(reportCommand, reportLogin);
  reportCommand->add_option("--first", report.first,
                            "first day of the range (default: 181 days before --last)");
  reportCommand->add_option("--last", report.last,
                            "last day of the range (default: the latest COLLECTION_DATE)");
  reportCommand->add_option("--host", report.hostPatterns,
                            "only hosts matching PATTERN (shell style; repeatable)");
  reportCommand->add_option("--probe", report.probePatterns,
                            "only probes matching PATTERN (repeatable)");
  reportCommand->add_option("--thresholds", report.thresholdsFile,
                            "CSV file with a header of probe,arg,threshold,unit,label[,direction,basis] over the "
                            "built-in defaults");
  reportCommand
      ->add_option("--model", report.model,
                   "forecasting model: auto (per series, the best on its own backtest), line "
                   "(the class's line), weighted, weighted-14, seasonal-naive, mean7 or "
                   "holt-winters")
      ->capture_default_str();
  reportCommand->add_option("--horizon", horizons, "forecast horizons in days: 7,30,90 or 1-90")
      ->capture_default_str();
  reportCommand
      ->add_option("--warn-days", report.warnDays, "crossing within this many days is a warning")
      ->capture_default_str();
  reportCommand
      ->add_option("--stale-days", report.staleDays,
                   "a series without rows in its last N days before --last is stale")
      ->capture_default_str();
  reportCommand->add_option("--jobs", report.jobs, "worker processes (default: one per core)");
  reportCommand
      ->add_option("--worker-timeout", report.workerTimeout,
                   "stop a worker that sends nothing for this many seconds (its series become "
                   "errors)")
      ->capture_default_str();
  reportCommand
      ->add_option("--format", report.format,
                   "table, csv, json, markdown, html or openmetrics (for node_exporter's "
                   "textfile collector)")
      ->capture_default_str()
      ->check(CLI::IsMember({"table", "csv", "json", "markdown", "html", "openmetrics"}));
  reportCommand->add_option("--output", report.output,
                            "write the report to FILE (default: standard output)");
  reportCommand->add_option("--charts", report.charts,
                            "also write the charts as PNG files into DIR");
  reportCommand->add_option("--library", report.library,
                            "load Orrery from this file instead of the registry");
  reportCommand->add_flag("--csv-raw", report.csvRaw,
                          "CSV text cells as stored (by default a cell starting with =, +, - "
                          "or @ gets a leading ' so that spreadsheets do not run it)");
  reportCommand->add_flag("-q,--quiet", report.quiet, "no progress or notes on standard error");
  reportCommand->footer(
      std::string(kPasswordOrder) +
      "\n\nStatuses, most urgent first: exceeded, warning, ok, never, no threshold, "
      "insufficient data, stale, error.\nExit status: 0 done, 1 the report could not "
      "start, 2 usage error, 3 some series failed (listed as error).");

  LoginOptions loadLogin;
  LoadOptions load;
  auto* loadCommand = app.add_subcommand(
      "load", "Turn raw metric samples into day rows of a metric table (one transaction)");
  AddLoginOptions(loadCommand, loadLogin);
  loadCommand->add_option("--table", load.table, "the metric table")
      ->check(CLI::IsMember({"HX_METRICS", "DOMINO_METRICS", "EXCHANGE_METRICS"}))
      ->capture_default_str();
  loadCommand
      ->add_option("--format", load.format,
                   "samples (CSV time,host,probe,arg,value), sadf (sadf -d output) or sa "
                   "(sysstat's daily files, read through sadf)")
      ->check(CLI::IsMember({"samples", "sadf", "sa"}))
      ->capture_default_str();
  loadCommand
      ->add_option("--timezone", load.timezone,
                   "zone of naive times and of the table's days and hours")
      ->capture_default_str();
  loadCommand->add_flag("--dry-run", load.dryRun,
                        "check and aggregate, print what would be written");
  auto& prom = load.prometheus;
  loadCommand->add_option("--prometheus", prom.url,
                          "read samples from this Prometheus server (http://host:9090) instead of "
                          "FILEs");
  // One value an occurrence: the FILEs after them are not theirs.
  loadCommand->add_option("--query", prom.queries, "a PromQL query (repeatable; each with --probe)")
      ->allow_extra_args(false);
  loadCommand->add_option("--probe", prom.probes, "the probe the --query of the same place fills")
      ->allow_extra_args(false);
  loadCommand->add_option("--prometheus-map", prom.map,
                          "CSV file probe,query[,arg_label]: the queries and their probes");
  loadCommand->add_option("--host-label", prom.hostLabel, "the label that names the host (its "
                          ":port removed)")->capture_default_str();
  loadCommand->add_option("--arg-label", prom.argLabel, "the label that gives the argument");
  loadCommand->add_option("--start", prom.start, "first day (default: the last seven days)");
  loadCommand->add_option("--end", prom.end, "last day (default: now)");
  loadCommand->add_option("--step", prom.step, "seconds between points (30s, 5m, 1h)")
      ->capture_default_str();
  loadCommand->add_option("--header", prom.headers, "an HTTP header 'Name: value' (repeatable)")
      ->allow_extra_args(false);
  loadCommand->add_option("--timeout", prom.timeout, "seconds an answer may take")
      ->capture_default_str();
  loadCommand->add_option("--points-per-query", prom.pointsPerQuery,
                          "points of a series in one answer (the server allows 11000)")
      ->capture_default_str();
  loadCommand
      ->add_option("--exclude-arg", load.excludeArgs,
                   "skip arguments matching PATTERN (shell style, repeatable: lo, veth*)")
      ->allow_extra_args(false);
  loadCommand->add_flag("--replace-days", load.replaceDays,
                        "replace the stored rows of the run's days whole (by default the hours "
                        "the run has samples for replace those hours, the others stay)");
  loadCommand->add_flag("-q,--quiet", load.quiet,
                        "no progress on standard error and no summary line on success");
  loadCommand->add_option("FILE", load.files, "input files (\"-\" is standard input)");
  loadCommand->footer(std::string(kPasswordOrder) +
                      "\n\nThe hours a run has samples for replace those hours of the stored row "
                      "of the same host, probe, argument and day (its other hours stay, the daily "
                      "columns are recomputed); every other row stays.\nA malformed line stops the run (exit status 2) and "
                      "nothing is written.");

  LoginOptions summarizeLogin;
  SummarizeOptions summarize;
  auto* summarizeCommand = app.add_subcommand(
      "summarize", "Rebuild HX_METRIC_SUMMARY (the ranks' population bands) from HX_METRICS");
  AddLoginOptions(summarizeCommand, summarizeLogin);
  summarizeCommand->add_option("--first", summarize.first,
                               "first day (default: 29 days before --last)");
  summarizeCommand->add_option("--last", summarize.last,
                               "last day (default: the latest COLLECTION_DATE)");

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    app.exit(e);
    return kExitUsage;
  }
  HidePasswordArguments(argc, argv);
  const int status = [&]() -> int {
  try {
    if (*call) {
      options.dsn = callLogin.dsn;
      options.user = callLogin.user;
      options.password = ResolvePassword(callLogin);
      options.qualifier = callLogin.qualifier;
      SetPassword(options.password);
    }
    if (*loadCommand) {
      load.dsn = loadLogin.dsn, load.user = loadLogin.user, load.qualifier = loadLogin.qualifier;
      load.password = ResolvePassword(loadLogin);
      SetPassword(load.password);
      return Load(load);
    }
    if (*summarizeCommand) {
      summarize.dsn = summarizeLogin.dsn, summarize.user = summarizeLogin.user;
      summarize.qualifier = summarizeLogin.qualifier;
      summarize.password = ResolvePassword(summarizeLogin);
      SetPassword(summarize.password);
      return Summarize(summarize);
    }
    if (*reportCommand) {
      report.dsn = reportLogin.dsn;
      report.user = reportLogin.user;
      report.password = ResolvePassword(reportLogin);
      report.qualifier = reportLogin.qualifier;
      report.horizons = Horizons(horizons);
      SetPassword(report.password);
      return Report(report);
    }
    if (version) return Version();
    if (*reg) return Register(files, true, system);
    if (*unreg) return Register(files, false, system);
    if (app.got_subcommand("classes")) return Classes();
    if (*methods) return Methods(progId, options.library);
    if (*call) return Call(options, call->remaining());
  } catch (const UsageError& e) {
    std::cerr << "trendhost: " << Masked(e.what()) << "\n";
    return kExitUsage;
  } catch (const std::exception& e) {
    std::cerr << "trendhost: " << Masked(e.what()) << "\n";
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
