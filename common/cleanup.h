// Files and folders a command is making (an output's temporary file, the charts' private
// folder) that SIGTERM, SIGINT or SIGHUP must not leave behind: while one of these lives,
// such a signal removes what it names, then ends the process as the signal would. Only
// the process that made an entry removes it (a forked worker leaves its parent's alone).
#pragma once

#include <string>

namespace host {

class RemovedOnSignal {
 public:
  // `folder`: a folder whose files (one level) are removed with it.
  RemovedOnSignal(const std::string& path, bool folder);
  ~RemovedOnSignal();
  RemovedOnSignal(const RemovedOnSignal&) = delete;
  RemovedOnSignal& operator=(const RemovedOnSignal&) = delete;

 private:
  int slot_ = -1;
};

}  // namespace host
