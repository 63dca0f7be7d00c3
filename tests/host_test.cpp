#include "host_test.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

namespace testbed {

std::string ShellQuote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

int FreePort() {
  const int s = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t n = sizeof a;
  ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &n);
  ::close(s);
  return ntohs(a.sin_port);
}

bool Answers(const std::string& url, double seconds) {
  for (double waited = 0; waited <= seconds; waited += 0.1) {
    if (std::system(("curl -sf " + ShellQuote(url) + " >/dev/null 2>&1").c_str()) == 0) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return false;
}

BackgroundProgram::BackgroundProgram(const std::string& command, const std::filesystem::path& log) {
  const std::string pidFile = log.string() + ".pid";
  if (std::system(
          (command + " >" + ShellQuote(log.string()) + " 2>&1 & echo $! >" + ShellQuote(pidFile))
              .c_str()) == 0)
    pid_ = std::atol(Slurp(pidFile).c_str());
}

BackgroundProgram::~BackgroundProgram() {
  if (pid_ > 0) ::kill(static_cast<pid_t>(pid_), SIGTERM);
}

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

void HostTest::SetUp() {
  DbTest::SetUp();
  dir_ = std::filesystem::temp_directory_path() / ("trendhost-test-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir_);
  ASSERT_EQ(Host({"register", TREND_LIB_DIR "/Orrery.so", TREND_LIB_DIR "/Vantor.so",
                  TREND_LIB_DIR "/Lanyard.so", TREND_LIB_DIR "/Tessel.so"})
                .status,
            0);
  for (const char* table : {"HX_METRICS", "DOMINO_METRICS"}) {
    Row(table, "web01", "avgcpubusy", "2001-06-30", 9.5);
    Row(table, "web01", "avgcpubusy", "2001-06-29", 8.5);
  }
}

void HostTest::TearDown() {
  std::filesystem::remove_all(dir_);
  DbTest::TearDown();
}

void HostTest::Row(const std::string& table, const std::string& host, const std::string& probe,
                   const std::string& day, double v) {
  HourlyRow r{host, probe, "", day};
  r.avg.assign(24, v);
  r.min.assign(24, v);
  r.daily = r.maxHourly = r.maxDaily = v;
  Exec(InsertHourly(table, r));
}

HostRun HostTest::Host(const std::vector<std::string>& args, const std::vector<std::string>& env) {
  // The driver manager unloads its ini library with cached data still allocated;
  // preloading it keeps it (and the sanitizer's leak report) quiet.
  std::string cmd = "TREND_REGISTRY=" + ShellQuote((dir_ / "registry").string()) +
                    " LD_PRELOAD=libodbcinst.so.2 ASAN_OPTIONS=verify_asan_link_order=0";
  for (const auto& e : env) cmd += " " + ShellQuote(e);
  cmd += " " TREND_HOST;
  for (const auto& a : args) cmd += " " + ShellQuote(a);
  std::string err = (dir_ / "stderr").string();
  cmd += " 2>" + ShellQuote(err) + " </dev/null";
  HostRun r{};
  if (!cwd_.empty()) cmd = "-C " + ShellQuote(cwd_) + " " + cmd;
  FILE* p = popen(("env " + cmd).c_str(), "r");
  char buf[4096];
  for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) r.out.append(buf, n);
  int s = pclose(p);
  r.status = WIFEXITED(s) ? WEXITSTATUS(s) : -1;
  r.err = Slurp(err);
  return r;
}

std::vector<std::string> HostTest::Login() {
  const auto& b = CurrentBackend();
  return {"call", "--dsn", b.dsn, "--user", b.user, "--password", b.password};
}

HostRun HostTest::Command(const std::string& command, const std::vector<std::string>& args,
                          const std::vector<std::string>& env) {
  const auto& b = CurrentBackend();
  std::vector<std::string> all = {command, "--dsn",      b.dsn,     "--user",
                                  b.user,  "--password", b.password};
  all.insert(all.end(), args.begin(), args.end());
  return Host(all, env);
}

HostRun HostTest::Call(std::vector<std::string> words) {
  auto args = Login();
  args.insert(args.end(), words.begin(), words.end());
  return Host(args);
}

}  // namespace testbed
