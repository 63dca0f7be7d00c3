// Running another program (gnuplot, sadf) as a list of words, never through a shell, with
// standard input from /dev/null and standard output and error collected.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace host {

struct ProgramRun {
  int startError = 0;     // errno of a program that could not be started; 0 when it ran
  int status = -1;        // its exit status; -1 when it did not exit by itself
  bool timedOut = false;  // stopped (SIGKILL) after the time allowed
  std::string out, err;   // err: its first ProgramLimits::errBytes, then " [...]"
};

struct ProgramLimits {
  FILE* out = nullptr;          // standard output goes to this file instead of ProgramRun::out
  size_t errBytes = 64 * 1024;  // standard error kept; the rest is read and dropped
  int timeoutSeconds = 0;       // 0: no limit
};

// Runs words[0], found in PATH, with the words as its arguments.
ProgramRun RunProgram(const std::vector<std::string>& words, const ProgramLimits& limits = {});

}  // namespace host
