// trendhost: a command-line automation host for the trend libraries. It talks to them
// through nothing but the frame's C interface (trendframe.h).
//
// Exit status: 0 success, 1 a raised error (or a failure of the library), 2 a usage
// error.
#include <sys/stat.h>

#include <CLI/CLI.hpp>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "call.h"
#include "error.h"
#include "host.h"

std::string_view trend::ApplicationTitle() {
  return "trendhost";
}

namespace {

using namespace host;

int Register(const std::vector<std::string>& files, bool add) {
  for (const auto& f : files) {
    RegisterLibrary(f, add);
    std::cout << (add ? "registered " : "unregistered ") << f << "\n";
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
    std::cout << e["ProgID"] << "  " << e["Library"] << "  " << e["Version"] << "\n";
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
  }
  return kExitOk;
}

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

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"trendhost: call the methods of the trend libraries from the command line"};
  app.require_subcommand(1);

  std::vector<std::string> files;
  auto* reg = app.add_subcommand("register", "Register libraries (their own DllRegisterServer)");
  reg->add_option("FILE", files, "library files")->required();
  auto* unreg =
      app.add_subcommand("unregister", "Unregister libraries (their own DllUnregisterServer)");
  unreg->add_option("FILE", files, "library files")->required();
  app.add_subcommand("classes",
                     "List the registered classes: programmatic identifier, library, version");

  std::string progId;
  CallOptions options;
  auto* methods = app.add_subcommand("methods", "Show a class's methods from its type information");
  methods->add_option("PROGID", progId, "programmatic identifier")->required();
  methods->add_option("--library", options.library,
                      "load the class from this file instead of the registry");

  std::string passwordFile;
  auto* call = app.add_subcommand(
      "call",
      "Create one instance of a class and run methods on it in order:\n"
      "  trendhost call [OPTIONS] PROGID METHOD [ARG...] [-- METHOD [ARG...]]...\n"
      "A DataSource built from the options is passed wherever a method takes an object.");
  call->add_option("--dsn", options.dsn, "ODBC data source name (the DataSource's Name)");
  call->add_option("--user", options.user,
                   "login user (empty: the one the data source stores, if any)");
  auto* password = call->add_option("--password", options.password,
                                    "login password (never printed; visible to ps: prefer "
                                    "--password-file or TRENDHOST_PASSWORD)");
  call->add_option("--password-file", passwordFile,
                   "read the password from the first line of FILE (mode 0600 or stricter)")
      ->excludes(password);
  call->add_option("--qualifier", options.qualifier, "table qualifier");
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
      "The password is taken from --password, else --password-file, else the environment\n"
      "variable TRENDHOST_PASSWORD; with none, the data source's stored login applies.\n\n"
      "Example:\n"
      "  trendhost call --dsn perf OrreryFunctions.OrreryClass TrendValue web01 avgcpubusy \"\" "
      "\\\n"
      "      2026-06-02 2026-11-30 30 0 2 -- GrowthRate web01 avgcpubusy \"\" 2026-06-02 "
      "2026-11-30 30");
  call->prefix_command();  // from PROGID on, every word is the host's, negative numbers included

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
  try {
    if (*call) {
      if (!passwordFile.empty())
        options.password = ReadPasswordFile(passwordFile);
      else if (password->count() == 0)
        if (const char* env = std::getenv("TRENDHOST_PASSWORD")) options.password = env;
    }
    SetPassword(options.password);
    if (*reg) return Register(files, true);
    if (*unreg) return Register(files, false);
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
  return kExitUsage;
}
