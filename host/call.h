// trendhost call: one instance of a class, methods run on it in order.
#pragma once

#include <string>
#include <vector>

namespace host {

struct CallOptions {
  std::string dsn, user, password, qualifier, library;
  bool verbose = false;         // each call, its converted arguments and its time on stderr
  bool keepGoing = false;       // a failing call prints its error and the run goes on
  std::string format = "text";  // text: one line per call; json: one object per call
};

// The options of `call` by their names, for the check that none stands after PROGID.
extern const std::vector<std::string> kCallOptionNames;

// Runs `words` (PROGID METHOD [ARG...] [-- METHOD [ARG...]]...). Returns the exit status.
int Call(const CallOptions& options, const std::vector<std::string>& words);

}  // namespace host
