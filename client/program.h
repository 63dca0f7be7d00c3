// Running another program (gnuplot, sadf) as a list of words, never through a shell, with
// standard input from /dev/null and standard output and error collected.
#pragma once

#include <string>
#include <vector>

namespace host {

struct ProgramRun {
  int startError = 0;  // errno of a program that could not be started; 0 when it ran
  int status = -1;     // its exit status; -1 when it did not exit by itself
  std::string out, err;
};

// Runs words[0], found in PATH, with the words as its arguments.
ProgramRun RunProgram(const std::vector<std::string>& words);

}  // namespace host
