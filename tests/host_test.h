// Fixture for tests that run the real trendhost binary against the real libraries and the
// backend's test database: a registry of its own with the four libraries, and a runner
// that captures standard output, standard error and the exit status.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "testbed.h"

namespace testbed {

struct HostRun {
  int status;
  std::string out, err;
};

// A word quoted for the shell.
std::string ShellQuote(const std::string& s);
// The whole content of a file (empty when it cannot be read).
std::string Slurp(const std::string& path);

// A free TCP port on the loopback interface.
int FreePort();
// Whether `url` answers with success (curl -sf) within `seconds`.
bool Answers(const std::string& url, double seconds = 10);

// A server started in the background through the shell (its output in `log`), stopped when
// the object goes.
class BackgroundProgram {
 public:
  BackgroundProgram(const std::string& command, const std::filesystem::path& log);
  ~BackgroundProgram();
  BackgroundProgram(const BackgroundProgram&) = delete;
  BackgroundProgram& operator=(const BackgroundProgram&) = delete;
  bool started() const { return pid_ > 0; }

 private:
  long pid_ = 0;
};

class HostTest : public DbTest {
 protected:
  void SetUp() override;
  void TearDown() override;

  // A day row of HX_METRICS or a mail table whose every hour holds `v`.
  void Row(const std::string& table, const std::string& host, const std::string& probe,
           const std::string& day, double v);
  // Runs trendhost with the arguments (and `env`, "NAME=value" words, in front).
  HostRun Host(const std::vector<std::string>& args, const std::vector<std::string>& env = {});
  // "call" with the backend's login.
  std::vector<std::string> Login();
  HostRun Call(std::vector<std::string> words);
  // Any database command with the backend's login, then `args`.
  HostRun Command(const std::string& command, const std::vector<std::string>& args,
                  const std::vector<std::string>& env = {});

  std::filesystem::path dir_;
  std::string cwd_;  // the folder trendhost runs in (the test's own when empty)
};

}  // namespace testbed
