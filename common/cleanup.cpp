#include "cleanup.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <mutex>

namespace host {

namespace {

// Fixed storage, so that the handler touches no allocator.
constexpr int kSlots = 16;
constexpr size_t kPathBytes = 4096;
struct Slot {
  std::atomic<bool> used{false};
  pid_t owner = 0;
  bool folder = false;
  char path[kPathBytes] = "";
};
Slot gSlots[kSlots];
std::mutex gMutex;

void RemoveFolder(const char* path) {
  if (DIR* d = ::opendir(path)) {
    const int fd = ::dirfd(d);
    while (const dirent* e = ::readdir(d))
      if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
        ::unlinkat(fd, e->d_name, 0);
    ::closedir(d);
  }
  ::rmdir(path);
}

void OnSignal(int signal) {
  const pid_t self = ::getpid();
  for (auto& slot : gSlots) {
    if (!slot.used.load() || slot.owner != self) continue;
    if (slot.folder)
      RemoveFolder(slot.path);
    else
      ::unlink(slot.path);
  }
  ::signal(signal, SIG_DFL);
  ::raise(signal);
}

void InstallOnce() {
  static const bool installed = [] {
    for (int s : {SIGTERM, SIGINT, SIGHUP}) {
      struct sigaction old {};
      ::sigaction(s, nullptr, &old);
      if (old.sa_handler == SIG_IGN) continue;  // nohup: left ignored
      struct sigaction a {};
      a.sa_handler = OnSignal;
      sigemptyset(&a.sa_mask);
      ::sigaction(s, &a, nullptr);
    }
    return true;
  }();
  (void)installed;
}

}  // namespace

RemovedOnSignal::RemovedOnSignal(const std::string& path, bool folder) {
  if (path.size() >= kPathBytes) return;
  std::lock_guard lock(gMutex);
  InstallOnce();
  for (int i = 0; i < kSlots; ++i) {
    Slot& slot = gSlots[i];
    if (slot.used.load()) continue;
    slot.owner = ::getpid();
    slot.folder = folder;
    std::memcpy(slot.path, path.c_str(), path.size() + 1);
    slot.used.store(true);
    slot_ = i;
    return;
  }
}

RemovedOnSignal::~RemovedOnSignal() {
  if (slot_ < 0) return;
  std::lock_guard lock(gMutex);
  gSlots[slot_].used.store(false);
}

}  // namespace host
