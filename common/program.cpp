#include "program.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>

#include "command.h"

namespace host {

ProgramRun RunProgram(const std::vector<std::string>& words, const ProgramLimits& limits) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::seconds(limits.timeoutSeconds);
  ProgramRun run;
  int out[2] = {-1, -1}, err[2];
  if (!limits.out && ::pipe(out) != 0) throw CallFailed("cannot create a pipe for " + words.at(0));
  if (::pipe(err) != 0) {
    if (!limits.out) ::close(out[0]), ::close(out[1]);
    throw CallFailed("cannot create a pipe for " + words.at(0));
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, limits.out ? ::fileno(limits.out) : out[1],
                                   STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
  if (!limits.out) posix_spawn_file_actions_addclose(&actions, out[0]);
  posix_spawn_file_actions_addclose(&actions, err[0]);
  std::vector<std::string> copy = words;
  std::vector<char*> argv;
  for (auto& w : copy) argv.push_back(w.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  run.startError = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (!limits.out) ::close(out[1]);
  ::close(err[1]);
  if (run.startError) {
    if (!limits.out) ::close(out[0]);
    ::close(err[0]);
    return run;
  }
  const auto expired = [&] { return limits.timeoutSeconds > 0 && Clock::now() >= deadline; };
  const auto waitMs = [&]() -> int {
    if (limits.timeoutSeconds <= 0) return -1;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return static_cast<int>(std::max<long long>(0, std::min<long long>(left.count(), 1000)));
  };
  // The pipes at once, so that neither fills while the other is read.
  pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  bool trimmed = false;
  for (int open = limits.out ? 1 : 2; open > 0 && !run.timedOut;) {
    const int ready = ::poll(fds, 2, waitMs());
    if (ready < 0 && errno != EINTR) break;
    if (expired()) {
      run.timedOut = true;
      break;
    }
    if (ready <= 0) continue;
    for (auto& f : fds) {
      if (f.fd < 0 || !(f.revents & (POLLIN | POLLHUP | POLLERR))) continue;
      char buf[65536];
      const ssize_t n = ::read(f.fd, buf, sizeof buf);
      if (n > 0) {
        if (f.fd == out[0]) {
          run.out.append(buf, static_cast<size_t>(n));
        } else {
          const size_t room = limits.errBytes - std::min(limits.errBytes, run.err.size());
          run.err.append(buf, std::min(room, static_cast<size_t>(n)));
          trimmed = trimmed || static_cast<size_t>(n) > room;
        }
      } else if (n == 0 || errno != EINTR) {
        ::close(f.fd);
        f.fd = -1;
        --open;
      }
    }
  }
  for (auto& f : fds)
    if (f.fd >= 0) ::close(f.fd);
  if (trimmed) run.err += " [...]";
  int status = 0;
  if (run.timedOut) ::kill(pid, SIGKILL);
  for (;;) {
    const pid_t done = ::waitpid(pid, &status, run.timedOut ? 0 : WNOHANG);
    if (done == pid) break;
    if (done < 0) {
      if (errno == EINTR) continue;
      return run;
    }
    if (expired()) {  // still running after its pipes closed
      run.timedOut = true;
      ::kill(pid, SIGKILL);
      continue;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (run.timedOut) return run;
  if (WIFEXITED(status)) run.status = WEXITSTATUS(status);
  return run;
}

}  // namespace host
