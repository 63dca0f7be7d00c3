// trendhost call: one instance of a class, methods run on it in order.
#pragma once

#include <string>
#include <vector>

#include "command.h"

namespace host {

struct CallOptions {
  DatabaseLogin login;
  std::string library;
  bool verbose = false;         // each call, its converted arguments and its time on stderr
  bool keepGoing = false;       // a failing call prints its error and the run goes on
  std::string format = "text";  // text: one line per call; json: one object per call
  // The names of call's own options (from its parser), none of which may follow PROGID.
  std::vector<std::string> optionNames;
};

// Runs `words` (PROGID METHOD [ARG...] [-- METHOD [ARG...]]...). Returns the exit status.
int Call(const CallOptions& options, const std::vector<std::string>& words);

}  // namespace host
